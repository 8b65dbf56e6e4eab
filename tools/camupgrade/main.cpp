// camupgrade: upgrades the firmware of one camera, a list of cameras, or
// every camera of a model, with progress a person can believe and a verdict
// and exit code per camera; `info` and `list` read cameras without touching
// them.
#include "Args.h"
#include "CamerasFile.h"
#include "ExitCodes.h"
#include "Output.h"
#include "ProgressView.h"
#include "Records.h"
#include "Signals.h"
#include "Workspace.h"

#include "discovery/Discovery.h"
#include "engine/Engine.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "session/SessionStates.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

namespace fs = std::filesystem;

namespace {

using cli::Options;

// An IPv4 address as a number, so that lists of cameras sort as people read them.
unsigned long addressOrder(const std::string& ip) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return 0;
    return (static_cast<unsigned long>(a) << 24) | (b << 16) | (c << 8) | d;
}

// Discovery answers in the order they arrive; a person reads them by address.
void sortByAddress(std::vector<discovery::Identity>& ids) {
    std::sort(ids.begin(), ids.end(), [](const discovery::Identity& a, const discovery::Identity& b) {
        return addressOrder(a.ip) < addressOrder(b.ip);
    });
}

int info(const Options& o) {
    discovery::Identity id;
    std::string error;
    if (!discovery::readIdentity(o.cameras[0], id, &error, std::chrono::milliseconds(1000))) {
        std::cerr << "camupgrade: camera " << o.cameras[0] << " does not answer"
                  << (error.empty() ? "" : ": " + error) << "\n";
        return EXIT_UNREACHABLE;
    }
    cli::CameraStatus status;
    status.read = engine::readStatus(o.cameras[0], &status.state, &status.percent);
    std::cout << (o.json ? cli::infoJson(id, status) + "\n" : cli::infoText(id, status));
    return EXIT_UPGRADED;
}

int list(const Options& o) {
    std::vector<discovery::Identity> found;
    std::string error;
    if (!discovery::discover(found, o.interfaceName, std::chrono::seconds(1), &error)) {
        std::cerr << "camupgrade: cannot send a discovery" << (error.empty() ? "" : ": " + error)
                  << "\n";
        return EXIT_USAGE;
    }
    sortByAddress(found);
    if (o.json)
        std::cout << cli::identitiesJson(found);
    else if (found.empty())
        std::cerr << "no camera answered discovery\n";
    else
        std::cout << cli::identityTable(found);
    return EXIT_UPGRADED;
}

int usageError(const std::string& why) {
    std::cerr << "camupgrade: " << why << "\n";
    return EXIT_USAGE;
}

// Every camera of the model that answers discovery, named by its user-defined name.
int discoverTargets(const Options& o, std::vector<engine::CameraTarget>& targets) {
    std::vector<discovery::Identity> found;
    std::string error;
    if (!discovery::discover(found, o.interfaceName, std::chrono::seconds(1), &error))
        return usageError("cannot send a discovery" + (error.empty() ? "" : ": " + error));
    auto lower = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    sortByAddress(found);
    std::string models;
    for (const auto& id : found) {
        if (lower(id.model) == lower(o.model))
            targets.push_back({id.ip, std::string(), id.userName});
        else if (models.find("\"" + id.model + "\"") == std::string::npos)
            models += (models.empty() ? "" : ", ") + ("\"" + id.model + "\"");
    }
    if (targets.empty()) {
        std::cerr << "camupgrade: no camera of model \"" << o.model << "\" answered discovery";
        if (found.empty())
            std::cerr << " (no camera answered at all)\n";
        else
            std::cerr << "; the models that answered: " << models << " (see camupgrade list)\n";
        return EXIT_UNREACHABLE;
    }
    return -1;
}

