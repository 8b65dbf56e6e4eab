// The fault matrix: whole upgrades against the simulated camera under one
// fault each, every cell in a child process of its own (its own network
// namespace, and for the full temporary folder its own mount namespace),
// with the verdict it must reach and the time it took.
//
//   fault_matrix [--short] [--only NAME] [--logs DIR] [--markdown]
//
// A cell fails when its verdict is wrong, when the child crashes, reports a
// leak (sanitizer builds) or outlives its time limit, or when the job
// leaves a thread, a descriptor or an unpack folder behind.
#include "UpgradeRig.h"

#include "platform/socket.h"
#include "support/NetNs.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

enum class Setup { NONE, PORT_TAKEN, BAD_PACKAGE, SMALL_TMP, KERNEL_LOSS };

struct Cell {
    const char* name;
    const char* fault;
    bool inShort;
    std::function<void(camsim::Config&)> camera;
    Setup setup = Setup::NONE;
    int expectReturn = 1;
    int expectState = 0;  // -1: nothing published
    std::chrono::milliseconds deadline = 120s;
    std::size_t imageBytes = 64 * 1024;
};

const char* stateName(int state) {
    switch (state) {
    case -1: return "none";
    case 0: return "0 success";
    case 6: return "6 connect fail";
    case 8: return "8 time-out";
    case 13: return "13 inner error";
    default: return "";
    }
}

std::vector<Cell> cells() {
    auto loss = [](double p) {
        return [p](camsim::Config& c) {
            c.gvcpLoss = p;
            c.dataLoss = p;
            c.seed = 11;
        };
    };
    auto latency = [](int ms) { return [ms](camsim::Config& c) { c.replyLatencyMs = ms; }; };
    std::vector<Cell> v;
    v.push_back({"loss-0", "no loss, no latency", true, loss(0)});
    v.push_back({"loss-5", "5 % of GVCP requests and data blocks lost", true, loss(0.05)});
    v.push_back({"loss-10", "10 % lost", false, loss(0.10)});
    v.push_back({"loss-20", "20 % lost", false, loss(0.20)});
    // Unlike the camera's own loss, this loses acknowledges too: the host
    // repeats a request the camera has already carried out.
    v.push_back({"kernel-loss-5", "5 % of every UDP datagram dropped by the kernel, both ways", true, {},
                 Setup::KERNEL_LOSS});
    v.push_back({"latency-1", "every GVCP reply 1 ms late", false, latency(1)});
    v.push_back({"latency-10", "every GVCP reply 10 ms late", true, latency(10)});
    v.push_back({"pending", "every GVCP command acknowledged pending first (400 ms)", false,
                 [](camsim::Config& c) {
                     c.pendingCommands = {camsim::CMD_READREG, camsim::CMD_WRITEREG,
                                          camsim::CMD_READMEM, camsim::CMD_WRITEMEM};
                     c.pendingMs = 400;
                 }});
    v.push_back({"duplicate", "every GVCP acknowledge sent twice", true,
                 [](camsim::Config& c) { c.ackFault = camsim::AckFault::DUPLICATE; }});
    v.push_back({"stale", "the previous acknowledge before every one", false,
                 [](camsim::Config& c) { c.ackFault = camsim::AckFault::STALE; }});
    v.push_back({"restart-mid", "restart halfway through the image (1 s)", false,
                 [](camsim::Config& c) {
                     c.restartMidTransfer = true;
                     c.restartMs = 1000;
                 }});
    v.push_back({"restart-command", "restart right after the upgrade command (1 s)", true,
                 [](camsim::Config& c) {
                     c.restartOnCommand = true;
                     c.restartMs = 1000;
                 }});
    Cell gone{"gone", "gone for good after the restart (deadline 8 s)", true,
              [](camsim::Config& c) { c.neverReturn = true; }};
    gone.expectReturn = 0;  // releasing a camera that is gone fails
    gone.expectState = 8;
    gone.deadline = 8s;
    v.push_back(gone);
    Cell taken{"port-69-taken", "UDP port 69 already bound", true, {}, Setup::PORT_TAKEN, 0, -1};
    v.push_back(taken);
    Cell broken{"bad-package", "a package that cannot be unpacked", true, {}, Setup::BAD_PACKAGE, 1, 13};
    v.push_back(broken);
    Cell full{"tmp-full", "the temporary folder runs out of space (256 KiB tmpfs)", false, {},
              Setup::SMALL_TMP, 1, 13};
    full.imageBytes = 1024 * 1024;
    v.push_back(full);
    return v;
}

