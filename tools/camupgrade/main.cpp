// camupgrade: upgrades the firmware of one camera, a list of cameras, or
// every camera of a model, with progress a person can believe and a verdict
// and exit code per camera; `info` and `list` read cameras without touching
// them.
#include "Args.h"
#include "CamerasFile.h"
#include "ExitCodes.h"
#include "Output.h"
#include "ProgressView.h"
#include "Signals.h"
#include "Workspace.h"

#include "discovery/Discovery.h"
#include "engine/Engine.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "session/SessionStates.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>

namespace fs = std::filesystem;

namespace {

using cli::Options;

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
    for (const auto& id : found)
        if (id.model == o.model)
            targets.push_back({id.ip, std::string(), id.userName});
    if (targets.empty()) {
        std::cerr << "camupgrade: no camera of model \"" << o.model << "\" answered discovery ("
                  << found.size() << " camera(s) of other models did; see camupgrade list)\n";
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
        m_log.write("camupgrade: " + line);
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
    std::vector<engine::CameraResult> results =
        engine::runJob(targets, job, m_view.get(), &m_cancel);
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
    for (const auto& r : results)
        m_log.write("camupgrade: " + r.cameraIp + ": " + engine::verdictName(r.verdict) + ", exit " +
                    std::to_string(cli::exitCodeOf(r, signal)) + ", " + r.message);
    if (std::FILE* out = finalOut())
        std::fputs(closing.c_str(), out);
    if (m_o.json)
        std::fputs(cli::resultsJson(results, signal).c_str(), stdout);
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