int collectTargets(const Options& o, std::vector<engine::CameraTarget>& targets) {
    for (const auto& ip : o.cameras)
        targets.push_back({ip, std::string(), std::string()});
    std::string error;
    if (!o.camerasFile.empty() && !cli::readCamerasFile(o.camerasFile, targets, &error))
        return usageError(error);
    if (o.all)
        if (int rc = discoverTargets(o, targets); rc >= 0)
            return rc;
    if (targets.empty())
        return usageError("the cameras file " + o.camerasFile + " lists no camera");
    for (std::size_t i = 0; i < targets.size(); ++i)
        for (std::size_t k = 0; k < i; ++k)
            if (targets[i].cameraIp == targets[k].cameraIp)
                return usageError("camera " + targets[i].cameraIp + " is listed twice");
    for (auto& t : targets) {
        if (t.package.empty())
            t.package = o.package;
        if (t.package.empty())
            return usageError("no package for camera " + t.cameraIp + ": give --package");
        t.package = fs::absolute(t.package).string();
    }
    // The list is one plan: one package that cannot be read stops all of it.
    // A folder named as the package is checked by the engine like an archive.
    for (const auto& t : targets)
        if (!fs::is_directory(t.package) && !std::ifstream(t.package, std::ios::binary))
            return usageError("cannot read the package " + t.package + " of camera " + t.cameraIp +
                              ": no camera was started");
    return -1;
}

engine::CameraResult refusal(const engine::CameraTarget& t, engine::Reason reason,
                             const std::string& message) {
    engine::CameraResult r;
    r.cameraIp = t.cameraIp;
    r.name = t.name;
    r.verdict = engine::Verdict::Refused;
    r.reason = reason;
    r.message = message;
    return r;
}

engine::JobOptions jobOptions(const Options& o, const std::string& unpackRoot) {
    engine::JobOptions job;
    job.unpackRoot = unpackRoot;
    job.hostIp = o.host;
    job.inactivity = std::chrono::milliseconds(static_cast<long long>(o.inactivitySeconds * 1000));
    job.lostAfter = std::chrono::milliseconds(static_cast<long long>(o.lostAfterSeconds * 1000));
    job.parallel = o.parallel;
    job.expectVersion = o.expectVersion;
    job.reinstall = o.reinstall;
    job.allowOlder = o.allowOlder;
    job.sha256 = o.sha256;
    job.canary = o.canary;
    job.stopAfter = o.stopAfter;
    job.logging = engine::Logging::SinkOnly;
    return job;
}

// `camupgrade plan` and --dry-run: reads only, exit code of the first refusal.
int showPlan(const Options& o, const std::vector<engine::CameraTarget>& targets) {
    cli::PrivateTemp scratch;  // whatever the plan unpacks to look at goes with it
    std::string error;
    if (!scratch.create(&error))
        return usageError(error);
    std::vector<engine::CameraPlan> plans = engine::plan(targets, jobOptions(o, scratch.path()));
    std::cout << (o.json ? cli::planJson(plans) : cli::planText(plans));
    for (const auto& p : plans)
        if (p.action == engine::Action::Refuse)
            return cli::exitCodeOf(p);
    return EXIT_UPGRADED;
}

// --all on a terminal: the plan, then a question on it.
bool confirmed(const Options& o, const std::vector<engine::CameraTarget>& targets) {
    cli::PrivateTemp scratch;
    if (!scratch.create(nullptr))
        return false;
    std::vector<engine::CameraPlan> plans = engine::plan(targets, jobOptions(o, scratch.path()));
    std::cerr << cli::planText(plans) << "Upgrade as planned? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    bool yes = answer == "y" || answer == "Y" || answer == "yes";
    if (!yes)
        std::cerr << "camupgrade: not confirmed; no camera was commanded\n";
    return yes;
}