struct Outcome {
    int returned = -1;
    int state = -1;
    long long ms = 0;
    int threadsBefore = 0, threadsAfter = 0;
    int fdsBefore = 0, fdsAfter = 0;
    int leftover = 0;
    int commands = 0;  // upgrade commands the camera received
    char error[160] = {};
};

[[noreturn]] void childFail(int fd, const std::string& why) {
    Outcome o;
    std::snprintf(o.error, sizeof o.error, "%s", why.c_str());
    (void)!::write(fd, &o, sizeof o);
    std::exit(3);
}

// Mounts a small tmpfs on dir in a mount namespace of this process only.
bool smallTmpfs(const std::string& dir, std::string* why) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("mount namespace: ") + std::strerror(errno);
        return false;
    }
    std::filesystem::create_directories(dir);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0) {
        *why = std::string("tmpfs: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void runChild(const Cell& cell, int fd) {
    std::string why;
    if (!camtest::isolateNetwork(&why))
        childFail(fd, "no private network: " + why);
    if (cell.setup == Setup::KERNEL_LOSS &&
        std::system("nft add table inet camfault && "
                    "nft 'add chain inet camfault in { type filter hook input priority 0; }' && "
                    "nft add rule inet camfault in meta l4proto udp numgen random mod 100 '<' 5 drop") != 0)
        childFail(fd, "cannot add the nftables rule (is nft installed?)");
    camhard::Scratch scratch;
    scratch.enter(false);  // the job's log goes to the cell's log
    if (cell.setup == Setup::SMALL_TMP) {
        std::string dir = scratch.path() + "/small-tmp";
        if (!smallTmpfs(dir, &why))
            childFail(fd, why);
        scratch.useTmp(dir);
    }
    std::string package =
        cell.setup == Setup::BAD_PACKAGE ? scratch.garbagePackage() : scratch.package(cell.imageBytes);

    // A sanitizer starts a helper thread with the first thread of the
    // process; that one is no job's.
    std::thread([] {}).join();
    std::this_thread::sleep_for(50ms);
    camhard::Resources before = camhard::Resources::now();
    platform::socket_t squatter = platform::INVALID_SOCK;
    if (cell.setup == Setup::PORT_TAKEN) {
        squatter = platform::udpSocket();
        sockaddr_in any = platform::makeAddr("0.0.0.0", 69);
        if (::bind(squatter, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
            childFail(fd, "cannot take port 69");
    }
    camsim::Config config = camsim::instantCamera(camhard::CAMERA_IP);
    if (cell.camera)
        cell.camera(config);
    Outcome o;
    {
        camsim::Camera camera(config);
        if (!camera.start(&why))
            childFail(fd, "camera: " + why);
        camhard::JobResult r = camhard::runJob(package, cell.deadline);
        o.returned = r.returned;
        o.state = r.state;
        o.ms = r.took.count();
        o.commands = static_cast<int>(camera.snapshot().upgradeCommands);
    }
    platform::closeSocket(squatter);
    camhard::Resources after = camhard::Resources::now();
    o.threadsBefore = static_cast<int>(before.threads);
    o.threadsAfter = static_cast<int>(after.threads);
    o.fdsBefore = static_cast<int>(before.fds);
    o.fdsAfter = static_cast<int>(after.fds);
    o.leftover = scratch.unpackFolderLeft() ? 1 : 0;
    (void)!::write(fd, &o, sizeof o);
}

struct Row {
    const Cell* cell;
    Outcome outcome;
    std::string problem;  // empty: the cell is green
};

Row runCell(const Cell& cell, const std::string& logDir) {
    Row row{&cell, {}, {}};
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        row.problem = "pipe";
        return row;
    }
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);  // the job reads a character when port 69 is taken
        std::string log = logDir + "/" + cell.name + ".log";
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::close(out);
        }
        ::close(null);
        runChild(cell, pipeFds[1]);
        std::fflush(stdout);
        std::exit(0);  // sanitizers check for leaks on the way out
    }
    ::close(pipeFds[1]);
    // The deadline, a full minute for a release that cannot reach the camera
    // and for slow sanitizer builds: after that the cell hangs.
    const auto limit = std::chrono::steady_clock::now() + cell.deadline + 60s;
    std::size_t got = 0;
    char* into = reinterpret_cast<char*>(&row.outcome);
    while (got < sizeof row.outcome) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        pollfd p{pipeFds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            row.problem = "HANG";
            break;
        }
        ssize_t n = ::read(pipeFds[0], into + got, sizeof row.outcome - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const Outcome& o = row.outcome;
    if (!row.problem.empty())
        return row;
    if (o.error[0] != '\0')
        row.problem = std::string("SETUP: ") + o.error;
    else if (got < sizeof o)
        row.problem = WIFSIGNALED(status) ? "CRASH (signal " + std::to_string(WTERMSIG(status)) + ")"
                                          : "CRASH";
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        row.problem = "exit " + std::to_string(WEXITSTATUS(status)) + " (leak or sanitizer report)";
    else if (o.returned != cell.expectReturn || o.state != cell.expectState)
        row.problem = "WRONG VERDICT";
    else if (o.threadsAfter != o.threadsBefore)
        row.problem = "threads " + std::to_string(o.threadsBefore) + " -> " + std::to_string(o.threadsAfter);
    else if (o.fdsAfter != o.fdsBefore)
        row.problem = "fds " + std::to_string(o.fdsBefore) + " -> " + std::to_string(o.fdsAfter);
    else if (o.leftover != 0)
        row.problem = "unpack folder left";
    else if (cell.setup == Setup::PORT_TAKEN && o.commands != 0)
        row.problem = "camera commanded without a file service";
    return row;
}

