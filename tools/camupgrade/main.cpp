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

#include "camupgrade_sdk.hpp"
#include "platform/platform.h"
#include "platform/socket.h"

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
void sortByAddress(std::vector<camupgrade::Identity>& ids) {
    std::sort(ids.begin(), ids.end(),
              [](const camupgrade::Identity& a, const camupgrade::Identity& b) {
                  return addressOrder(a.ip) < addressOrder(b.ip);
              });
}

int info(const Options& o) {
    camupgrade::Identity id;
    try {
        id = camupgrade::info(o.cameras[0], std::chrono::milliseconds(1000));
    } catch (const camupgrade::Error& e) {
        std::cerr << "camupgrade: " << e.what() << "\n";
        return e.code() == CU_ERR_NO_ANSWER ? EXIT_UNREACHABLE : EXIT_USAGE;
    }
    std::cout << (o.json ? cli::infoJson(id) + "\n" : cli::infoText(id));
    return EXIT_UPGRADED;
}

// The cameras that answer a discovery, by address; false when it cannot be sent.
bool discovered(const Options& o, std::vector<camupgrade::Identity>& found, std::string* error) {
    try {
        found = camupgrade::discover(o.interfaceName, std::chrono::seconds(1));
    } catch (const camupgrade::Error& e) {
        *error = e.what();
        return false;
    }
    sortByAddress(found);
    return true;
}

