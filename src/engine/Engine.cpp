// The job over a table of cameras: logging, the shared port-69 service, and
// at most `parallel` cameras at once.
#include "engine/Engine.h"

#include "engine/Job.h"
#include "session/Worker.h"
#include "tarnlog/LineOwner.h"
#include "tarnlog/TarnLog.h"
#include "upgrade/UpdgradeManager.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace engine {

const char* phaseName(Phase phase) {
    static const char* const kNames[] = {
        "queued",   "checking",   "connecting", "preparing",   "waiting",   "transfer",
        "lost during the transfer", "flashing", "restarting", "back online", "releasing", "done"};
    auto index = static_cast<std::size_t>(phase);
    return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "done";
}

const char* phaseDuring(Phase phase) {
    switch (phase) {
    case Phase::Queued:
        return "before it started";
    case Phase::Checking:
        return "during the pre-flight check";
    case Phase::Connecting:
        return "while taking control of the camera";
    case Phase::Preparing:
        return "while unpacking the package";
    case Phase::Waiting:
        return "while waiting for the camera to fetch its files";
    case Phase::Transfer:
        return "during the transfer";
    case Phase::Lost:
        return "after the camera fell silent during the transfer";
    case Phase::Flashing:
        return "while the camera wrote its flash";
    case Phase::Restarting:
        return "while the camera restarted";
    case Phase::BackOnline:
        return "after the camera came back, before its verdict";
    case Phase::Releasing:
    case Phase::Done:
        break;
    }
    return "while giving control back";
}

const char* verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Upgraded:
        return "upgraded";
    case Verdict::Refused:
        return "refused";
    case Verdict::Cancelled:
        return "cancelled";
    case Verdict::Current:
        return "current";
    case Verdict::NotStarted:
        return "not started";
    case Verdict::Failed:
        break;
    }
    return "failed";
}

const char* version() { return "0.2.0"; }

namespace {

// "2.10.0" as {"2", "10", "0"} without leading zeros; false when it is not
// dotted numbers.
bool dottedNumbers(const std::string& text, std::vector<std::string>* parts) {
    std::string part;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (part.empty())
                return false;
            std::size_t start = part.find_first_not_of('0');
            parts->push_back(start == std::string::npos ? "0" : part.substr(start));
            part.clear();
        } else if (text[i] >= '0' && text[i] <= '9') {
            part += text[i];
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool isDottedVersion(const std::string& text) {
    std::vector<std::string> parts;
    return dottedNumbers(text, &parts);
}

Order compareVersions(const std::string& version, const std::string& reference) {
    std::vector<std::string> a, b;
    if (!dottedNumbers(version, &a) || !dottedNumbers(reference, &b))
        return version == reference ? Order::Same : Order::Unordered;
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::string x = i < a.size() ? a[i] : "0", y = i < b.size() ? b[i] : "0";
        if (x.size() != y.size())
            return x.size() < y.size() ? Order::Older : Order::Newer;
        if (x != y)
            return x < y ? Order::Older : Order::Newer;
    }
    return Order::Same;
}

void Cancel::request() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requested = true;
    }
    m_wake.notify_all();
}

bool Cancel::requested() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requested;
}

bool Cancel::waitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_wake.wait_for(guard, timeout, [this] { return m_requested; });
}

Job::Job(const JobOptions& options, Observer* observer, const Cancel* cancel)
    : m_options(options), m_observer(observer), m_cancel(cancel) {
    if (m_observer != nullptr)
        m_delivery = std::thread([this] { deliver(); });
    if (m_options.logging == Logging::Specified)
        camjob::setUpLogging();
    else
        TARNlog4cpp::CTarnLog::SetLineSink([this](const std::string& text) { line(text); });
}

Job::~Job() {
    m_service.reset();
    if (m_options.logging == Logging::SinkOnly)
        TARNlog4cpp::CTarnLog::SetLineSink({});
    stopDelivery();
}

bool Job::waitCancel(std::chrono::milliseconds timeout) const {
    if (m_cancel == nullptr) {
        std::this_thread::sleep_for(timeout);
        return false;
    }
    return m_cancel->waitFor(timeout);
}

void Job::status(const CameraStatus& status) { post({Event::Status, status, {}, {}, {}}); }

void Job::line(const std::string& text) {
    post({Event::Line, {}, text, {}, TARNlog4cpp::LineOwner::current()});
}

void Job::result(const CameraResult& result) { post({Event::Result, {}, {}, result, {}}); }

namespace {
constexpr std::size_t kMaxLines = 2000;
}  // namespace

const std::string& Job::cameraOf(const Event& event) {
    if (event.kind == Event::Status)
        return event.status.cameraIp;
    return event.kind == Event::Result ? event.result.cameraIp : event.camera;
}

