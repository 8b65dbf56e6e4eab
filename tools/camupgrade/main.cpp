// camupgrade: upgrades one camera through libcamupgrade, loaded at run time
// as a customer's host program would load it, with live progress and a
// verdict in words.
#include "Progress.h"
#include "Verdict.h"

#include "platform/dynlib.h"
#include "platform/platform.h"
#include "platform/socket.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using CamUpgradeFn = int (*)(const char*, const char*, const char*);
using GetUpdateStatusFn = unsigned int (*)();

struct Options {
    std::string host;
    std::string camera;
    std::string package;
    std::string library;
    std::string keepLog;
    bool verbose = false;
};

// A folder of our own to run the job in: the library reads its logging
// configuration from the current folder, and we point it at a log file that
// we read back for the camera's verdict.
class WorkDir {
public:
    WorkDir() {
        std::random_device rd;
        for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
            fs::path p = fs::temp_directory_path() / ("camupgrade-cli." + std::to_string(rd()));
            std::error_code ec;
            if (fs::create_directory(p, ec)) {
                fs::permissions(p, fs::perms::owner_all, ec);
                m_path = p;
            }
        }
        m_previous = fs::current_path();
    }
    ~WorkDir() {
        std::error_code ec;
        fs::current_path(m_previous, ec);
        if (!m_path.empty())
            fs::remove_all(m_path, ec);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    bool ok() const { return !m_path.empty(); }
    fs::path log() const { return m_path / "camupgrade.log"; }
    bool enter() {
        std::ofstream props(m_path / "SDKLOG_default.properties");
        props << "log4cpp.rootCategory=DEBUG, file\n"
                 "log4cpp.appender.file=FileAppender\n"
                 "log4cpp.appender.file.fileName=" << log().string() << "\n"
                 "log4cpp.appender.file.layout=PatternLayout\n"
                 "log4cpp.appender.file.layout.ConversionPattern=%d{%H:%M:%S,%l} [%t] %m%n\n";
        props.close();
        std::error_code ec;
        fs::current_path(m_path, ec);
        return props.good() && !ec;
    }

private:
    fs::path m_path;
    fs::path m_previous;
};

// Reads the lines the library appends to its log file.
class LogTail {
public:
    explicit LogTail(fs::path path) : m_path(std::move(path)) {}
    std::vector<std::string> fresh() {
        std::vector<std::string> out;
        std::ifstream in(m_path, std::ios::binary);
        if (!in)
            return out;
        in.seekg(static_cast<std::streamoff>(m_offset));
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof())  // a line still being written: read it next time
                break;
            m_offset += line.size() + 1;
            if (!line.empty())
                out.push_back(line);
        }
        return out;
    }

private:
    fs::path m_path;
    std::size_t m_offset = 0;
};

// Says plainly why UDP port 69 cannot be bound, before the library is asked
// to. Empty when the port is free.
std::string fileServicePortProblem() {
    platform::socket_t s = platform::udpSocket();
    if (s == platform::INVALID_SOCK)
        return "cannot create a UDP socket";
    sockaddr_in any = platform::makeAddr("0.0.0.0", 69);
    int rc = ::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    int err = platform::lastSocketError();
    platform::closeSocket(s);
    if (rc == 0)
        return std::string();
    if (platform::isPermissionError(err))
        return "UDP port 69 (the firmware file service) needs privilege: run as root, give the "
               "program CAP_NET_BIND_SERVICE (setcap cap_net_bind_service=ep camupgrade), or "
               "lower net.ipv4.ip_unprivileged_port_start to 69";
    if (platform::isAddressInUse(err))
        return "UDP port 69 is already in use by another program (a TFTP server?); stop it first";
    return "UDP port 69 cannot be bound (error " + std::to_string(err) + ")";
}

std::string libraryPath(const Options& o) {
    if (!o.library.empty())
        return o.library;
    fs::path beside = fs::path(platform::executableDir()) / platform::libraryFileName();
    std::error_code ec;
    return fs::exists(beside, ec) ? beside.string() : platform::libraryFileName();
}

int checkArguments(const Options& o) {
    if (!platform::isIpv4Text(o.host.c_str()) || !platform::isIpv4Text(o.camera.c_str())) {
        std::cerr << "camupgrade: --host and --camera must be IPv4 addresses like 192.168.1.10\n";
        return cli::EXIT_USAGE;
    }
    std::ifstream package(o.package, std::ios::binary);
    if (!package) {
        std::cerr << "camupgrade: cannot read the package " << o.package << "\n";
        return cli::EXIT_USAGE;
    }
    return 0;
}