int list(const Options& o) {
    std::vector<camupgrade::Identity> found;
    std::string error;
    if (!discovered(o, found, &error)) {
        std::cerr << "camupgrade: " << error << "\n";
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
int discoverTargets(const Options& o, std::vector<cli::Target>& targets) {
    std::vector<camupgrade::Identity> found;
    std::string error;
    if (!discovered(o, found, &error))
        return usageError(error);
    auto lower = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
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

int collectTargets(const Options& o, std::vector<cli::Target>& targets) {
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
    // A folder named as the package is checked by the library like an archive.
    for (const auto& t : targets)
        if (!fs::is_directory(t.package) && !std::ifstream(t.package, std::ios::binary))
            return usageError("cannot read the package " + t.package + " of camera " + t.cameraIp +
                              ": no camera was started");
    return -1;
}

camupgrade::Result refusal(const cli::Target& t, cu_reason reason, const std::string& message) {
    camupgrade::Result r;
    r.cameraIp = t.cameraIp;
    r.name = t.name;
    r.package = t.package;
    r.verdict = CU_VERDICT_REFUSED;
    r.verdictName = "refused";
    r.reason = reason;
    r.message = message;
    return r;
}

camupgrade::Options jobOptions(const Options& o, const std::string& unpackRoot) {
    using std::chrono::milliseconds;
    camupgrade::Options job;
    job.unpackRoot = unpackRoot;
    job.hostIp = o.host;
    job.inactivity = milliseconds(static_cast<long long>(o.inactivitySeconds * 1000));
    // Zero would mean the library's default; the shortest wait is what was asked.
    job.lostAfter = std::max(milliseconds(1),
                             milliseconds(static_cast<long long>(o.lostAfterSeconds * 1000)));
    job.parallel = o.parallel;
    job.expectVersion = o.expectVersion;
    job.reinstall = o.reinstall;
    job.allowOlder = o.allowOlder;
    job.sha256 = o.sha256;
    job.canary = o.canary;
    job.stopAfter = o.stopAfter;
    job.heartbeat = milliseconds(o.heartbeatMs);
    return job;
}

std::unique_ptr<camupgrade::Job> makeJob(camupgrade::Options options,
                                         const std::vector<cli::Target>& targets) {
    auto job = std::make_unique<camupgrade::Job>(std::move(options));
    for (const auto& t : targets)
        job->addCamera(t.cameraIp, t.package, t.name);
    return job;
}

// What the upgrade would do with each camera; nothing is commanded. Port
// 69 is left out: the plan needs no privilege.
std::vector<camupgrade::Plan> planOf(const Options& o, const std::vector<cli::Target>& targets,
                                     const std::string& unpackRoot) {
    camupgrade::Options options = jobOptions(o, unpackRoot);
    options.planSkipsPort = true;
    auto job = makeJob(std::move(options), targets);
    std::vector<camupgrade::Plan> plans;
    for (std::size_t i = 0; i < targets.size(); ++i)
        plans.push_back(job->plan(i));
    return plans;
}

// `camupgrade plan` and --dry-run: reads only, exit code of the first refusal.
int showPlan(const Options& o, const std::vector<cli::Target>& targets) {
    cli::PrivateTemp scratch;  // whatever the plan unpacks to look at goes with it
    std::string error;
    if (!scratch.create(&error))
        return usageError(error);
    std::vector<camupgrade::Plan> plans = planOf(o, targets, scratch.path());
    std::cout << (o.json ? cli::planJson(plans) : cli::planText(plans));
    for (const auto& p : plans)
        if (p.action == CU_ACTION_REFUSE)
            return cli::exitCodeOf(p);
    return EXIT_UPGRADED;
}

// --all on a terminal: the plan, then a question on it.
bool confirmed(const Options& o, const std::vector<cli::Target>& targets) {
    cli::PrivateTemp scratch;
    if (!scratch.create(nullptr))
        return false;
    std::vector<camupgrade::Plan> plans = planOf(o, targets, scratch.path());
    std::cerr << cli::planText(plans) << "Upgrade as planned? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    bool yes = answer == "y" || answer == "Y" || answer == "yes";
    if (!yes)
        std::cerr << "camupgrade: not confirmed; no camera was commanded\n";
    return yes;
}

// How the brake of --canary and --stop-after held the line.
std::string brakeLine(const Options& o, const std::vector<camupgrade::Result>& results) {
    std::size_t held = 0;
    for (const auto& r : results)
        held += r.verdict == CU_VERDICT_NOT_STARTED;
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
    std::vector<camupgrade::Result> runJob();
    void onSignal(int signal, bool repeated);
    void say(const std::string& text);
    int finish(const std::vector<camupgrade::Result>& results);
    std::FILE* finalOut() const;

    const Options& m_o;
    std::vector<cli::Target> m_targets;
    std::unique_ptr<cli::Records> m_records;
    cli::LogFile m_log;
    cli::PrivateTemp m_temp;
    cli::PortLock m_portLock;
    std::unique_ptr<cli::ProgressView> m_view;
    std::unique_ptr<camupgrade::Job> m_job;
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
    m_job->cancel();
    say(std::string(signal == SIGTERM ? "terminated" : "interrupted") +
        ": cancelling; another Ctrl-C within 3 s exits at once. The cameras:\n" +
        (m_view ? m_view->cancelReport() : std::string()));
}

// The job with the progress view and the signal watcher around it; each
// camera's attempt is recorded as soon as its result is in.
std::vector<camupgrade::Result> UpgradeRun::runJob() {
    cli::SignalWatcher::holdSignals();  // before the first thread
    cli::ProgressView::Settings view;
    view.out = m_o.quiet ? nullptr : m_o.json ? stderr : stdout;
    view.terminal = view.out != nullptr && platform::isTerminal(m_o.json ? 2 : 1);
    view.verbose = m_o.verbose;
    view.logSink = [this](const std::string& line) { m_log.write(line); };
    m_view = std::make_unique<cli::ProgressView>(m_targets, view);

    camupgrade::Options options = jobOptions(m_o, m_temp.path());
    options.onStatus = [this](const camupgrade::Status& s) { m_view->onStatus(s); };
    options.onCameraLog = [this](const std::string& cameraIp, const std::string& line) {
        m_view->onCameraLogLine(cameraIp, line);
    };
    options.onResult = [this](const camupgrade::Result& r) {
        m_view->onResult(r);
        m_records->record(r, [this](const std::string& line) { say(line); });
    };
    // Made before the watcher starts, so that a signal always finds the job to cancel.
    m_job = makeJob(std::move(options), m_targets);
    m_signals.start([this](int signal, bool repeated) { onSignal(signal, repeated); });
    m_view->start();
    std::vector<camupgrade::Result> results = m_job->run();
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
    // Port 69 itself, the packages and the cameras are the library's checks;
    // this lock only names the other camupgrade that holds the port.
    std::string holder;
    if (!m_portLock.acquire(&holder)) {
        std::vector<camupgrade::Result> results;
        for (const auto& t : m_targets)
            results.push_back(refusal(t, CU_REASON_PORT,
                                      "another upgrade on this host holds port 69 (" + holder +
                                          "): wait for it to end, then run this again"));
        return finish(results);
    }
    if (!m_temp.create(&error))
        return usageError(error);
    return finish(runJob());
}

int UpgradeRun::finish(const std::vector<camupgrade::Result>& unordered) {
    std::vector<camupgrade::Result> results;
    for (const auto& t : m_targets)
        for (const auto& r : unordered)
            if (r.cameraIp == t.cameraIp)
                results.push_back(r);
    const int signal = m_signals.first();
    for (auto& r : results)
        if (r.reason == CU_REASON_INTERNAL)
            r.message = "internal error: " + r.message;
    std::string closing = results.size() == 1 ? cli::verdictLines(results[0])
                                              : cli::summaryTable(results);
    if (m_o.canary > 0 || m_o.stopAfter > 0)
        closing += brakeLine(m_o, results);
    auto warn = [this](const std::string& line) { say(line); };
    for (const auto& r : results) {
        m_records->record(r, warn);
        m_log.write(cli::stampedLine(r.cameraIp, "camupgrade: " + r.cameraIp + ": " +
                                                     r.verdictName + ", exit " +
                                                     std::to_string(cli::exitCodeOf(r, signal)) +
                                                     ", " + r.message));
    }
    std::string error;
    if (!m_records->writeReport(results, &error))
        say("warning: " + error);
    if (std::FILE* out = finalOut())
        std::fputs(closing.c_str(), out);
    if (m_o.json)
        std::fputs(cli::resultsJson(results, signal, [this](const camupgrade::Result& r) {
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
    // the view and the watcher and remove the working folder; the library
    // has released every camera it controlled before its job returned.
    try {
        UpgradeRun run(o);
        return run.run();
    } catch (const std::exception& e) {
        std::fflush(nullptr);
        std::fprintf(stderr, "camupgrade: internal error: %s\n", e.what());
        return EXIT_STATE_BASE + CU_STATE_INNER_ERROR;
    }
}