void Job::post(Event event) {
    if (m_observer == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(m_eventLock);
        if (event.kind == Event::Line && m_lines >= kMaxLines) {
            ++m_droppedLines;
            return;
        }
        if (event.kind == Event::Line)
            pushDroppedNote();
        if (event.kind == Event::Status && coalesced(event))
            return;
        std::string camera = cameraOf(event);
        push(std::move(event), camera);
    }
    m_eventWake.notify_one();
}

// Under the queue's lock.
void Job::push(Event event, const std::string& camera) {
    m_lines += event.kind == Event::Line;
    m_events.push_back(std::move(event));
    m_last[camera] = m_firstSeq + m_events.size() - 1;
}

// Under the queue's lock: the newer status takes the older one's place,
// so each camera's events stay in the order they happened.
bool Job::coalesced(const Event& status) {
    auto last = m_last.find(status.status.cameraIp);
    if (last == m_last.end() || last->second < m_firstSeq)
        return false;
    Event& queued = m_events[last->second - m_firstSeq];
    if (queued.kind != Event::Status || queued.status.phase != status.status.phase ||
        queued.status.state != status.status.state)
        return false;
    queued.status = status.status;
    return true;
}

// Under the queue's lock.
void Job::pushDroppedNote() {
    if (m_droppedLines == 0)
        return;
    Event note{Event::Line, {}, {}, {}, {}};
    note.line = "\u2026 " + std::to_string(m_droppedLines) +
                " log lines dropped: the observer fell behind";
    m_droppedLines = 0;
    push(std::move(note), std::string());
}

// The observer is called outside the queue's lock: a callback that logs
// queues its line behind itself, and a slow one holds up only the queue.
void Job::deliver() {
    std::unique_lock<std::mutex> guard(m_eventLock);
    for (;;) {
        m_eventWake.wait(guard, [this] { return m_closing || !m_events.empty(); });
        if (m_events.empty())
            return;
        Event event = std::move(m_events.front());
        m_events.pop_front();
        ++m_firstSeq;
        m_lines -= event.kind == Event::Line;
        if (m_events.empty())
            pushDroppedNote();
        guard.unlock();
        if (event.kind == Event::Status)
            m_observer->onStatus(event.status);
        else if (event.kind == Event::Line)
            m_observer->onCameraLogLine(event.camera, event.line);
        else
            m_observer->onResult(event.result);
        guard.lock();
    }
}

// Everything queued is delivered before the thread ends.
void Job::stopDelivery() {
    if (!m_delivery.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_eventLock);
        m_closing = true;
    }
    m_eventWake.notify_one();
    m_delivery.join();
}

updgradeManager* Job::fileService(std::string* why) {
    std::lock_guard<std::mutex> guard(m_serviceLock);
    if (!m_serviceTried) {
        m_serviceTried = true;
        auto service = std::make_unique<updgradeManager>();
        service->setPollPeriod(std::chrono::milliseconds(m_options.cameraPollMs));
        if (service->startServer(std::string(), true))
            m_service = std::move(service);
        else
            m_serviceError = portProblem();
    }
    if (m_service == nullptr && why != nullptr)
        *why = m_serviceError;
    return m_service.get();
}

namespace {

std::atomic<bool> g_jobRunning{false};

// Clears the process's one-job mark when the job ends, however it ends.
class OneJob {
public:
    OneJob() : m_held(!g_jobRunning.exchange(true)) {}
    ~OneJob() {
        if (m_held)
            g_jobRunning = false;
    }
    OneJob(const OneJob&) = delete;
    OneJob& operator=(const OneJob&) = delete;
    bool held() const { return m_held; }

private:
    bool m_held;
};

std::mutex g_hookLock;
std::function<void(const CameraTarget&, Phase)> g_cameraHook;

CameraResult refused(const CameraTarget& target, const std::string& why, Reason reason) {
    CameraResult r;
    r.cameraIp = target.cameraIp;
    r.name = target.name;
    r.verdict = Verdict::Refused;
    r.reason = reason;
    r.message = why;
    return r;
}

// Whether the next camera may start: after the canaries (all upgraded), and
// before the failures reach the limit.
class Brake {
public:
    Brake(const JobOptions& options, std::size_t cameras)
        : m_canary(std::min<std::size_t>(options.canary, cameras)), m_stopAfter(options.stopAfter) {}

