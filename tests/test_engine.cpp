// The upgrade engine against simulated cameras, each test in a network
// namespace of its own (host 127.0.0.1, cameras 127.0.0.2 and up).
#include "engine/Engine.h"
#include "engine/Job.h"
#include "session/SessionStates.h"
#include "support/Archives.h"
#include "support/NetNs.h"

#include "camsim/Camera.h"
#include "camsim/Package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Keeps what the engine tells, and cancels at a phase when asked to.
class Recorder : public engine::Observer {
public:
    void onStatus(const engine::CameraStatus& s) override {
        std::lock_guard<std::mutex> guard(m_lock);
        auto& seen = phases[s.cameraIp];
        if (seen.empty() || seen.back() != s.phase)
            seen.push_back(s.phase);
        firstSeen[s.cameraIp].emplace(s.phase, Clock::now());
        if (s.phase == engine::Phase::Done && s.cameraIp == cancelWhenDone)
            cancel.request();
        if (cancelAt && s.phase == *cancelAt && !cancelledAt) {
            cancelledAt = Clock::now();
            cancel.request();
        }
    }
    void onLogLine(const std::string& line) override {
        std::lock_guard<std::mutex> guard(m_lock);
        lines.push_back(line);
    }
    std::map<std::string, std::vector<engine::Phase>> phases;
    std::map<std::string, std::map<engine::Phase, Clock::time_point>> firstSeen;
    std::vector<std::string> lines;
    std::optional<engine::Phase> cancelAt;
    std::string cancelWhenDone;
    std::optional<Clock::time_point> cancelledAt;
    engine::Cancel cancel;

private:
    std::mutex m_lock;
};

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        CAMTEST_REQUIRE_PRIVATE_NETWORK();
        m_tmp = std::make_unique<camtest::ScratchDir>();
        m_options.unpackRoot = m_tmp->path();
        m_options.hostIp = "127.0.0.1";
        m_options.readIdentity = false;
    }
    void TearDown() override {
        m_cameras.clear();
        engine::testing::setCameraHook({});
    }

    camsim::Camera& camera(camsim::Config c) {
        m_cameras.push_back(std::make_unique<camsim::Camera>(c));
        std::string error;
        EXPECT_TRUE(m_cameras.back()->start(&error)) << error;
        return *m_cameras.back();
    }
    std::string image(const std::string& name, std::size_t size) {
        std::string path = *m_tmp / name;
        camtest::writeFile(path, std::string(size, 'x') + name);
        return path;
    }
    std::string package(camsim::PackageSpec spec, const std::string& name = "fw.zip") {
        std::string path = *m_tmp / name;
        std::string error;
        EXPECT_TRUE(camsim::makePackage(spec, path, &error)) << error;
        return path;
    }
    std::string singleImage(std::size_t size = 20000) {
        camsim::PackageSpec spec;
        spec.images = {image("app.bin", size)};
        return package(spec);
    }
    std::vector<engine::CameraResult> run(std::vector<engine::CameraTarget> targets,
                                          engine::Observer* observer = nullptr,
                                          const engine::Cancel* cancel = nullptr) {
        return engine::runJob(targets, m_options, observer, cancel);
    }
    bool nothingUnpacked() const {
        fs::path quarnel = fs::path(m_tmp->path()) / "Quarnel.tmp";
        std::error_code ec;
        return !fs::exists(quarnel, ec) || fs::is_empty(quarnel, ec);
    }
    static void untouched(const camsim::Camera& cam) {
        camsim::Snapshot s = cam.snapshot();
        EXPECT_EQ(s.upgradeCommands, 0u);
        EXPECT_FALSE(s.controlled);
        EXPECT_EQ(s.fileServer, "");
    }

    engine::JobOptions m_options;
    std::unique_ptr<camtest::ScratchDir> m_tmp;
    std::vector<std::unique_ptr<camsim::Camera>> m_cameras;
};

}  // namespace