std::string verdictText(int returned, int state) {
    std::string s = stateName(state);
    if (s.empty())
        s = std::to_string(state);
    return "returns " + std::to_string(returned) + ", state " + s;
}

}  // namespace

int main(int argc, char** argv) {
    bool shortRun = false;
    bool markdown = false;
    std::string only;
    std::string logDir = "fault-matrix-logs";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--short")
            shortRun = true;
        else if (a == "--markdown")
            markdown = true;
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--logs" && i + 1 < argc)
            logDir = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--short] [--only NAME] [--logs DIR] [--markdown]\n", argv[0]);
            return 2;
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "the fault matrix needs root (network and mount namespaces)\n");
        return 2;
    }
    std::filesystem::create_directories(logDir);

    const std::vector<Cell> all = cells();
    std::vector<Row> rows;
    for (const Cell& cell : all) {
        if ((shortRun && !cell.inShort) || (!only.empty() && only != cell.name))
            continue;
        rows.push_back(runCell(cell, logDir));
        const Row& r = rows.back();
        std::fprintf(stderr, "%-16s %7.1f s  %s\n", cell.name, static_cast<double>(r.outcome.ms) / 1000.0,
                     r.problem.empty() ? "ok" : r.problem.c_str());
    }

    int failed = 0;
    if (markdown) {
        std::printf("| cell | fault | expected verdict | measured | time to verdict | result |\n");
        std::printf("|---|---|---|---|---:|---|\n");
    } else {
        std::printf("%-16s %-56s %-28s %-28s %9s  %s\n", "cell", "fault", "expected", "measured", "time", "result");
    }
    for (const Row& r : rows) {
        const Cell& c = *r.cell;
        std::string expected = verdictText(c.expectReturn, c.expectState);
        std::string measured = verdictText(r.outcome.returned, r.outcome.state);
        char time[32];
        std::snprintf(time, sizeof time, "%.1f s", static_cast<double>(r.outcome.ms) / 1000.0);
        std::string result = r.problem.empty() ? "ok" : r.problem;
        failed += r.problem.empty() ? 0 : 1;
        if (markdown)
            std::printf("| %s | %s | %s | %s | %s | %s |\n", c.name, c.fault, expected.c_str(),
                        measured.c_str(), time, result.c_str());
        else
            std::printf("%-16s %-56s %-28s %-28s %9s  %s\n", c.name, c.fault, expected.c_str(),
                        measured.c_str(), time, result.c_str());
    }
    std::printf("%zu cells, %d failed\n", rows.size(), failed);
    return failed == 0 ? 0 : 1;
}