    // Waits for the canaries when camera `index` is not one; the reason it
    // must not start, or empty.
    std::string admit(std::size_t index, const Job& job) {
        std::unique_lock<std::mutex> guard(m_lock);
        while (index >= m_canary && m_canaryDone < m_canary && !job.cancelled())
            m_wake.wait_for(guard, std::chrono::milliseconds(100));
        if (job.cancelled())
            return std::string();  // the camera's run says it was cancelled
        if (m_stopAfter > 0 && m_failures >= m_stopAfter)
            return std::to_string(m_failures) + " camera(s) had failed already, the limit of this job";
        if (index >= m_canary && m_canaryUpgraded < m_canary)
            return "a canary camera did not upgrade, so this one was held back";
        return std::string();
    }

    void finished(std::size_t index, const CameraResult& result) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            bool failed = result.verdict == Verdict::Failed || result.verdict == Verdict::Refused;
            m_failures += failed;
            if (index < m_canary) {
                ++m_canaryDone;
                m_canaryUpgraded += result.verdict == Verdict::Upgraded;
            }
        }
        m_wake.notify_all();
    }

private:
    const std::size_t m_canary;
    const unsigned m_stopAfter;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::size_t m_canaryDone = 0, m_canaryUpgraded = 0;
    unsigned m_failures = 0;
};

CameraResult notStarted(Job& job, const CameraTarget& target, const std::string& why) {
    CameraResult r = refused(target, why, Reason::HeldBack);
    r.verdict = Verdict::NotStarted;
    r.started = r.ended = std::chrono::system_clock::now();
    CameraStatus done;
    done.cameraIp = target.cameraIp;
    done.name = target.name;
    done.phase = Phase::Done;
    job.status(done);
    job.result(r);
    return r;
}

// A camera's run that ends in an exception ends that camera, not the job,
// with one worker as with many.
CameraResult runGuarded(Job& job, const CameraTarget& target) {
    try {
        return runCamera(job, target);
    } catch (const std::exception& e) {
        CameraResult r;
        r.cameraIp = target.cameraIp;
        r.name = target.name;
        r.reason = Reason::Internal;
        r.message = e.what();
        r.ended = std::chrono::system_clock::now();
        job.result(r);
        return r;
    }
}

}  // namespace

namespace testing {
void setCameraHook(std::function<void(const CameraTarget&, Phase)> hook) {
    std::lock_guard<std::mutex> guard(g_hookLock);
    g_cameraHook = std::move(hook);
}
}  // namespace testing

void cameraHook(const CameraTarget& target, Phase phase) {
    std::function<void(const CameraTarget&, Phase)> hook;
    {
        std::lock_guard<std::mutex> guard(g_hookLock);
        hook = g_cameraHook;
    }
    if (hook)
        hook(target, phase);
}

std::vector<CameraResult> runJob(const std::vector<CameraTarget>& targets,
                                 const JobOptions& options, Observer* observer,
                                 const Cancel* cancel) {
    std::vector<CameraResult> results(targets.size());
    OneJob one;
    if (!one.held()) {
        for (std::size_t i = 0; i < targets.size(); ++i) {
            results[i] = refused(targets[i],
                                 "another upgrade job is running in this process: one at a time",
                                 Reason::Busy);
            if (observer != nullptr)
                observer->onResult(results[i]);
        }
        return results;
    }
    Job job(options, observer, cancel);
    camjob::initNetResource();
    for (const CameraTarget& target : targets) {
        CameraStatus queued;
        queued.cameraIp = target.cameraIp;
        queued.name = target.name;
        job.status(queued);
    }

    // With a pre-flight the port is the job's first check: binding it is the
    // one test that cannot be wrong.
    std::string why;
    if (options.preflight && !targets.empty() && job.fileService(&why) == nullptr) {
        for (std::size_t i = 0; i < targets.size(); ++i) {
            results[i] = refused(targets[i], why, Reason::PortUnavailable);
            job.result(results[i]);
        }
        return results;
    }

    std::size_t workers = options.parallel == 0 ? targets.size()
                                                : std::min<std::size_t>(options.parallel, targets.size());
    Brake brake(options, targets.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < targets.size(); i = next++) {
            std::string held = brake.admit(i, job);
            results[i] = held.empty() ? runGuarded(job, targets[i]) : notStarted(job, targets[i], held);
            brake.finished(i, results[i]);
        }
    };
    if (workers <= 1) {
        work();  // on the caller's thread, as CamUpgrade specifies
    } else {
        std::vector<std::thread> threads;
        for (std::size_t w = 0; w < workers; ++w)
            threads.emplace_back(work);
        for (std::thread& t : threads)
            t.join();
    }

    bool clean = !results.empty();
    for (const CameraResult& r : results)
        clean = clean && r.connected && r.released;
    if (clean)
        camjob::deInitNetResource();
    return results;
}

}  // namespace engine