TEST(Versions, CompareAsDottedNumbersAndNeverGuessOnText) {
    using engine::Order;
    struct Case { const char* version; const char* reference; Order order; };
    for (const Case& c : {Case{"2.10.0", "2.9.9", Order::Newer}, {"0.9.0", "2.1.0", Order::Older},
                          {"2.1", "2.1.0", Order::Same}, {"02.01", "2.1", Order::Same},
                          {"99999999999999999999.1", "99999999999999999999.0", Order::Newer},
                          {"v2.1", "v2.1", Order::Same}, {"v2.1", "2.0", Order::Unordered},
                          {"2.1-rc1", "2.1", Order::Unordered}, {"", "1.0", Order::Unordered},
                          {"1..0", "1.0", Order::Unordered}}) {
        EXPECT_EQ(engine::compareVersions(c.version, c.reference), c.order)
            << c.version << " vs " << c.reference;
    }
}

TEST_F(Engine, PreflightRefusesWithoutCommandingTheCamera) {
    camsim::Camera& cam = camera(camsim::instantCamera("127.0.0.2"));
    std::string text = *m_tmp / "notes.zip";
    camtest::writeFile(text, "these are release notes, not an archive\n");
    // Loose firmware beside a broken package must not be served instead.
    camtest::writeFile(*m_tmp / "gige_ip_core_app_upd.info", "kind 0\n");
    camsim::PackageSpec kindOneOnly;
    kindOneOnly.layout = camsim::PackageSpec::PER_KIND;
    kindOneOnly.kind1Images = {image("k1.bin", 3000)};
    std::string good = singleImage();

    struct Case {
        const char* what;
        std::string host, camera, package;
        engine::Reason reason;
        const char* says;
    };
    const Case cases[] = {
        {"not an archive", "127.0.0.1", "127.0.0.2", text, engine::Reason::BadInput, "cannot be unpacked"},
        {"no image for the kind", "127.0.0.1", "127.0.0.2", package(kindOneOnly, "k1.zip"),
         engine::Reason::BadInput, "hardware kind 0"},
        {"host not ours", "10.77.0.1", "127.0.0.2", good, engine::Reason::BadInput, "not an address of this machine"},
        {"wildcard host", "0.0.0.0", "127.0.0.2", good, engine::Reason::BadInput, "not an address of this machine"},
        {"no camera there", "127.0.0.1", "127.0.0.9", good, engine::Reason::Unreachable, "does not answer"},
        {"no package", "127.0.0.1", "127.0.0.2", *m_tmp / "missing.zip", engine::Reason::BadInput, "does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_options.hostIp = c.host;
        auto results = run({{c.camera, c.package, {}}});
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].verdict, engine::Verdict::Refused);
        EXPECT_EQ(results[0].reason, c.reason);
        EXPECT_NE(results[0].message.find(c.says), std::string::npos) << results[0].message;
        EXPECT_FALSE(results[0].commanded);
    }
    untouched(cam);
    EXPECT_TRUE(nothingUnpacked());

    // The same check on its own says what the job would do.
    m_options.hostIp.clear();  // the route's source address
    engine::PreflightReport ok = engine::preflight({"127.0.0.2", good, {}}, m_options);
    EXPECT_TRUE(ok.ok) << ok.message;
    EXPECT_EQ(ok.hostIp, "127.0.0.1");
    EXPECT_EQ(ok.layout, "single image");
    untouched(cam);
}

TEST_F(Engine, CancelReleasesTheCameraAndLeavesNothing) {
    for (engine::Phase at : {engine::Phase::Transfer, engine::Phase::Flashing}) {
        SCOPED_TRACE(engine::phaseName(at));
        camsim::Config c = camsim::instantCamera("127.0.0.2");
        c.flashMs = 20000;
        c.dataLoss = 0.2;  // a transfer long enough to be caught in the middle
        c.tftpTimeoutMs = 100;
        camsim::Camera& cam = camera(c);
        Recorder seen;
        seen.cancelAt = at;
        auto results = run({{"127.0.0.2", singleImage(100000), {}}}, &seen, &seen.cancel);
        auto returned = Clock::now();
        ASSERT_TRUE(seen.cancelledAt);
        EXPECT_LT(returned - *seen.cancelledAt, 3s);
        EXPECT_EQ(results[0].verdict, engine::Verdict::Cancelled);
        EXPECT_TRUE(results[0].released);
        EXPECT_FALSE(cam.snapshot().controlled);
        EXPECT_TRUE(nothingUnpacked());
        if (at == engine::Phase::Flashing) {
            // The camera flashes on: a second job refuses it before commanding it.
            auto again = run({{"127.0.0.2", singleImage(200000), {}}});
            EXPECT_EQ(again[0].verdict, engine::Verdict::Refused);
            EXPECT_EQ(again[0].reason, engine::Reason::CameraBusy);
            EXPECT_FALSE(again[0].commanded);
            EXPECT_EQ(cam.snapshot().upgradeCommands, 1u);
        }
        m_cameras.clear();
    }
}

