// One camera of a job: pre-flight, control, the session and its worker, and
// the release, with its status told to the observer as it changes.
#include "engine/Job.h"

#include "ManagerGigeProto.h"
#include "gvcp/Registers.h"
#include "platform/netinfo.h"
#include "platform/socket.h"
#include "printfColor.h"
#include "session/SessionStates.h"
#include "session/Worker.h"
#include "tarnlog/LineOwner.h"
#include "upgrade/DevApp.h"
#include "upgrade/PackagePlan.h"
#include "upgrade/UpdgradeManager.h"

#include <algorithm>
#include <future>
#include <memory>
#include <thread>

namespace engine {

namespace {

using Clock = std::chrono::steady_clock;

// How often the worker's pause looks at the session for the observer.
constexpr std::chrono::milliseconds kSample{100};
// Idle this long after a finished file, the camera is taken to be flashing
// rather than about to ask for its next file.
constexpr std::chrono::milliseconds kFlashQuiet{500};
// A request unanswered this long: the camera has stopped answering. Well
// below the heartbeat's time-out (a restart shows within a second), above a
// slow camera's answer time.
constexpr std::chrono::milliseconds kSilentAfter{800};
// Silent this long, a camera has dropped our control by itself (the
// heartbeat time-out the job writes): asking it again with full retries
// only keeps the host waiting.
constexpr std::chrono::milliseconds kGoneAfter{3000};

// Removes the session from the port-69 service before it goes, so that no
// dispatch or poll reaches it; deleting it stops its transfer, joins its
// threads and removes its unpack folder.
class SessionHold {
public:
    SessionHold(updgradeManager& service, DevApp* session) : m_service(service), m_session(session) {}
    ~SessionHold() { end(); }
    SessionHold(const SessionHold&) = delete;
    SessionHold& operator=(const SessionHold&) = delete;
    void end() {
        if (m_session == nullptr)
            return;
        m_service.removeDevice(m_session);
        delete m_session;
        m_session = nullptr;
    }

private:
    updgradeManager& m_service;
    DevApp* m_session;
};

class JoinOnExit {
public:
    explicit JoinOnExit(std::thread& t) : m_thread(t) {}
    ~JoinOnExit() {
        if (m_thread.joinable())
            m_thread.join();
    }
    JoinOnExit(const JoinOnExit&) = delete;
    JoinOnExit& operator=(const JoinOnExit&) = delete;

private:
    std::thread& m_thread;
};

class CameraRun {
public:
    CameraRun(Job& job, const CameraTarget& target) : m_job(job), m_target(target) {
        m_result.cameraIp = target.cameraIp;
        m_result.name = target.name;
        m_status.cameraIp = target.cameraIp;
        m_status.name = target.name;
        m_result.started = std::chrono::system_clock::now();
    }

    CameraResult run();

private:
    bool check(std::string* hostIp);
    bool takeControl(managerGige& manager);
    void upgrade(managerGige& manager, updgradeManager& service, const std::string& hostIp);
    void judge(managerGige& manager);
    void readAfter();
    camjob::Pause pause(std::chrono::milliseconds period);
    void sample();
    Phase phaseNow(int state, bool linkUp, const DevApp::Served& served, Clock::time_point now);
    void setPhase(Phase phase) {
        m_status.phase = phase;
        m_job.status(m_status);
        cameraHook(m_target, phase);
    }
    CameraResult end(Verdict verdict, Reason reason, std::string message);
    CameraResult cancelled() {
        return end(Verdict::Cancelled, Reason::Cancelled, "cancelled before the camera was commanded");
    }
    CameraResult released(managerGige& manager, CameraResult result) {
        setPhase(Phase::Releasing);
        m_result.released = manager.disconnect();
        return result;
    }

    Job& m_job;
    const CameraTarget& m_target;
    CameraResult m_result;
    CameraStatus m_status;
    std::unique_ptr<package::Prepared> m_prepared;  // the pre-flight's unpacked package
    Clock::time_point m_start = Clock::now();