// The progress view with the history beside it: each camera's attempt is
// recorded as soon as its result is in.
class RecordingView : public engine::Observer {
public:
    RecordingView(cli::ProgressView& view, cli::Records& records, cli::Records::Warn warn)
        : m_view(view), m_records(records), m_warn(std::move(warn)) {}
    void onStatus(const engine::CameraStatus& status) override { m_view.onStatus(status); }
    void onLogLine(const std::string& line) override { m_view.onLogLine(line); }
    void onCameraLogLine(const std::string& cameraIp, const std::string& line) override {
        m_view.onCameraLogLine(cameraIp, line);
    }
    void onResult(const engine::CameraResult& result) override {
        m_view.onResult(result);
        m_records.record(result, m_warn);
    }

private:
    cli::ProgressView& m_view;
    cli::Records& m_records;
    cli::Records::Warn m_warn;
};

// How the brake of --canary and --stop-after held the line.
std::string brakeLine(const Options& o, const std::vector<engine::CameraResult>& results) {
    std::size_t held = 0;
    for (const auto& r : results)
        held += r.verdict == engine::Verdict::NotStarted;
    std::string out = "brake:";
    if (o.canary > 0)
        out += " the first " + std::to_string(o.canary) + " camera(s) went first (--canary " +
               std::to_string(o.canary) + ")" + (o.stopAfter > 0 ? ";" : "");
    if (o.stopAfter > 0)
        out += " no camera starts after " + std::to_string(o.stopAfter) +
               " failure(s) (--stop-after " + std::to_string(o.stopAfter) + ")";
    return out + "; " + std::to_string(held) + " not started\n";
}

class UpgradeRun {
public:
    explicit UpgradeRun(const Options& o) : m_o(o) {}
    int run();

private:
    std::vector<engine::CameraResult> runJob(const std::vector<engine::CameraTarget>& targets);
    void onSignal(int signal, bool repeated);
    void say(const std::string& text);
    int finish(const std::vector<engine::CameraResult>& results);
    std::FILE* finalOut() const;

    const Options& m_o;
    std::vector<engine::CameraTarget> m_targets;
    std::unique_ptr<cli::Records> m_records;
    cli::LogFile m_log;
    cli::PrivateTemp m_temp;
    cli::PortLock m_portLock;
    engine::Cancel m_cancel;
    std::unique_ptr<cli::ProgressView> m_view;
    cli::SignalWatcher m_signals;  // goes first: its thread uses the view
};

std::FILE* UpgradeRun::finalOut() const {
    if (!m_o.json)
        return stdout;
    return m_o.quiet ? nullptr : stderr;
}

void UpgradeRun::say(const std::string& text) {
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        m_log.write(cli::stampedLine("", "camupgrade: " + line));
        if (m_view && !m_o.quiet)
            m_view->note(line);
        else
            std::fprintf(stderr, "%s\n", line.c_str());
        start = end == std::string::npos ? text.size() : end + 1;
    }
}