TEST_F(Engine, ThreeCamerasOneFailingEachWithItsOwnResult) {
    camera(camsim::instantCamera("127.0.0.2"));
    camsim::Config refusing = camsim::instantCamera("127.0.0.3");
    refusing.refuseControl = true;
    camera(refusing);
    camsim::Config kindOne = camsim::instantCamera("127.0.0.4");
    kindOne.kind = 1;
    camera(kindOne);
    camsim::PackageSpec perKind;
    perKind.layout = camsim::PackageSpec::PER_KIND;
    perKind.kind0Images = {image("k0.bin", 30000)};
    perKind.kind1Images = {image("k1.bin", 40000)};
    std::string pkg = package(perKind);

    Recorder seen;
    m_options.preflight = false;  // the refusing camera fails at control, not before
    testing::internal::CaptureStdout();
    auto results = run({{"127.0.0.2", pkg, "left"}, {"127.0.0.3", pkg, "middle"},
                        {"127.0.0.4", pkg, "right"}},
                       &seen);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].verdict, engine::Verdict::Upgraded);
    EXPECT_EQ(results[0].name, "left");
    EXPECT_EQ(results[1].verdict, engine::Verdict::Failed);
    EXPECT_EQ(results[1].reason, engine::Reason::ControlDenied);
    EXPECT_NE(results[1].message.find("refused control"), std::string::npos);
    EXPECT_EQ(results[2].verdict, engine::Verdict::Upgraded);
    EXPECT_EQ(results[2].reason, engine::Reason::None);
    EXPECT_GT(results[0].bytesServed, 30006u);  // the image and its information file
    EXPECT_EQ(m_cameras[2]->snapshot().files.at(0).name, "k1.bin");
    for (const auto& r : results)
        EXPECT_TRUE(r.released) << r.cameraIp;

    for (const char* ip : {"127.0.0.2", "127.0.0.4"}) {
        const std::vector<engine::Phase>& p = seen.phases[ip];
        SCOPED_TRACE(ip);
        ASSERT_FALSE(p.empty());
        // A camera back from its restart may drop off once more before
        // control is taken again; otherwise the phases only go forward.
        auto rank = [](engine::Phase x) {
            return x == engine::Phase::BackOnline ? engine::Phase::Restarting : x;
        };
        for (std::size_t i = 1; i < p.size(); ++i)
            EXPECT_LE(rank(p[i - 1]), rank(p[i]))
                << engine::phaseName(p[i - 1]) << " then " << engine::phaseName(p[i]);
        EXPECT_NE(std::find(p.begin(), p.end(), engine::Phase::Transfer), p.end());
        EXPECT_EQ(p.back(), engine::Phase::Done);
    }
    // The log reaches the observer line by line, and nothing else.
    ASSERT_FALSE(seen.lines.empty());
    for (const std::string& line : seen.lines)
        EXPECT_TRUE(line.empty() || line.back() != '\n') << line;
    EXPECT_TRUE(nothingUnpacked());
}

