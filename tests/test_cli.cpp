// The camupgrade command as a plant engineer runs it, against simulated
// cameras in a network namespace of the test's own; and the shared library
// as a host application loads it.
#include "CamerasFile.h"
#include "Output.h"
#include "Workspace.h"
#include "support/Archives.h"
#include "support/NetNs.h"
#include "support/Processes.h"
#include "support/Wait.h"

#include "camsim/Camera.h"
#include "camsim/Package.h"
#include "camsim/Sha256.h"
#include "platform/sha256.h"
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pty.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The command's argv (support/Processes). An upgrade that names no history
// records none: tests never touch the host's own.
std::vector<std::string> cli(std::vector<std::string> args) {
    bool named = false;
    for (const auto& a : args)
        named = named || a == "--history" || a == "--no-history";
    if (!named && (args.empty() || (args[0] != "info" && args[0] != "list" && args[0] != "history")))
        args.push_back("--no-history");
    args.insert(args.begin(), CAMUPGRADE_CLI);
    return args;
}

[[noreturn]] void execCli(const std::vector<std::string>& args) {
    std::vector<std::string> all = cli(args);
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(CAMUPGRADE_CLI, argv.data());
    _exit(127);
}

struct CliRun : camtest::ProgramRun {
    explicit CliRun(const std::vector<std::string>& args, const std::string& cwd = ".")
        : ProgramRun(cli(args), cwd) {}
};

// The command on a terminal `columns` wide: everything it wrote there.
std::string runOnTerminal(const std::vector<std::string>& args, unsigned short columns) {
    int master = -1, slave = -1;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 40;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 1);
        dup2(slave, 2);
        close(master);
        close(slave);
        execCli(args);
    }
    close(slave);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0)  // EIO once the child is gone
        out.append(buf, static_cast<std::size_t>(n));
    close(master);
    waitpid(pid, nullptr, 0);
    return out;
}

std::string cameraIp(int i) { return "127.0.0." + std::to_string(2 + i); }

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        CAMTEST_REQUIRE_PRIVATE_NETWORK();
        // Whatever the job unpacks goes under a temporary folder of this test.
        m_tmp = std::make_unique<camtest::ScratchDir>();
        setenv("TMPDIR", m_tmp->path().c_str(), 1);
        m_package = package("fw.zip", 0, 70000);
    }
    void TearDown() override {
        m_cameras.clear();
        unsetenv("TMPDIR");
    }

    std::string package(const std::string& name, int kind, std::size_t size,
                        const std::string& version = "2.1.0") {
        camtest::writeFile(m_dir / "app.bin", std::string(size, static_cast<char>('a' + kind)));
        camsim::PackageSpec spec;
        spec.version = version;
        spec.kind = kind;
        spec.images = {m_dir / "app.bin"};
        std::string error;
        EXPECT_TRUE(camsim::makePackage(spec, m_dir / name, &error)) << error;
        return m_dir / name;
    }
    camsim::Camera& camera(camsim::Config c) {
        m_cameras.push_back(std::make_unique<camsim::Camera>(c));
        std::string error;
        EXPECT_TRUE(m_cameras.back()->start(&error)) << error;
        return *m_cameras.back();
    }
    bool tempFolderEmpty() const { return fs::is_empty(m_tmp->path()); }

    camtest::ScratchDir m_dir;
    std::unique_ptr<camtest::ScratchDir> m_tmp;
    std::string m_package;
    std::vector<std::unique_ptr<camsim::Camera>> m_cameras;
};

// A transfer slow enough to interrupt: the camera drops most data blocks.
camsim::Config slowCamera(const std::string& ip) {
    camsim::Config c = camsim::instantCamera(ip);
    c.dataLoss = 0.6;
    c.tftpTimeoutMs = 100;
    c.tftpRetries = 1000;
    return c;
}

// The objects of a JSON array the command wrote, one a line, and a value of
// one (a string without its quotes).
std::vector<std::string> objects(const std::string& json) {
    std::vector<std::string> out;
    for (auto p = json.find("\n {"); p != std::string::npos; p = json.find("\n {", p + 1))
        out.push_back(json.substr(p + 2, json.find('\n', p + 1) - p - 2));
    return out;
}
std::string value(const std::string& object, const std::string& key) {
    auto p = object.find("\"" + key + "\":");
    if (p == std::string::npos)
        return "<none>";
    p += key.size() + 3;
    if (object[p] == '"')
        return object.substr(p + 1, object.find('"', p + 1) - p - 1);
    return object.substr(p, object.find_first_of(",}", p) - p);
}
std::size_t lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}
// Requests of this command a silent camera (restarting, or gone) received.
std::size_t unheard(const camsim::Camera& cam, const std::string& command) {
    std::size_t n = 0;
    for (const camsim::Event& e : cam.events())
        n += e.text.rfind("unheard while silent: " + command + " id ", 0) == 0;
    return n;
}

}  // namespace