// Runs on the watcher's thread, never in a handler.
void UpgradeRun::onSignal(int signal, bool repeated) {
    int code = signal == SIGTERM ? EXIT_SIGTERM : EXIT_SIGINT;
    if (repeated) {
        say("second interrupt: exiting now; a camera still controlled by this host is free "
            "again when its heartbeat times out (a few seconds)");
        m_temp.remove();
        m_portLock.release();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    m_cancel.request();
    say(std::string(signal == SIGTERM ? "terminated" : "interrupted") +
        ": cancelling; another Ctrl-C within 3 s exits at once. The cameras:\n" +
        (m_view ? m_view->cancelReport() : std::string()));
}

// The job with the progress view and the signal watcher around it.
std::vector<engine::CameraResult> UpgradeRun::runJob(
    const std::vector<engine::CameraTarget>& targets) {
    cli::SignalWatcher::holdSignals();  // before the first thread
    cli::ProgressView::Settings view;
    view.out = m_o.quiet ? nullptr : m_o.json ? stderr : stdout;
    view.terminal = view.out != nullptr && platform::isTerminal(m_o.json ? 2 : 1);
    view.verbose = m_o.verbose;
    view.logSink = [this](const std::string& line) { m_log.write(line); };
    m_view = std::make_unique<cli::ProgressView>(targets, view);
    m_signals.start([this](int signal, bool repeated) { onSignal(signal, repeated); });
    m_view->start();

    engine::JobOptions job = jobOptions(m_o, m_temp.path());
    RecordingView observer(*m_view, *m_records, [this](const std::string& line) { say(line); });
    std::vector<engine::CameraResult> results = engine::runJob(targets, job, &observer, &m_cancel);
    m_view->stop();
    m_signals.stop();
    m_temp.remove();
    return results;
}

int UpgradeRun::run() {
    if (int rc = collectTargets(m_o, m_targets); rc >= 0)
        return rc;
    if (m_o.command == Options::Command::Plan)
        return showPlan(m_o, m_targets);
    if (m_o.all && !m_o.yes && !confirmed(m_o, m_targets))
        return EXIT_NO_VERDICT;
    std::string error;
    if (!m_o.logPath.empty() && !m_log.open(m_o.logPath, &error))
        return usageError(error);
    m_records = std::make_unique<cli::Records>(m_o, m_targets, [this] { return m_signals.first(); });
    if (int rc = m_records->openHistory([this](const std::string& line) { say(line); }); rc >= 0)
        return rc;
    platform::netStartup();
    // Port 69 itself, the packages and the cameras are the engine's checks;
    // this lock only names the other camupgrade that holds the port.
    std::string holder;
    if (!m_portLock.acquire(&holder)) {
        std::vector<engine::CameraResult> results;
        for (const auto& t : m_targets)
            results.push_back(refusal(t, engine::Reason::PortUnavailable,
                                      "another upgrade on this host holds port 69 (" + holder +
                                          "): wait for it to end, then run this again"));
        return finish(results);
    }
    if (!m_temp.create(&error))
        return usageError(error);
    return finish(runJob(m_targets));
}

int UpgradeRun::finish(const std::vector<engine::CameraResult>& unordered) {
    std::vector<engine::CameraResult> results;
    for (const auto& t : m_targets)
        for (const auto& r : unordered)
            if (r.cameraIp == t.cameraIp)
                results.push_back(r);
    const int signal = m_signals.first();
    for (auto& r : results)
        if (r.reason == engine::Reason::Internal)
            r.message = "internal error: " + r.message;
    std::string closing = results.size() == 1 ? cli::verdictLines(results[0])
                                              : cli::summaryTable(results);
    if (m_o.canary > 0 || m_o.stopAfter > 0)
        closing += brakeLine(m_o, results);
    auto warn = [this](const std::string& line) { say(line); };
    for (const auto& r : results) {
        m_records->record(r, warn);
        m_log.write(cli::stampedLine(r.cameraIp, "camupgrade: " + r.cameraIp + ": " +
                                                     engine::verdictName(r.verdict) + ", exit " +
                                                     std::to_string(cli::exitCodeOf(r, signal)) +
                                                     ", " + r.message));
    }
    std::string error;
    if (!m_records->writeReport(results, &error))
        say("warning: " + error);
    if (std::FILE* out = finalOut())
        std::fputs(closing.c_str(), out);
    if (m_o.json)
        std::fputs(cli::resultsJson(results, signal, [this](const engine::CameraResult& r) {
                       return m_records->extraFields(r);
                   }).c_str(), stdout);
    std::fflush(nullptr);
    return cli::runExitCode(results, signal);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int rc = cli::parseArguments(argc, argv, o); rc >= 0)
        return rc;
    platform::detachStdinIfNotTerminal();
    if (o.command == Options::Command::Info)
        return info(o);
    if (o.command == Options::Command::List)
        return list(o);
    if (o.command == Options::Command::History)
        return cli::showHistory(o);
    // Whatever escapes, the run's destructors release the port lock, stop
    // the view and the watcher and remove the working folder; the engine
    // has released every camera it controlled before its job returned.
    try {
        UpgradeRun run(o);
        return run.run();
    } catch (const std::exception& e) {
        std::fflush(nullptr);
        std::fprintf(stderr, "camupgrade: internal error: %s\n", e.what());
        return EXIT_STATE_BASE + ST_INNER_ERROR;
    }
}