TEST_F(Engine, InactivityEndsOnlyAJobThatStopsMoving) {
    camsim::Config c = camsim::instantCamera("127.0.0.2");
    // The transfer takes longer than the limit (about 20 lost blocks, each
    // 500 ms of silence), but keeps moving.
    c.dataLoss = 0.25;
    c.tftpTimeoutMs = 500;
    c.seed = 7;
    c.restartMs = 1000;
    c.neverReturn = true;  // then the camera is gone for good
    camsim::Camera& cam = camera(c);
    // Longer than the paced heartbeat takes to see the camera gone (4.5 s).
    m_options.inactivity = 6s;

    Recorder seen;
    auto start = Clock::now();
    auto results = run({{"127.0.0.2", singleImage(40000), {}}}, &seen);
    auto took = Clock::now() - start;

    ASSERT_EQ(results.size(), 1u);
    ASSERT_EQ(cam.snapshot().files.size(), 1u);
    EXPECT_TRUE(cam.snapshot().files[0].verified);  // the slow transfer was not cut off
    EXPECT_EQ(results[0].verdict, engine::Verdict::Failed);
    EXPECT_EQ(results[0].state, ST_TIMEOUT);
    EXPECT_EQ(results[0].reason, engine::Reason::SessionFailed);
    auto& when = seen.firstSeen["127.0.0.2"];
    ASSERT_TRUE(when.count(engine::Phase::Transfer) && when.count(engine::Phase::Restarting));
    EXPECT_GT(when[engine::Phase::Restarting] - when[engine::Phase::Transfer], m_options.inactivity);
    const auto& p = seen.phases["127.0.0.2"];
    EXPECT_NE(std::find(p.begin(), p.end(), engine::Phase::Restarting), p.end());
    EXPECT_NE(results[0].message.find("while the camera restarted"), std::string::npos) << results[0].message;
    EXPECT_LT(took, 60s);  // a hang guard: releasing a camera that is gone takes seconds
}

// A camera whose every answer comes late keeps its own status reads and
// heartbeat waiting on each other for seconds; the other camera's polls and
// read requests must not wait behind them.
TEST_F(Engine, ASlowCameraHoldsUpNoOther) {
    camsim::Config fast = camsim::instantCamera("127.0.0.2");
    fast.pendingCommands = {camsim::CMD_WRITEREG};  // it asks for its file a few seconds in
    fast.pendingMs = fast.pendingDelayMs = 1000;
    camsim::Camera& b = camera(fast);
    camsim::Config slow = camsim::instantCamera("127.0.0.3");
    slow.replyLatencyMs = 700;
    camera(slow);
    m_options.preflight = false;

    Recorder seen;
    seen.cancelWhenDone = "127.0.0.2";
    std::string pkg = singleImage(300000);
    auto results = run({{"127.0.0.2", pkg, {}}, {"127.0.0.3", pkg, {}}}, &seen, &seen.cancel);
    EXPECT_EQ(results[0].verdict, engine::Verdict::Upgraded) << results[0].message;
    EXPECT_LT(results[0].seconds, 12.0);  // about 6 s alone; over 20 s behind the slow one
    EXPECT_TRUE(b.snapshot().files.at(0).verified);
    EXPECT_TRUE(nothingUnpacked());
}

// The observer is called from the job's own delivery thread: one that takes
// 2 s per event holds up neither camera's transfer, and a second job in the
// same process meanwhile is refused without touching its camera.
TEST_F(Engine, ASlowObserverDelaysNoCamera) {
    camsim::Camera& a = camera(camsim::instantCamera("127.0.0.2"));
    camsim::Camera& b = camera(camsim::instantCamera("127.0.0.3"));
    camsim::Camera& other = camera(camsim::instantCamera("127.0.0.4"));
    std::string pkg = singleImage(200000);

    struct Slow : engine::Observer {
        std::atomic<bool> slow{true};
        std::atomic<unsigned> calls{0};
        void wait() {
            ++calls;
            for (int i = 0; i < 20 && slow; ++i)
                std::this_thread::sleep_for(100ms);
        }
        void onStatus(const engine::CameraStatus&) override { wait(); }
        void onLogLine(const std::string&) override { wait(); }
        void onResult(const engine::CameraResult&) override { wait(); }
    } observer;
    std::vector<engine::CameraResult> results;
    std::thread job([&] { results = run({{"127.0.0.2", pkg, {}}, {"127.0.0.3", pkg, {}}}, &observer); });

    auto served = [](const camsim::Camera& c) {
        camsim::Snapshot s = c.snapshot();
        return !s.files.empty() && s.files[0].verified;
    };
    const auto start = Clock::now();
    while (!(served(a) && served(b)) && Clock::now() - start < 60s)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(served(a) && served(b)) << "a hang guard, not a timing check";
    EXPECT_LT(observer.calls.load(), 40u) << "the observer was not the slow part";

    auto busy = run({{"127.0.0.4", pkg, {}}});
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(busy[0].reason, engine::Reason::Busy);
    EXPECT_NE(busy[0].message.find("one at a time"), std::string::npos) << busy[0].message;
    untouched(other);

    observer.slow = false;
    job.join();
    ASSERT_EQ(results.size(), 2u);
    for (const auto& r : results)
        EXPECT_EQ(r.verdict, engine::Verdict::Upgraded) << r.cameraIp << ": " << r.message;
    EXPECT_TRUE(nothingUnpacked());
}