int runJob(const Options& o, WorkDir& work, CamUpgradeFn camUpgrade, GetUpdateStatusFn getStatus) {
    std::string package = fs::absolute(o.package).string();
    if (!work.ok() || !work.enter()) {
        std::cerr << "camupgrade: cannot prepare a working folder under "
                  << fs::temp_directory_path() << "\n";
        return cli::EXIT_USAGE;
    }

    cli::ProgressView view(stdout, platform::isTerminal(1));
    LogTail tail(work.log());
    std::vector<std::string> lines;
    std::string what = "connecting to the camera";
    auto absorb = [&] {
        for (auto& line : tail.fresh()) {
            int state = cli::stateOfLine(line);
            if (state >= 0)
                what = cli::stateWords(state);
            if (o.verbose)
                view.note(line);
            lines.push_back(std::move(line));
        }
    };

    std::atomic<bool> done{false};
    std::mutex linesLock;
    // Until the job's worker has published its first state, GetUpdateStatus
    // still answers from the previous job (100 after a success, or before
    // any job): show 0 % until the worker's first state line is in the log.
    auto workerPublished = [&lines] {
        bool updating = false;
        for (const auto& line : lines) {
            if (line.find("] updating") != std::string::npos)
                updating = true;
            else if (updating && cli::stateOfLine(line) >= 0)
                return true;
        }
        return false;
    };
    std::thread poller([&] {
        bool published = false;
        while (!done.load()) {
            if (!published) {
                std::lock_guard<std::mutex> guard(linesLock);
                absorb();
                published = workerPublished();
                if (!published) {
                    view.update(0, what);
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    continue;
                }
            }
            unsigned percent = getStatus();  // blocks two seconds
            std::lock_guard<std::mutex> guard(linesLock);
            absorb();
            view.update(percent, what);
        }
    });

    int result = camUpgrade(o.host.c_str(), o.camera.c_str(), package.c_str());
    done.store(true);
    poller.join();
    absorb();

    cli::Verdict verdict = cli::judge(result, lines);
    if (verdict.exitCode == cli::EXIT_UPGRADED)
        view.update(100, what);
    view.finish();
    std::printf("%s: %s\n", verdict.exitCode == cli::EXIT_UPGRADED ? "UPGRADED" : "FAILED",
                verdict.words.c_str());

    if (!o.keepLog.empty()) {
        std::error_code ec;
        fs::copy_file(work.log(), o.keepLog, fs::copy_options::overwrite_existing, ec);
        if (ec)
            std::cerr << "camupgrade: cannot keep the log as " << o.keepLog << ": " << ec.message()
                      << "\n";
    }
    return verdict.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Upgrades the firmware of one GigE Vision camera."};
    app.add_option("--host", o.host, "this host's IPv4 address on the camera's network")->required();
    app.add_option("--camera", o.camera, "the camera's IPv4 address")->required();
    app.add_option("--package", o.package, "firmware package (archive)")->required();
    app.add_option("--library", o.library, "path of libcamupgrade (default: beside this program)");
    app.add_option("--log", o.keepLog, "keep the library's full log in this file");
    app.add_flag("-v,--verbose", o.verbose, "show the library's log lines as they come");
    app.footer(cli::exitCodeTable());
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return cli::EXIT_USAGE;
    }

    if (int bad = checkArguments(o))
        return bad;
    platform::netStartup();  // Winsock before the port check; nothing elsewhere
    std::string portProblem = fileServicePortProblem();
    if (!portProblem.empty()) {
        std::cerr << "camupgrade: " << portProblem << "\n";
        return cli::EXIT_NO_FILE_SERVICE;
    }

    // The library keeps its log file open until it is unloaded, and Windows
    // removes no open file: the folder outlives the library.
    WorkDir work;
    platform::DynLib lib;
    std::string path = libraryPath(o);
    if (!lib.open(path)) {
        std::cerr << "camupgrade: cannot load " << path << ": " << lib.error() << "\n";
        return cli::EXIT_NO_LIBRARY;
    }
    auto camUpgrade = reinterpret_cast<CamUpgradeFn>(lib.symbol("CamUpgrade"));
    auto getStatus = reinterpret_cast<GetUpdateStatusFn>(lib.symbol("GetUpdateStatus"));
    if (camUpgrade == nullptr || getStatus == nullptr) {
        std::cerr << "camupgrade: " << path << " does not export CamUpgrade and GetUpdateStatus\n";
        return cli::EXIT_NO_LIBRARY;
    }

    // If port 69 is lost between our check and the library's bind, the
    // library waits for a key; with nobody at the keyboard it must not.
    platform::detachStdinIfNotTerminal();
    return runJob(o, work, camUpgrade, getStatus);
}