    // While the worker runs (its thread alone touches these).
    DevApp* m_session = nullptr;
    managerGige* m_manager = nullptr;
    std::uint16_t m_word = ST_READY;
    std::uint16_t m_lastWord = 0xFFFF;
    std::uint64_t m_lastTotal = 0;
    bool m_timedOut = false;
    bool m_lost = false;
    bool m_cancelled = false;
    Clock::time_point m_rateMark;
    std::uint64_t m_rateBytes = 0;
};

CameraResult CameraRun::run() {
    if (m_job.cancelled())
        return cancelled();
    std::string hostIp;
    if (!check(&hostIp))
        return m_result;
    if (m_job.cancelled())
        return cancelled();

    setPhase(Phase::Connecting);
    managerGige manager;
    manager.setHeartbeatPeriod(std::chrono::milliseconds(m_job.options().heartbeatMs));
    if (!takeControl(manager))
        return m_result;

    std::string why;
    updgradeManager* service = m_job.fileService(&why);
    if (service == nullptr) {
        setPhase(Phase::Releasing);
        m_result.released = manager.disconnect();
        return end(Verdict::Failed, Reason::PortUnavailable, why);
    }
    if (m_job.cancelled())
        return released(manager, cancelled());
    try {
        upgrade(manager, *service, hostIp);
    } catch (...) {
        // The session is gone with its folder; the camera is not left controlled.
        manager.disconnect();
        throw;
    }
    return m_result;
}

// Addresses, and the plan when the job asks for a pre-flight.
bool CameraRun::check(std::string* hostIp) {
    const JobOptions& options = m_job.options();
    *hostIp = options.hostIp;
    bool hostOk = hostIp->empty() || platform::isIpv4Text(hostIp->c_str());
    if (!hostOk || !platform::isIpv4Text(m_target.cameraIp.c_str())) {
        LOG_LINE("invalid argument: host ip \"%s\", camera ip \"%s\", package \"%s\"\n",
                 hostIp->c_str(), m_target.cameraIp.c_str(), m_target.package.c_str());
        end(Verdict::Refused, Reason::BadInput, "not an IPv4 address: \"" +
                                              (hostOk ? m_target.cameraIp : *hostIp) + "\"");
        return false;
    }
    if (options.preflight) {
        setPhase(Phase::Checking);
        CameraPlan plan =
            planCamera(m_target, options, false, m_job.digests(), false, &m_prepared);
        m_result.before = plan.identity;
        m_result.haveBefore = plan.haveIdentity;
        if (plan.action == Action::SkipCurrent) {
            end(Verdict::Current, Reason::None, plan.message);
            return false;
        }
        m_result.layout = plan.layout;
        if (!plan.ok) {
            end(Verdict::Refused, plan.reason, plan.message);
            return false;
        }
        *hostIp = plan.hostIp;
    } else {
        if (hostIp->empty() && !platform::routeSource(m_target.cameraIp, *hostIp)) {
            end(Verdict::Refused, Reason::BadInput,
                "this machine has no route to the camera at " + m_target.cameraIp);
            return false;
        }
        if (options.readIdentity)
            m_result.haveBefore = discovery::readIdentity(m_target.cameraIp, m_result.before);
    }
    m_result.hostIp = *hostIp;
    return true;
}

bool CameraRun::takeControl(managerGige& manager) {
    if (!manager.connect(m_target.cameraIp.c_str())) {
        Reason reason = Reason::Unreachable;
        std::string why = m_job.options().explainNoControl
                              ? whyNoControl(m_target.cameraIp, &reason)
                              : "the camera at " + m_target.cameraIp + " could not be connected";
        end(Verdict::Failed, reason, why);
        return false;
    }
    m_result.connected = true;
    camjob::logConnected();
    return true;
}

void CameraRun::upgrade(managerGige& manager, updgradeManager& service, const std::string& hostIp) {
    setPhase(Phase::Preparing);
    auto* session = new DevApp(&manager, hostIp, m_target.cameraIp);
    SessionHold hold(service, session);
    session->setUnpackRoot(m_job.options().unpackRoot);
    if (m_prepared != nullptr)
        session->usePrepared(std::move(m_prepared));
    service.addDevice(session, m_target.package, true);
    m_result.commanded = true;

    m_session = session;
    m_manager = &manager;
    m_rateMark = m_status.lastSign = Clock::now();
    camjob::Watch watch;
    watch.period = std::chrono::milliseconds(m_job.options().pollMs);
    watch.publish = m_job.options().publishState;
    watch.seen = [this](std::uint16_t word) { m_word = word; };
    watch.pause = [this](std::chrono::milliseconds period) { return pause(period); };
    std::promise<ResProcess> result;
    std::future<ResProcess> done = result.get_future();
    std::function<std::uint16_t()> status = [session] { return session->getStatus(); };
    std::thread worker([&] {
        TARNlog4cpp::LineOwner owner(m_target.cameraIp);
        camjob::process(status, result, watch);
    });
    {
        JoinOnExit joinWorker(worker);
        done.get();
    }

    judge(manager);
    setPhase(Phase::Releasing);
    // CamUpgrade (no lost-after) waits out every retry as it always did.
    const auto lostAfter = m_job.options().lostAfter;
    const bool gone = lostAfter.count() > 0 &&
                      manager.unansweredFor() >= std::min(lostAfter, kGoneAfter);
    if (gone)
        manager.giveUpOnAnswers();
    m_session = nullptr;
    hold.end();
    m_result.released = manager.disconnect();
    if (m_result.verdict == Verdict::Cancelled && !m_result.released)
        m_result.message += " (it did not answer the release)";
    // The release was the camera's last chance to show it is back.
    if (!gone || m_result.released)
        readAfter();
    if (m_result.verdict == Verdict::Upgraded && !m_result.released) {
        m_result.reason = Reason::NotReleased;
        m_result.message = "upgraded, but control of the camera could not be given back";
    }
    setPhase(Phase::Done);
    m_result.seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    m_result.ended = std::chrono::system_clock::now();
    m_result.bytesServed = m_status.bytesServed;
    m_job.result(m_result);
}

// The verdict from how the worker ended and the last word it read.
void CameraRun::judge(managerGige& manager) {
    m_result.bytesServed = m_status.bytesServed;
    if (m_cancelled) {
        m_result.state = stateOf(m_word);
        m_result.verdict = Verdict::Cancelled;
        m_result.reason = Reason::Cancelled;
        m_result.message = "cancelled " + std::string(phaseDuring(m_status.phase));
        if (m_status.phase >= Phase::Transfer)
            m_result.message += ": the camera may still be flashing, do not power it off";
        return;
    }
    if (m_lost) {
        m_result.state = stateOf(m_word);
        m_result.verdict = Verdict::Failed;
        m_result.reason = Reason::Lost;
        m_result.message = "lost during the transfer: the camera stopped answering before all "
                           "its files were served and stayed silent for " +
                           std::to_string(m_job.options().lostAfter.count() / 1000) +
                           " s; it did not get the new firmware whole";
        return;
    }
    int state = m_timedOut ? ST_TIMEOUT : stateOf(m_word);
    const SessionState* row = sessionState(state);
    m_result.state = state;
    if (state == ST_SUCCESS) {
        m_result.verdict = Verdict::Upgraded;
        m_result.reason = Reason::None;
        m_result.message = row->words;
        return;
    }
    m_result.verdict = Verdict::Failed;
    m_result.reason = row != nullptr && row->final ? Reason::SessionFailed : Reason::NoVerdict;
    m_result.message = row != nullptr ? row->words : "the camera reported an unknown state";
    if (m_timedOut) {
        m_result.message = "timed out: no sign of progress for " +
                           std::to_string(m_job.options().inactivity.count() / 1000) +
                           " s " + phaseDuring(m_status.phase);
    } else if (state == ST_TIMEOUT) {
        // The session could not command the camera: see what it is doing.
        std::uint64_t value = 0;
        std::uint32_t length = 4;
        if (manager.readReg(reg::UPGRADE_STATUS, &value, &length)) {
            std::uint32_t report = ntohl(static_cast<std::uint32_t>(value));
            if ((report & 0xFF) == ST_UPGRADING)
                m_result.message = "the camera is still busy with an earlier upgrade (" +
                                   std::to_string((report >> 8) & 0xFF) +
                                   " %): wait until it has finished, then try again";
            else
                m_result.message = "the camera did not accept the upgrade command";
        }
    }
}

// The worker's pause: looks at the session every kSample, tells the observer
// what changed, and ends early on cancellation or inactivity.
camjob::Pause CameraRun::pause(std::chrono::milliseconds period) {
    const Clock::time_point until = Clock::now() + period;
    for (;;) {
        sample();
        if (m_job.cancelled()) {
            m_cancelled = true;
            return camjob::Pause::Cancelled;
        }
        Clock::time_point now = Clock::now();
        if (now - m_status.lastSign >= m_job.options().inactivity) {
            m_timedOut = true;
            return camjob::Pause::TimedOut;
        }
        const auto lostAfter = m_job.options().lostAfter;
        if (m_status.phase == Phase::Lost && lostAfter.count() > 0 &&
            m_manager->unansweredFor() >= lostAfter) {
            m_lost = true;
            return camjob::Pause::TimedOut;
        }
        // Outside CamUpgrade the job ends as soon as the camera's verdict is
        // in, not at the worker's next pass.
        bool ended = m_status.state >= 0 && sessionEnded(static_cast<std::uint16_t>(m_status.state));
        if (now >= until || (ended && m_job.options().endOnVerdict))
            return camjob::Pause::Go;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        m_job.waitCancel(std::min(kSample, left + std::chrono::milliseconds(1)));
    }
}

void CameraRun::sample() {
    const Clock::time_point now = Clock::now();
    const std::uint16_t word = m_session->getStatus();
    // Answers, not control: a camera back from its restart answers before
    // control is taken again.
    const bool linkUp = m_manager->unansweredFor() < kSilentAfter;
    const DevApp::Served served = m_session->served();
    if (word != m_lastWord || served.total != m_lastTotal)
        m_status.lastSign = now;
    if (served.total != m_lastTotal && m_status.phase < Phase::Transfer) {
        // A file served between two looks still shows as a transfer.
        m_status.phase = Phase::Transfer;
        m_status.file = served.file;
        m_status.bytesServed = served.total;
        m_job.status(m_status);
    }
    m_lastWord = word;
    m_lastTotal = served.total;

    CameraStatus next = m_status;
    next.state = stateOf(word);
    if (next.state != ST_OFFLINE)  // offline hides the camera's percent: keep the last
        next.percent = percentOf(word);
    next.linkUp = linkUp;
    next.file = served.file;
    next.fileBytes = served.fileBytes;
    next.fileSize = served.fileSize;
    next.bytesServed = served.total;
    if (now - m_rateMark >= std::chrono::seconds(1)) {
        double seconds = std::chrono::duration<double>(now - m_rateMark).count();
        next.bytesPerSecond = static_cast<double>(served.total - m_rateBytes) / seconds;
        m_rateMark = now;
        m_rateBytes = served.total;
    }
    next.phase = phaseNow(next.state, linkUp, served, now);

    bool changed = next.phase != m_status.phase || next.state != m_status.state ||
                   next.percent != m_status.percent || next.linkUp != m_status.linkUp ||
                   next.file != m_status.file || next.bytesServed != m_status.bytesServed ||
                   next.bytesPerSecond != m_status.bytesPerSecond;
    m_status = next;
    if (changed)
        m_job.status(m_status);
}

// A phase moves back only on news from the camera: its answers, or a file
// it fetches.
Phase CameraRun::phaseNow(int state, bool answering, const DevApp::Served& served,
                          Clock::time_point now) {
    const Phase was = m_status.phase;
    if (was < Phase::Waiting)
        return state == ST_UPGRADING || state == ST_READY_SENDING ? Phase::Waiting : was;
    if (!answering) {
        // With a file half served, or none whole yet, it is not restarting:
        // it is gone.
        bool midTransfer = served.active || served.filesDone == 0 || was == Phase::Lost;
        return midTransfer ? Phase::Lost : Phase::Restarting;
    }
    if (served.active)
        return Phase::Transfer;
    if (was == Phase::Lost || was == Phase::Restarting)
        return Phase::BackOnline;
    if (was == Phase::Transfer && state == ST_UPGRADING && served.filesDone > 0 &&
        now - served.lastDone >= kFlashQuiet)
        return Phase::Flashing;
    return was;
}

// The version after any verdict in which the camera answers again, and the
// facts the guard draws from it.
void CameraRun::readAfter() {
    const JobOptions& options = m_job.options();
    if (!options.readIdentity || m_result.reason == Reason::Lost)
        return;
    m_result.haveAfter = discovery::readIdentity(m_target.cameraIp, m_result.after, nullptr,
                                                 std::chrono::milliseconds(1000));
    const std::string& after = m_result.after.version;
    if (m_result.haveBefore && m_result.haveAfter)
        m_result.downgraded = compareVersions(after, m_result.before.version) == Order::Older;
    if (m_result.verdict != Verdict::Upgraded || !options.preflight || options.expectVersion.empty())
        return;
    if (m_result.haveAfter && compareVersions(after, options.expectVersion) == Order::Same)
        return;
    m_result.verdict = Verdict::Failed;
    m_result.reason = Reason::WrongVersion;
    m_result.message = m_result.haveAfter
                           ? "the camera reports firmware " + after +
                                 " after the upgrade, not the expected " + options.expectVersion
                           : "the camera's firmware version could not be read after the upgrade "
                             "(expected " + options.expectVersion + ")";
}

CameraResult CameraRun::end(Verdict verdict, Reason reason, std::string message) {
    m_result.verdict = verdict;
    m_result.reason = reason;
    m_result.message = std::move(message);
    m_result.seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    m_result.ended = std::chrono::system_clock::now();
    setPhase(Phase::Done);
    m_job.result(m_result);
    return m_result;
}

}  // namespace

CameraResult runCamera(Job& job, const CameraTarget& target) {
    TARNlog4cpp::LineOwner owner(target.cameraIp);
    CameraRun run(job, target);
    return run.run();
}

}  // namespace engine