// What waits for a stalled observer stays bounded: a camera's statuses of
// one phase and state collapse into the newest, lines beyond the limit are
// counted in one line, and phase changes and results all arrive in order.
TEST(EngineQueue, AStalledObserverIsSparedWhatItHasNoTimeFor) {
    struct Stalled : engine::Observer {
        std::promise<void> entered, go;
        std::shared_future<void> released = go.get_future().share();
        std::vector<std::string> seen;  // by the delivery thread alone
        void note(const std::string& what) {
            if (seen.empty())
                entered.set_value();
            released.wait();
            seen.push_back(what);
        }
        void onStatus(const engine::CameraStatus& s) override {
            note(std::string(engine::phaseName(s.phase)) + " " + std::to_string(s.bytesServed));
        }
        void onLogLine(const std::string& line) override { note(line); }
        void onResult(const engine::CameraResult&) override { note("result"); }
    } observer;
    {
        engine::Job job(engine::JobOptions(), &observer, nullptr);
        engine::CameraStatus s;
        s.phase = engine::Phase::Transfer;
        job.status(s);
        observer.entered.get_future().wait();
        for (s.bytesServed = 1; s.bytesServed <= 10000; ++s.bytesServed)
            job.status(s);
        s.phase = engine::Phase::Flashing;
        job.status(s);
        for (int i = 0; i < 2100; ++i)
            job.line("line");
        job.result({});
        observer.go.set_value();
    }  // delivers what waits, then joins its thread
    ASSERT_EQ(observer.seen.size(), 2005u);
    EXPECT_EQ(std::vector<std::string>(observer.seen.begin(), observer.seen.begin() + 4),
              (std::vector<std::string>{"transfer 0", "transfer 10000", "flashing 10001", "line"}));
    EXPECT_EQ(observer.seen[2003], "result");
    EXPECT_EQ(observer.seen[2004], "\u2026 100 log lines dropped: the observer fell behind");
}

// An exception in one camera's run, with one worker, ends that camera like
// any failure: the camera is released, its unpacked package removed, the
// next camera goes on, and runJob returns a result for each.
TEST_F(Engine, AnExceptionEndsOneCameraWithOneWorker) {
    camsim::Camera& first = camera(camsim::instantCamera("127.0.0.2"));
    camsim::Camera& second = camera(camsim::instantCamera("127.0.0.3"));
    std::string pkg = singleImage();
    engine::testing::setCameraHook([](const engine::CameraTarget& t, engine::Phase phase) {
        if (t.cameraIp == "127.0.0.2" && phase == engine::Phase::Preparing)
            throw std::runtime_error("injected");
    });
    m_options.parallel = 1;
    auto results = run({{"127.0.0.2", pkg, {}}, {"127.0.0.3", pkg, {}}});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].reason, engine::Reason::Internal);
    EXPECT_EQ(results[0].message, "injected");
    EXPECT_FALSE(first.snapshot().controlled);
    EXPECT_EQ(first.snapshot().upgradeCommands, 0u);
    EXPECT_EQ(results[1].verdict, engine::Verdict::Upgraded) << results[1].message;
    EXPECT_FALSE(second.snapshot().controlled);
    EXPECT_TRUE(nothingUnpacked());
}