TEST(Sha256, NistVectors) {
    EXPECT_EQ(platform::sha256Hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(platform::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(platform::sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(CamerasFile, LinesCommentsPackagesAndNames) {
    std::vector<cli::Target> t;
    std::string error;
    ASSERT_TRUE(cli::parseCamerasFile("# line 3\n\n10.0.0.2\n  10.0.0.3 k1.zip  left door # x\r\n"
                                      "10.0.0.4 - right\n10.0.0.5 /abs/fw.zip\n",
                                      "/base", t, &error)) << error;
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].package, "");
    EXPECT_EQ(t[1].package, "/base/k1.zip");
    EXPECT_EQ(t[1].name, "left door");
    EXPECT_EQ(t[2].package, "");
    EXPECT_EQ(t[2].name, "right");
    EXPECT_EQ(t[3].package, "/abs/fw.zip");

    for (const char* bad : {"10.0.0.2\n\nfw.zip 10.0.0.3\n", "10.0.0.2\n# c\n10.0.0.2 x.zip\n"}) {
        std::vector<cli::Target> none;
        EXPECT_FALSE(cli::parseCamerasFile(bad, "/", none, &error));
        EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;
    }
}

TEST(Json, EscapesWhatACameraMaySend) {
    EXPECT_EQ(cli::jsonString("a\"b\\c\n\x01 \xC3\xA9\xE2\x86\x92"),
              "\"a\\\"b\\\\c\\u000a\\u0001 \xC3\xA9\xE2\x86\x92\"");
    // Bytes that are no UTF-8: a lone continuation, a cut sequence, an overlong "/".
    EXPECT_EQ(cli::jsonString("\x80x\xE2\x86"), "\"\\ufffdx\\ufffd\\ufffd\"");
    EXPECT_EQ(cli::jsonString("\xC0\xAF"), "\"\\ufffd\\ufffd\"");
}

TEST_F(Cli, UpgradesOneCameraWithIdentityJsonAndRelativeLog) {
    camsim::Config c = camsim::instantCamera("127.0.0.2");
    c.userName = "door \"left\"";
    camera(c);

    CliRun info({"info", "--camera", "127.0.0.2", "--json"});
    EXPECT_EQ(info.finish(), 0) << info.err();
    EXPECT_NE(info.out().find("\"model\":\"CS-GE-1\""), std::string::npos) << info.out();
    EXPECT_NE(info.out().find("\"user_name\":\"door \\\"left\\\"\""), std::string::npos);
    EXPECT_NE(info.out().find("\"kind\":0"), std::string::npos);

    CliRun run({"--camera", "127.0.0.2", "--package", m_package, "--json", "--log", "rel.log"},
               m_dir.path());
    EXPECT_EQ(run.finish(), 0) << run.both();
    const std::string& json = run.out();
    ASSERT_EQ(json.rfind("[\n {\"camera\":\"127.0.0.2\", ", 0), 0u) << json;
    EXPECT_EQ(json.substr(json.size() - 4), "}\n]\n") << "stdout carries nothing but the JSON";
    for (const char* kv : {"\"name\":\"door \\\"left\\\"\"", "\"model\":\"CS-GE-1\"",
                           "\"version_before\":\"1.0.0\"", "\"version_after\":\"2.1.0\"",
                           "\"verdict\":\"upgraded\"", "\"state\":0", "\"exit_code\":0",
                           "\"serial\":", "\"message\":", "\"seconds\":"})
        EXPECT_NE(json.find(kv), std::string::npos) << kv << " in " << json;
    EXPECT_EQ(json.find("\"bytes_served\":0,"), std::string::npos) << json;
    // Progress and the closing lines go to stderr; the last names both versions.
    EXPECT_NE(run.err().find("127.0.0.2: connecting"), std::string::npos) << run.err();
    EXPECT_NE(run.err().find("firmware 1.0.0 \u2192 2.1.0\n"), std::string::npos) << run.err();
    EXPECT_NE(camtest::readFile(m_dir / "rel.log").find("Upgrade success..."), std::string::npos);
    EXPECT_EQ(m_cameras[0]->snapshot().controller, "");
    EXPECT_TRUE(tempFolderEmpty());
}

TEST_F(Cli, PreflightRefusalsNeverCommandTheCamera) {
    // A mount namespace of the test's own (before any thread) for a small,
    // soon full, temporary folder.
    std::string small = m_dir / "small";
    fs::create_directory(small);
    bool smallFs = unshare(CLONE_NEWNS) == 0 &&
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") == 0;
    camsim::Camera& cam = camera(camsim::instantCamera("127.0.0.2"));
    camtest::writeFile(m_dir / "broken.zip", "PK\x03\x04 not really an archive");
    camtest::writeFile(m_dir / "gige_ip_core_app_upd.info", "kind 0\nversion 9.9.9\n");
    struct Case { const char* what; std::vector<std::string> extra; std::string package; };
    for (const Case& k : {Case{"damaged package beside loose files", {}, m_dir / "broken.zip"},
                          Case{"host address not on this machine", {"--host", "10.9.9.9"}, m_package},
                          Case{"log not writable", {"--log", "/nonexistent/x.log"}, m_package}}) {
        SCOPED_TRACE(k.what);
        std::vector<std::string> args{"--camera", "127.0.0.2", "--package", k.package};
        args.insert(args.end(), k.extra.begin(), k.extra.end());
        CliRun run(args);
        EXPECT_EQ(run.finish(), 2) << run.both();
        EXPECT_NE(run.both().find_first_not_of(" \n"), std::string::npos);
    }
    // The package is told before a camera that does not answer: it costs no camera.
    CliRun silent({"--camera", "127.0.0.9", "--package", m_dir / "broken.zip"});
    EXPECT_EQ(silent.finish(), 2) << silent.both();
    if (smallFs) {
        setenv("TMPDIR", small.c_str(), 1);
        CliRun full({"--camera", "127.0.0.2", "--package", m_package});
        EXPECT_EQ(full.finish(), 2);
        EXPECT_NE(full.both().find("does not fit into the temporary folder " + small),
                  std::string::npos) << full.both();
        setenv("TMPDIR", m_tmp->path().c_str(), 1);
        umount2(small.c_str(), MNT_DETACH);
    }
    EXPECT_EQ(cam.snapshot().upgradeCommands, 0u);
    EXPECT_EQ(cam.snapshot().controller, "");
    EXPECT_TRUE(tempFolderEmpty());
}

TEST_F(Cli, EveryExitCodeOfTheTable) {
    struct Case { int exit; const char* words; std::function<void(camsim::Config&)> knob; };
    auto forced = [](int state) { return [state](camsim::Config& c) { c.forceState = state; }; };
    std::vector<Case> cases = {
        {0, "UPGRADED", [](camsim::Config&) {}},
        {3, "refused control (another application holds it)",
         [](camsim::Config& c) { c.refuseControl = true; }},
        {3, "does not answer", [](camsim::Config& c) { c.ip = "127.0.0.3"; }},
        {18, "FAILED", [](camsim::Config& c) { c.neverReturn = true; c.restartMs = 100; }},
    };
    for (int state : {1, 2, 3, 6, 7, 11, 13})
        cases.push_back({10 + state, "FAILED", forced(state)});
    for (const Case& k : cases) {
        SCOPED_TRACE(k.exit);
        camsim::Config c = camsim::instantCamera("127.0.0.2");
        k.knob(c);
        camera(c);
        CliRun run({"--camera", "127.0.0.2", "--package", m_package, "--inactivity", "2"});
        EXPECT_EQ(run.finish(), k.exit) << run.both();
        EXPECT_NE(run.out().find(k.words), std::string::npos) << run.out();
        m_cameras.clear();
    }

    // Port 69: another upgrade on this host, then another program.
    camera(camsim::instantCamera("127.0.0.2"));
    {
        cli::PortLock held;
        ASSERT_TRUE(held.acquire(nullptr));
        CliRun run({"--camera", "127.0.0.2", "--package", m_package});
        EXPECT_EQ(run.finish(), 4);
        EXPECT_NE(run.out().find("another upgrade on this host holds port 69"), std::string::npos)
            << run.both();
    }
    platform::socket_t holder = platform::udpSocket();
    sockaddr_in any = platform::makeAddr("0.0.0.0", 69);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    CliRun busy({"--camera", "127.0.0.2", "--package", m_package});
    EXPECT_EQ(busy.finish(), 4) << busy.both();
    platform::closeSocket(holder);
    EXPECT_EQ(m_cameras[0]->snapshot().upgradeCommands, 0u);
    EXPECT_TRUE(tempFolderEmpty());
}

// The command's paced heartbeat against the three ways a camera leaves the
// line: a restart longer than the heartbeat needs to see it, a camera gone
// for good, and a restart so short that only its released control shows.
TEST_F(Cli, PacedHeartbeatFollowsRestartsAndSparesTheCameras) {
    struct Case { int restartMs; bool gone; };
    const Case cases[] = {{5000, false}, {100, true}, {400, false}};
    for (int i = 0; i < 3; ++i) {
        camsim::Config c = camsim::instantCamera(cameraIp(i));
        c.eventLevel = 1;
        c.flashMs = 300;
        c.restartMs = cases[i].restartMs;
        c.neverReturn = cases[i].gone;
        c.eventLevel = cases[i].gone ? 2 : 1;
        camera(c);
    }
    auto start = std::chrono::steady_clock::now();
    CliRun run({"--camera", cameraIp(0), "--camera", cameraIp(1), "--camera", cameraIp(2),
                "--package", m_package, "--inactivity", "8", "--json"});
    EXPECT_EQ(run.finish(), 18) << run.both();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string& json = run.out();
    EXPECT_NE(json.find("while the camera restarted"), std::string::npos) << json;
    auto verdictOf = [&](int i) {
        std::size_t at = json.find("{\"camera\":\"" + cameraIp(i) + "\"");
        std::size_t v = json.find("\"verdict\":\"", at);
        return at == std::string::npos ? std::string() : json.substr(v + 11, json.find('"', v + 11) - v - 11);
    };
    EXPECT_EQ(verdictOf(0), "upgraded");
    EXPECT_EQ(verdictOf(1), "failed");
    EXPECT_EQ(verdictOf(2), "upgraded");
    EXPECT_NE(run.err().find(cameraIp(0) + ": restarting"), std::string::npos) << run.err();
    // A camera gone for good gets one short release and no identity read.
    EXPECT_EQ(unheard(*m_cameras[1], "WRITEREG"), 1u);
    EXPECT_EQ(unheard(*m_cameras[1], "READMEM"), 0u);

    for (int i : {0, 2}) {
        SCOPED_TRACE(cameraIp(i));
        camsim::Snapshot s = m_cameras[i]->snapshot();
        EXPECT_EQ(s.restarts, 1u);
        EXPECT_EQ(s.controller, "");
        // Control never lost to a heartbeat that came too late.
        for (const camsim::Event& e : m_cameras[i]->events())
            EXPECT_EQ(e.text.find("control lost"), std::string::npos) << e.text;
        // Back to back the heartbeat sends tens of thousands a second.
        EXPECT_LT(s.requests / seconds, 20.0) << s.requests << " requests in " << seconds << " s";
    }
    EXPECT_TRUE(tempFolderEmpty());
}

TEST_F(Cli, CtrlCDuringTheTransferReleasesTheCameraAndCleansUp) {
    camsim::Camera& cam = camera(slowCamera("127.0.0.2"));
    std::string pkg = package("big.zip", 0, 4 << 20);
    CliRun run({"--camera", "127.0.0.2", "--package", pkg, "--log", m_dir / "run.log"});
    ASSERT_TRUE(run.waitForOutput("127.0.0.2: transfer", 20000)) << run.both();
    run.signal(SIGINT);
    ASSERT_TRUE(run.waitForOutput("cancelling", 3000)) << run.both();
    EXPECT_EQ(run.finish(), 130) << run.both();
    EXPECT_NE(run.both().find("transfer stopped"), std::string::npos) << run.both();
    EXPECT_NE(run.out().find("CANCELLED"), std::string::npos) << run.out();
    EXPECT_TRUE(camtest::waitUntil([&] { return cam.snapshot().controller.empty(); }, 3000));
    EXPECT_NE(camtest::readFile(m_dir / "run.log").find("receive file request"), std::string::npos);
    EXPECT_TRUE(tempFolderEmpty());
}

TEST_F(Cli, EightCamerasOfMixedKindsWithOneFailure) {
    std::string k1 = package("fw-k1.zip", 1, 50000);
    std::string list = "# line 3\n";
    for (int i = 0; i < 8; ++i) {
        camsim::Config c = camsim::instantCamera(cameraIp(i));
        c.kind = i % 2;
        c.forceState = i == 5 ? 2 : -1;  // this one rejects its image
        camera(c);
        list += cameraIp(i) + (i % 2 ? " fw-k1.zip" : " -") + " cam" + std::to_string(i) + "\n";
    }
    camtest::writeFile(m_dir / "line3.txt", list);

    CliRun found({"list", "--json"});
    EXPECT_EQ(found.finish(), 0) << found.err();
    for (int i = 0; i < 8; ++i)
        EXPECT_NE(found.out().find("\"ip\":\"" + cameraIp(i) + "\""), std::string::npos);

    CliRun run({"--cameras", m_dir / "line3.txt", "--package", m_package, "--json"});
    EXPECT_EQ(run.finish(), 12) << run.both();
    std::size_t at = 0;
    for (int i = 0; i < 8; ++i) {  // in the file's order, whatever order they finished in
        at = run.out().find("{\"camera\":\"" + cameraIp(i) + "\", \"name\":\"cam" +
                                std::to_string(i) + "\"", at);
        ASSERT_NE(at, std::string::npos) << i << run.out();
    }
    std::string json = run.out();
    auto count = [&](const std::string& s) {
        std::size_t n = 0;
        for (auto p = json.find(s); p != std::string::npos; p = json.find(s, p + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("\"verdict\":\"upgraded\""), 7u);
    EXPECT_EQ(count("\"exit_code\":12"), 1u);
    EXPECT_NE(run.err().find("1 of 8 cameras failed"), std::string::npos) << run.err();
    EXPECT_NE(run.err().find("1.0.0 \u2192 2.1.0"), std::string::npos);

    // Again on a narrow terminal: the block of camera lines is redrawn in
    // place and no line of it wraps.
    std::string screen = runOnTerminal({"--cameras", m_dir / "line3.txt", "--package", m_package}, 60);
    std::vector<std::string> drawn;
    for (auto p = screen.find("\033[2K"); p != std::string::npos; p = screen.find("\033[2K", p)) {
        p += 4;
        drawn.push_back(screen.substr(p, screen.find_first_of("\r\n", p) - p));
    }
    ASSERT_GE(drawn.size(), 16u) << screen;
    // The last drawing stays on the screen whole, even where it wraps.
    for (std::size_t i = 0; i + 8 < drawn.size(); ++i)
        EXPECT_LT(cli::textColumns(drawn[i]), 60u) << drawn[i];
    EXPECT_NE(drawn[drawn.size() - 3].find("failed: the camera rejected the firmware image (check failed)"),
              std::string::npos) << drawn[drawn.size() - 3];
    EXPECT_NE(screen.find("\033[8F"), std::string::npos) << "the block goes back up 8 lines";
    EXPECT_TRUE(tempFolderEmpty());
}

TEST_F(Cli, SigtermCancelsAWholeModelWhileItFlashes) {
    for (int i = 0; i < 4; ++i) {
        camsim::Config c = camsim::instantCamera(cameraIp(i));
        c.flashMs = 30000;
        camera(c);
    }
    CliRun run({"--all", "--model", "cs-ge-1", "--package", m_package, "--json", "--yes"});
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(run.waitForOutput(cameraIp(i) + ": flashing", 20000)) << run.both();
    // As `timeout` sends it: to the process, then to its group at once. One
    // request, so the cameras are still released cleanly.
    run.signal(SIGTERM);
    run.signal(SIGTERM);
    EXPECT_EQ(run.finish(), 143) << run.both();
    std::string json = run.out();
    std::size_t cancelled = 0;
    for (auto p = json.find("\"verdict\":\"cancelled\""); p != std::string::npos;
         p = json.find("\"verdict\":\"cancelled\"", p + 1))
        ++cancelled;
    EXPECT_EQ(cancelled, 4u) << json;
    EXPECT_EQ(json.find("\"exit_code\":130"), std::string::npos) << json;
    EXPECT_NE(run.err().find("do not power it off"), std::string::npos) << run.err();
    for (auto& cam : m_cameras)
        EXPECT_TRUE(camtest::waitUntil([&] { return cam->snapshot().controller.empty(); }, 3000));
    EXPECT_TRUE(tempFolderEmpty());
}

namespace {

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

}  // namespace

// Findings of a first-time user: a 0.9.0 package on a 2.1.0 camera went
// through silently; now the plan shows it, the guard refuses it, and
// without the guard the downgrade is loud.
TEST_F(Cli, TheVersionGuardAndThePlan) {
    camsim::Config c = camsim::instantCamera("127.0.0.2");
    c.firmwareVersion = "2.1.0";
    camsim::Camera& newer = camera(c);
    c = camsim::instantCamera("127.0.0.3");
    c.firmwareVersion = "0.5.0";
    camsim::Camera& older = camera(c);
    std::string old = package("fw-0.9.0.zip", 0, 70000, "0.9.0");
    const std::string digest = camsim::Sha256::of(camtest::readFile(old).data(),
                                                  camtest::readFile(old).size());

    CliRun plan({"plan", "--camera", "127.0.0.2", "--camera", "127.0.0.3", "--package", old,
                 "--expect-version", "0.9.0", "--json"});
    EXPECT_EQ(plan.finish(), 6) << plan.both();
    for (const char* kv : {"\"version\":\"2.1.0\"", "\"busy\":false", "\"state\":5",
                           "\"layout\":\"single image\"", "\"name\":\"app.bin\", \"size\":70000",
                           "\"action\":\"refuse\"", "\"exit_code\":6", "\"action\":\"upgrade\""})
        EXPECT_NE(plan.out().find(kv), std::string::npos) << kv << " in " << plan.out();
    EXPECT_EQ(occurrences(plan.out(), "\"sha256\":\"" + digest + "\""), 2u) << plan.out();

    CliRun guarded({"--camera", "127.0.0.2", "--package", old, "--expect-version", "0.9.0",
                    "--sha256", digest});
    EXPECT_EQ(guarded.finish(), 6) << guarded.both();
    EXPECT_NE(guarded.out().find("REFUSED: the camera runs 2.1.0, newer than the expected 0.9.0"),
              std::string::npos) << guarded.out();

    CliRun down({"--camera", "127.0.0.2", "--package", old, "--json"});
    EXPECT_EQ(down.finish(), 0) << down.both();
    EXPECT_NE(down.out().find("\"downgraded\":true"), std::string::npos) << down.out();
    EXPECT_NE(down.err().find("UPGRADED, DOWNGRADED 2.1.0 \u2192 0.9.0"), std::string::npos);
    EXPECT_NE(down.err().find("WARNING: the firmware went DOWN"), std::string::npos);

    // Now at 0.9.0 it is current; the older camera must end at the expected
    // version, and this package's 2.1.0 is not 2.2.0.
    {
        CliRun current({"--camera", "127.0.0.2", "--package", old, "--expect-version", "0.9.0.0"});
        EXPECT_EQ(current.finish(), 0) << current.both();
        EXPECT_NE(current.out().find("CURRENT: already at the expected version"), std::string::npos);
    }
    CliRun again({"--camera", "127.0.0.3", "--package", m_package, "--expect-version", "2.2.0",
                  "--json"});
    EXPECT_EQ(again.finish(), 8) << again.both();
    EXPECT_NE(again.out().find("\"verdict\":\"failed\", \"state\":0, \"exit_code\":8"),
              std::string::npos) << again.out();
    EXPECT_NE(again.err().find("reports firmware 2.1.0 after the upgrade, not the expected 2.2.0"),
              std::string::npos) << again.err();
    EXPECT_EQ(newer.snapshot().upgradeCommands, 1u);
    EXPECT_EQ(older.snapshot().upgradeCommands, 1u);

    // Bad input: a sentence, exit 2, and no camera commanded.
    struct Bad { std::vector<std::string> args; const char* says; };
    for (const Bad& bad : {Bad{{"--expect-version", "2.x"}, "not a version of dotted numbers"},
                           {{"--sha256", "abc"}, "64 hexadecimal digits"},
                           {{"--sha256", std::string(64, 'a')}, "not the expected aaaa"},
                           {{"--reinstall"}, "--reinstall goes with --expect-version"},
                           {{"--dry-run", "--allow-older"}, "--allow-older goes with"},
                           {{"--force"}, "--force is gone"}}) {
        std::vector<std::string> args{"--camera", "127.0.0.3", "--package", old};
        args.insert(args.end(), bad.args.begin(), bad.args.end());
        CliRun run(args);
        EXPECT_EQ(run.finish(), 2) << run.both();
        EXPECT_NE(run.both().find(bad.says), std::string::npos) << run.both();
    }
    CliRun all({"--all", "--model", "CS-GE-1", "--package", old});
    EXPECT_EQ(all.finish(), 2);
    EXPECT_NE(all.err().find("--all off a terminal needs --yes"), std::string::npos) << all.err();
    EXPECT_EQ(older.snapshot().upgradeCommands, 1u);
    EXPECT_TRUE(tempFolderEmpty());
}

// Loose files beside a damaged package are never served; a folder is, when
// it is named as the package and reads like an archive's top level.
TEST_F(Cli, OnlyAFolderNamedAsThePackageIsServed) {
    camsim::Config c = camsim::instantCamera("127.0.0.2");
    c.firmwareVersion = "2.1.0";
    camsim::Camera& cam = camera(c);
    const std::string loose = m_dir / "loose";
    fs::create_directory(loose);
    std::string image(3000, 'i');
    camsim::InfoFile info{0, "0.9.0", {{"app.bin", image.size(), camsim::Sha256::of(image.data(), image.size())}}};
    camtest::writeFile(loose + "/app.bin", image);
    camtest::writeFile(loose + "/" + camsim::INFO_NAMES[0], camsim::formatInfo(info));
    camtest::writeFile(loose + "/trunc.zip", camtest::readFile(m_package).substr(0, 300));
    camtest::writeFile(loose + "/notes.txt", "not a package\n");
    for (const char* name : {"trunc.zip", "notes.txt"}) {
        CliRun run({"--camera", "127.0.0.2", "--package", loose + "/" + name});
        EXPECT_EQ(run.finish(), 2) << run.both();
        EXPECT_NE(run.out().find("cannot be used: it cannot be unpacked"), std::string::npos);
    }
    EXPECT_EQ(cam.snapshot().upgradeCommands, 0u);

    CliRun plan({"--dry-run", "--camera", "127.0.0.2", "--package", loose});
    EXPECT_EQ(plan.finish(), 0) << plan.both();
    EXPECT_NE(plan.out().find("(a folder)"), std::string::npos) << plan.out();
    EXPECT_NE(plan.out().find("the camera checks the kind in its information file"),
              std::string::npos) << plan.out();
    EXPECT_NE(plan.out().find("app.bin (3000 bytes)"), std::string::npos);
    EXPECT_EQ(cam.snapshot().upgradeCommands, 0u);
    EXPECT_FALSE(cam.snapshot().controlled);

    CliRun run({"--camera", "127.0.0.2", "--package", loose});
    EXPECT_EQ(run.finish(), 0) << run.both();
    ASSERT_EQ(cam.snapshot().files.size(), 1u);
    EXPECT_TRUE(cam.snapshot().files[0].verified);

    // A per-kind package shows the entry a camera's kind gets.
    camsim::PackageSpec spec;
    spec.layout = camsim::PackageSpec::PER_KIND;
    spec.kind0Images = spec.kind1Images = {loose + "/app.bin"};
    ASSERT_TRUE(camsim::makePackage(spec, m_dir / "multi.zip", nullptr));
    CliRun perKind({"plan", "--camera", "127.0.0.2", "--package", m_dir / "multi.zip"});
    EXPECT_EQ(perKind.finish(), 0) << perKind.both();
    EXPECT_NE(perKind.out().find("per kind: hardware kind 0 gets camfw.zip"), std::string::npos)
        << perKind.out();
    EXPECT_TRUE(tempFolderEmpty());
}

// After Ctrl-C while the camera flashes, `info` tells it is busy, and a new
// upgrade is refused before the camera is commanded.
TEST_F(Cli, ABusyCameraIsShownAndNeverCommandedAgain) {
    camsim::Config c = camsim::instantCamera("127.0.0.2");
    c.flashMs = 30000;
    camsim::Camera& cam = camera(c);
    CliRun run({"--camera", "127.0.0.2", "--package", m_package});
    ASSERT_TRUE(run.waitForOutput("127.0.0.2: flashing", 20000)) << run.both();
    run.signal(SIGINT);
    EXPECT_EQ(run.finish(), 130) << run.both();
    EXPECT_NE(run.both().find("until camupgrade info shows it idle"), std::string::npos);

    CliRun info({"info", "--camera", "127.0.0.2"});
    EXPECT_EQ(info.finish(), 0);
    EXPECT_NE(info.out().find("busy \u2014 do not power off: upgrading, "), std::string::npos)
        << info.out();
    CliRun json({"info", "--camera", "127.0.0.2", "--json"});
    EXPECT_EQ(json.finish(), 0);
    EXPECT_NE(json.out().find("\"busy\":true, \"state\":4"), std::string::npos) << json.out();

    CliRun again({"--camera", "127.0.0.2", "--package", m_package});
    EXPECT_EQ(again.finish(), 7) << again.both();
    EXPECT_NE(again.out().find("REFUSED: the camera is busy with an earlier upgrade"),
              std::string::npos) << again.out();
    EXPECT_EQ(cam.snapshot().upgradeCommands, 1u);
    EXPECT_TRUE(tempFolderEmpty());
}

// What a camera's line says while it is in danger is true: gone mid-transfer
// is "lost", not restarting, and ends; a restart after the files is told
// within its few seconds and does not flip back and forth; after a failure
// the version is read again.
TEST_F(Cli, HonestPhases) {
    camsim::Config vanishing = camsim::instantCamera("127.0.0.2");
    vanishing.restartMidTransfer = true;
    vanishing.neverReturn = true;
    vanishing.eventLevel = 2;
    camera(vanishing);
    camsim::Config restarting = camsim::instantCamera("127.0.0.3");
    restarting.flashMs = 300;
    restarting.restartMs = 1500;  // shorter than the heartbeat's time-out
    camera(restarting);
    camsim::Config failing = camsim::instantCamera("127.0.0.4");
    failing.forceState = 3;
    camera(failing);

    CliRun run({"--camera", "127.0.0.2", "--camera", "127.0.0.3", "--camera", "127.0.0.4",
                "--package", m_package, "--lost-after", "2", "--json"});
    EXPECT_EQ(run.finish(), 9) << run.both();
    auto linesOf = [&](const std::string& ip) {
        std::string out;
        std::size_t at = 0;
        for (std::size_t end; (end = run.err().find('\n', at)) != std::string::npos; at = end + 1)
            if (run.err().compare(at, ip.size() + 2, ip + ": ") == 0)
                out += run.err().substr(at, end - at + 1);
        return out;
    };
    std::string lost = linesOf("127.0.0.2");
    EXPECT_NE(lost.find("lost during the transfer \u2014 the camera does not answer"),
              std::string::npos) << lost;
    EXPECT_EQ(lost.find("restarting"), std::string::npos) << lost;
    EXPECT_EQ(unheard(*m_cameras[0], "WRITEREG"), 1u) << "the release, once";
    EXPECT_NE(run.out().find("\"exit_code\":9, \"message\":\"lost during the transfer"),
              std::string::npos) << run.out();

    std::string restart = linesOf("127.0.0.3");
    std::size_t warned = restart.find("restarting \u2014 do not power off the camera");
    EXPECT_NE(warned, std::string::npos) << restart;
    EXPECT_EQ(restart.find("restarting", restart.find("back online")), std::string::npos)
        << restart;
    EXPECT_NE(restart.find("upgraded, firmware 1.0.0 \u2192 2.1.0"), std::string::npos);

    EXPECT_NE(run.out().find("\"version_before\":\"1.0.0\", \"version_after\":\"2.1.0\", "
                             "\"verdict\":\"failed\", \"state\":3"),
              std::string::npos) << run.out();
    EXPECT_TRUE(tempFolderEmpty());
}

// A host application loads the library at run time and polls it.
TEST_F(Cli, SharedLibraryLoadedAtRunTime) {
    camera(camsim::instantCamera("127.0.0.2"));
    void* lib = dlopen(CAMUPGRADE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using CamUpgradeFn = int (*)(const char*, const char*, const char*);
    using GetUpdateStatusFn = unsigned int (*)();
    auto camUpgrade = reinterpret_cast<CamUpgradeFn>(dlsym(lib, "CamUpgrade"));
    auto getStatus = reinterpret_cast<GetUpdateStatusFn>(dlsym(lib, "GetUpdateStatus"));
    ASSERT_TRUE(camUpgrade != nullptr && getStatus != nullptr);
    unsigned seen = 0;
    std::thread poller([&] { seen = getStatus(); });
    EXPECT_EQ(camUpgrade("127.0.0.1", "127.0.0.2", m_package.c_str()), 1);
    poller.join();
    EXPECT_LE(seen, 100u);
    EXPECT_EQ(getStatus(), 100u);
    EXPECT_EQ(m_cameras[0]->snapshot().state, 0);
    // Unloaded, the library must leave nothing of its own in the logging
    // library: the process would crash at exit when log4cpp frees it.
    EXPECT_EQ(dlclose(lib), 0);
}

// A line of six cameras with a brake: the first two go alone, the third
// fails, and the rest are never commanded. The run is read back through
// the JSON, the report, the log and the host's history.
TEST_F(Cli, ALineWithACanaryAndABrakeLeavesARecord) {
    std::string list;
    for (int i = 0; i < 6; ++i) {
        camsim::Config c = camsim::instantCamera(cameraIp(i));
        c.forceState = i == 2 ? 2 : -1;
        camera(c);
        list += cameraIp(i) + " - cam" + std::to_string(i) + "\n";
    }
    std::string history = m_dir / "h.sqlite";
    // A plan with one package that cannot be read starts nothing.
    camtest::writeFile(m_dir / "broken.txt", list + "127.0.0.99 missing.zip\n");
    CliRun broken({"--cameras", m_dir / "broken.txt", "--package", m_package, "--history", history});
    EXPECT_EQ(broken.finish(), 2);
    EXPECT_NE(broken.err().find("missing.zip of camera 127.0.0.99: no camera was started"),
              std::string::npos) << broken.err();

    camtest::writeFile(m_dir / "line.txt", list);
    CliRun run({"--cameras", m_dir / "line.txt", "--package", m_package, "--canary", "2",
                "--stop-after", "1", "--parallel", "1", "--json", "--history", history,
                "--report", m_dir / "line.csv", "--log", m_dir / "line.log"});
    EXPECT_EQ(run.finish(), 12) << run.both();
    std::vector<std::string> cams = objects(run.out());
    ASSERT_EQ(cams.size(), 6u) << run.out();
    const char* verdicts[] = {"upgraded", "upgraded", "failed", "not started", "not started",
                              "not started"};
    std::string sha = platform::sha256File(m_package);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(value(cams[i], "verdict"), verdicts[i]) << cams[i];
        EXPECT_EQ(value(cams[i], "package"), m_package);
        EXPECT_EQ(value(cams[i], "package_sha256"), sha);
        EXPECT_EQ(value(cams[i], "canary"), i < 2 ? "true" : "false");
        EXPECT_TRUE(std::regex_match(value(cams[i], "ended"),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
        EXPECT_EQ(m_cameras[i]->snapshot().upgradeCommands, i < 3 ? 1u : 0u) << i;
    }
    EXPECT_EQ(value(cams[0], "downgraded"), "false");
    EXPECT_EQ(value(cams[0], "expected_version"), "null");
    EXPECT_GE(value(cams[2], "started"), value(cams[1], "ended")) << "the canaries went alone";
    EXPECT_NE(run.err().find("1 of 6 cameras failed, 3 not started"), std::string::npos) << run.err();
    EXPECT_NE(run.err().find("brake:"), std::string::npos);

    std::string csv = camtest::readFile(m_dir / "line.csv");
    EXPECT_EQ(lines(csv), 7u) << csv;
    EXPECT_EQ(csv.rfind("camera,name,model,serial,", 0), 0u) << csv;
    // Every log line is stamped; a camera's line names the camera it is about.
    std::string log = camtest::readFile(m_dir / "line.log");
    std::regex stamped(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .*)");
    std::regex request(R"(.*Z (\S+) .*receive file request from ip = (\S+))");
    std::size_t requests = 0;
    for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = log.substr(at, end - at);
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
        std::smatch m;
        if (std::regex_match(line, m, request)) {
            ++requests;
            EXPECT_EQ(m[1], m[2]) << line;
        }
    }
    EXPECT_GE(requests, 3u) << log;

    // The canary fails: the camera after it is never commanded.
    CliRun held({"--camera", cameraIp(2), "--camera", cameraIp(3), "--package", m_package,
                 "--canary", "1", "--history", history});
    EXPECT_EQ(held.finish(), 12) << held.both();
    EXPECT_NE(held.out().find("127.0.0.5: a canary camera did not upgrade"), std::string::npos)
        << held.out();
    EXPECT_EQ(m_cameras[3]->snapshot().upgradeCommands, 0u);

    CliRun all({"history", "--history", history, "--json"});
    EXPECT_EQ(all.finish(), 0) << all.err();
    std::vector<std::string> rows = objects(all.out());
    ASSERT_EQ(rows.size(), 8u) << all.out();
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_GE(value(rows[i - 1], "started"), value(rows[i], "started")) << "newest first";
    EXPECT_EQ(value(rows[0], "camera"), cameraIp(3));
    EXPECT_EQ(value(rows[0], "verdict"), "not started");
    CliRun one({"history", "--history", history, "--camera", cameraIp(2), "--csv"});
    EXPECT_EQ(one.finish(), 0);
    EXPECT_EQ(lines(one.out()), 3u) << one.out();
    CliRun none({"history", "--history", history, "--since", "2100-01-01", "--json"});
    EXPECT_EQ(none.finish(), 0);
    EXPECT_EQ(none.out(), "[]\n");

    CliRun found({"list", "--json"});
    EXPECT_EQ(found.finish(), 0);
    std::vector<std::string> ids = objects(found.out());
    ASSERT_EQ(ids.size(), 6u) << found.out();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(value(ids[i], "ip"), cameraIp(i)) << "sorted by address";
}

// A damaged history is kept aside and a new one started; a second command
// reads the history while an upgrade writes it; bad input stops the command
// before any camera is commanded.
TEST_F(Cli, TheHistoryIsKeptAsideWhenDamagedAndReadDuringAnUpgrade) {
    camera(camsim::instantCamera(cameraIp(0)));
    camera(slowCamera(cameraIp(1)));
    std::string history = m_dir / "h.sqlite";
    const std::string garbage(4096, 'x');
    camtest::writeFile(history, garbage);
    CliRun damaged({"history", "--history", history});
    EXPECT_EQ(damaged.finish(), 2);
    EXPECT_NE(damaged.err().find("is damaged"), std::string::npos) << damaged.err();

    const std::vector<std::vector<std::string>> bad = {
        {"--history", m_dir / "none/h.sqlite"}, {"--history", m_dir.path()},
        {"--canary", "0"}, {"--report", m_dir / "none/r.json"}, {"--stop-after"},
        {"--inactivity", "0"}};
    for (const auto& extra : bad) {
        std::vector<std::string> args = {"--camera", cameraIp(0), "--package", m_package};
        args.insert(args.end(), extra.begin(), extra.end());
        CliRun refused(args);
        EXPECT_EQ(refused.finish(), 2) << extra[0];
        EXPECT_EQ(refused.err().rfind("camupgrade: ", 0), 0u) << refused.err();
    }
    CliRun since({"history", "--history", history, "--since", "2026-02-30"});
    EXPECT_EQ(since.finish(), 2);
    EXPECT_EQ(m_cameras[0]->snapshot().upgradeCommands, 0u);

    CliRun run({"--camera", cameraIp(0), "--camera", cameraIp(1), "--package", m_package,
                "--history", history, "--json"});
    bool readWhileRunning = camtest::waitUntil([&] {
        CliRun reader({"history", "--history", history, "--json"});
        return reader.finish() == 0 && objects(reader.out()).size() == 1 && run.out().empty();
    }, 60000);
    EXPECT_TRUE(readWhileRunning) << run.both();
    EXPECT_EQ(run.finish(), 0) << run.both();
    EXPECT_NE(run.err().find("is damaged"), std::string::npos) << run.err();
    std::vector<std::string> aside;
    for (const auto& e : fs::directory_iterator(m_dir.path()))
        if (e.path().filename().string().rfind("h.sqlite.damaged-", 0) == 0)
            aside.push_back(e.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(camtest::readFile(aside[0]), garbage);
    CliRun after({"history", "--history", history, "--json"});
    EXPECT_EQ(after.finish(), 0);
    EXPECT_EQ(objects(after.out()).size(), 2u) << after.out();
}
