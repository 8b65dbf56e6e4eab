// The camupgrade command as a plant engineer runs it, against simulated
// cameras in a network namespace of the test's own; and the shared library
// as a host application loads it.
#include "Output.h"
#include "Workspace.h"
#include "support/CamsimTest.h"
#include "support/Processes.h"
#include "support/Wait.h"

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

// A command line refused before any camera is commanded: exit 2, and a
// sentence that says `says`.
void expectRefused(const std::vector<std::string>& args, const std::string& says) {
    CliRun run(args);
    EXPECT_EQ(run.finish(), 2) << run.both();
    EXPECT_NE(run.both().find(says), std::string::npos) << args.back() << ": " << run.both();
}

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

class Cli : public camtest::CamsimTest {
protected:
    void SetUp() override {
        CamsimTest::SetUp();
        m_package = package(70000);
    }
    // The command removes its own unpack folder, Quarnel.tmp included.
    bool tempFolderEmpty() const { return fs::is_empty(m_tmp.path()); }

    std::string m_package;
};

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
std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
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
    expectRefused({"--camera", "127.0.0.2", "--package", m_dir / "broken.zip"}, "cannot be unpacked");
    expectRefused({"--camera", "127.0.0.2", "--package", m_package, "--host", "10.9.9.9"},
                  "10.9.9.9 is not an address of this machine");
    expectRefused({"--camera", "127.0.0.2", "--package", m_package, "--log", "/nonexistent/x.log"},
                  "cannot write the log file /nonexistent/x.log");
    // The package is told before a camera that does not answer: it costs no camera.
    expectRefused({"--camera", "127.0.0.9", "--package", m_dir / "broken.zip"}, "cannot be unpacked");
    if (smallFs) {
        setenv("TMPDIR", small.c_str(), 1);
        CliRun full({"--camera", "127.0.0.2", "--package", m_package});
        EXPECT_EQ(full.finish(), 2);
        EXPECT_NE(full.both().find("does not fit into the temporary folder " + small),
                  std::string::npos) << full.both();
        setenv("TMPDIR", m_tmp.path().c_str(), 1);
        umount2(small.c_str(), MNT_DETACH);
    }
    EXPECT_EQ(cam.snapshot().upgradeCommands, 0u);
    EXPECT_EQ(cam.snapshot().controller, "");
    EXPECT_TRUE(tempFolderEmpty());
}

// One run over cameras that each end another way: every camera's own exit
// code is in the JSON, the run's is the first failure's in the list.
TEST_F(Cli, EachCameraEndsWithItsOwnExitCode) {
    const int failed[] = {1, 2, 3, 6, 7, 11, 13};  // every state that ends a session as failed
    // Longer than the paced heartbeat needs to see a camera gone.
    std::vector<std::string> args{"--package", m_package, "--inactivity", "6", "--json"};
    for (int i = 0; i < 10; ++i) {
        camsim::Config c = camsim::instantCamera(cameraIp(i));
        c.forceState = i < 7 ? failed[i] : -1;
        c.refuseControl = i == 7;
        c.neverReturn = i == 8;  // gone for good after its restart
        c.eventLevel = i == 8 ? 2 : 0;
        c.restartMs = 100;
        if (i != 9)  // nobody answers there
            camera(c);
        args.insert(args.end(), {"--camera", cameraIp(i)});
    }
    CliRun run(args);
    EXPECT_EQ(run.finish(), 11) << run.both();
    std::vector<std::string> cams = objects(run.out());
    ASSERT_EQ(cams.size(), 10u) << run.out();
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(value(cams[i], "exit_code"), std::to_string(10 + failed[i])) << cams[i];
    EXPECT_EQ(value(cams[7], "exit_code"), "3");
    EXPECT_NE(value(cams[7], "message").find("refused control (another application holds it)"),
              std::string::npos) << cams[7];
    EXPECT_EQ(value(cams[8], "exit_code"), "18") << cams[8];
    // A camera gone for good gets one short release and no identity read.
    EXPECT_EQ(unheard(*m_cameras[8], "WRITEREG"), 1u);
    EXPECT_EQ(unheard(*m_cameras[8], "READMEM"), 0u);
    EXPECT_EQ(value(cams[9], "exit_code"), "3");
    EXPECT_NE(value(cams[9], "message").find("does not answer"), std::string::npos) << cams[9];
    m_cameras.clear();

    // Port 69: another upgrade on this host, then another program.
    camera(camsim::instantCamera("127.0.0.2"));
    {
        cli::PortLock held;
        ASSERT_TRUE(held.acquire(nullptr));
        CliRun locked({"--camera", "127.0.0.2", "--package", m_package});
        EXPECT_EQ(locked.finish(), 4);
        EXPECT_NE(locked.out().find("another upgrade on this host holds port 69"), std::string::npos)
            << locked.both();
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

// The command's paced heartbeat against two restarts: one longer than the
// heartbeat needs to see it, one so short that only its released control
// shows.
TEST_F(Cli, PacedHeartbeatFollowsRestartsAndSparesTheCameras) {
    for (int i = 0; i < 2; ++i) {
        camsim::Config c = camsim::instantCamera(cameraIp(i));
        c.eventLevel = 1;
        c.flashMs = 300;
        c.restartMs = i == 0 ? 5000 : 400;
        camera(c);
    }
    auto start = std::chrono::steady_clock::now();
    CliRun run({"--camera", cameraIp(0), "--camera", cameraIp(1), "--package", m_package, "--json"});
    EXPECT_EQ(run.finish(), 0) << run.both();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(occurrences(run.out(), "\"verdict\":\"upgraded\""), 2u) << run.out();
    EXPECT_NE(run.err().find(cameraIp(0) + ": restarting"), std::string::npos) << run.err();
    for (const auto& cam : m_cameras) {
        camsim::Snapshot s = cam->snapshot();
        EXPECT_EQ(s.restarts, 1u);
        EXPECT_EQ(s.controller, "");
        // Control never lost to a heartbeat that came too late.
        for (const camsim::Event& e : cam->events())
            EXPECT_EQ(e.text.find("control lost"), std::string::npos) << e.text;
        // Back to back the heartbeat sends tens of thousands a second.
        EXPECT_LT(s.requests / seconds, 20.0) << s.requests << " requests in " << seconds << " s";
    }
    EXPECT_TRUE(tempFolderEmpty());
}

// Ctrl-C with one camera in its transfer and one flashing: the transfer
// stops at once and its camera is released; the flashing one flashes on,
// `info` shows it busy, and a new upgrade is refused before it is commanded.
TEST_F(Cli, CtrlCStopsATransferAndLeavesAFlashingCameraBusy) {
    camsim::Config slow = camsim::instantCamera("127.0.0.2");
    slow.dataLoss = 0.6;  // a transfer slow enough to interrupt
    slow.tftpTimeoutMs = 100;
    slow.tftpRetries = 1000;
    camsim::Camera& transferring = camera(slow);
    camsim::Config c = camsim::instantCamera("127.0.0.3");
    c.flashMs = 30000;
    camsim::Camera& flashing = camera(c);
    package(4 << 20, "big.zip");
    camtest::writeFile(m_dir / "two.txt", "127.0.0.2 big.zip\n127.0.0.3\n");
    CliRun run({"--cameras", m_dir / "two.txt", "--package", m_package, "--log", m_dir / "run.log"});
    ASSERT_TRUE(run.waitForOutput("127.0.0.3: flashing", 20000)) << run.both();
    ASSERT_TRUE(run.waitForOutput("127.0.0.2: transfer", 20000)) << run.both();
    auto cancelled = std::chrono::steady_clock::now();
    run.signal(SIGINT);
    ASSERT_TRUE(run.waitForOutput("cancelling", 3000)) << run.both();
    EXPECT_EQ(run.finish(), 130) << run.both();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(3));
    EXPECT_NE(run.both().find("transfer stopped"), std::string::npos) << run.both();
    EXPECT_EQ(occurrences(run.out(), "  cancelled  "), 2u) << run.out();
    EXPECT_NE(run.both().find("127.0.0.3: may be writing its flash"), std::string::npos);
    EXPECT_TRUE(camtest::waitUntil([&] { return transferring.snapshot().controller.empty(); }, 3000));
    EXPECT_NE(camtest::readFile(m_dir / "run.log").find("receive file request"), std::string::npos);

    CliRun info({"info", "127.0.0.3"});
    EXPECT_EQ(info.finish(), 0);
    EXPECT_NE(info.out().find("busy \u2014 do not power off: upgrading, "), std::string::npos)
        << info.out();
    CliRun json({"info", "--camera", "127.0.0.3", "--json"});
    EXPECT_EQ(json.finish(), 0);
    EXPECT_NE(json.out().find("\"busy\":true, \"state\":4"), std::string::npos) << json.out();
    CliRun again({"--camera", "127.0.0.3", "--package", m_package});
    EXPECT_EQ(again.finish(), 7) << again.both();
    EXPECT_NE(again.out().find("REFUSED: the camera is busy with an earlier upgrade"),
              std::string::npos) << again.out();
    EXPECT_EQ(flashing.snapshot().upgradeCommands, 1u);
    EXPECT_TRUE(tempFolderEmpty());
}

TEST_F(Cli, EightCamerasOfMixedKindsWithOneFailure) {
    std::string k1 = package(50000, "fw-k1.zip", 1);
    std::string list = "# line 1\n\n";
    for (int i = 0; i < 8; ++i) {
        camsim::Config c = camsim::instantCamera(cameraIp(i));
        c.kind = i % 2;
        c.forceState = i == 5 ? 2 : -1;  // this one rejects its image
        camera(c);
        // Packages beside the file or absolute, names trimmed, comments, CRLF.
        std::string pkg = i % 2 == 0 ? "-" : i == 1 ? k1 : "fw-k1.zip";
        list += "  " + cameraIp(i) + " " + pkg + "  cam" + std::to_string(i) + (i % 2 ? "\r\n" : " # door\n");
    }
    camtest::writeFile(m_dir / "line.txt", list);

    CliRun run({"--cameras", m_dir / "line.txt", "--package", m_package, "--json"});
    EXPECT_EQ(run.finish(), 12) << run.both();
    std::size_t at = 0;
    for (int i = 0; i < 8; ++i) {  // in the file's order, whatever order they finished in
        at = run.out().find("{\"camera\":\"" + cameraIp(i) + "\", \"name\":\"cam" +
                                std::to_string(i) + "\"", at);
        ASSERT_NE(at, std::string::npos) << i << run.out();
    }
    EXPECT_EQ(occurrences(run.out(), "\"verdict\":\"upgraded\""), 7u);
    EXPECT_EQ(occurrences(run.out(), "\"exit_code\":12"), 1u);
    EXPECT_NE(run.err().find("1 of 8 cameras failed"), std::string::npos) << run.err();
    EXPECT_NE(run.err().find("1.0.0 \u2192 2.1.0"), std::string::npos);

    // Again on a narrow terminal: the block of camera lines is redrawn in
    // place and no line of it wraps.
    std::string screen = runOnTerminal({"--cameras", m_dir / "line.txt", "--package", m_package}, 60);
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

    // A mistake in the file is told by its line before any camera is commanded.
    for (const char* bad : {"127.0.0.2\n\nfw.zip 127.0.0.3\n", "127.0.0.2\n# c\n127.0.0.2 x.zip\n"}) {
        camtest::writeFile(m_dir / "bad.txt", bad);
        CliRun refused({"--cameras", m_dir / "bad.txt", "--package", m_package});
        EXPECT_EQ(refused.finish(), 2);
        EXPECT_NE(refused.err().find("bad.txt, line 3: "), std::string::npos) << refused.err();
    }
    EXPECT_EQ(m_cameras[0]->snapshot().upgradeCommands, 2u);
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
    EXPECT_EQ(occurrences(run.out(), "\"verdict\":\"cancelled\""), 4u) << run.out();
    EXPECT_EQ(run.out().find("\"exit_code\":130"), std::string::npos) << run.out();
    EXPECT_NE(run.err().find("do not power it off"), std::string::npos) << run.err();
    for (auto& cam : m_cameras)
        EXPECT_TRUE(camtest::waitUntil([&] { return cam->snapshot().controller.empty(); }, 3000));
    EXPECT_TRUE(tempFolderEmpty());
}

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
    std::string old = package(70000, "fw-0.9.0.zip", 0, "0.9.0");
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
    const std::vector<std::string> cam3{"--camera", "127.0.0.3", "--package", old};
    auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    expectRefused(with(cam3, {"--expect-version", "2.x"}), "not a version of dotted numbers");
    expectRefused(with(cam3, {"--sha256", "abc"}), "64 hexadecimal digits");
    expectRefused(with(cam3, {"--sha256", std::string(64, 'a')}), "not the expected aaaa");
    expectRefused(with(cam3, {"--reinstall"}), "--reinstall goes with --expect-version");
    expectRefused(with(cam3, {"--dry-run", "--allow-older"}), "--allow-older goes with");
    expectRefused(with(cam3, {"--force"}), "--force is gone");
    expectRefused({"--all", "--model", "CS-GE-1", "--package", old}, "--all off a terminal needs --yes");
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
    EXPECT_EQ(camUpgrade("127.0.0.1", "127.0.0.2", m_package.c_str()), 1);
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
        // One name with what a JSON string must escape or mend.
        list += cameraIp(i) + " - cam" + std::to_string(i) +
                (i == 5 ? " \"q\" \\ \x01 \xC3\xA9 \x80 \xE2\x86 \xC0\xAF\n" : "\n");
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
    EXPECT_NE(cams[5].find("\"name\":\"cam5 \\\"q\\\" \\\\ \\u0001 \xC3\xA9 \\ufffd \\ufffd\\ufffd "
                           "\\ufffd\\ufffd\""), std::string::npos) << cams[5];
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
    camsim::Config flashing = camsim::instantCamera(cameraIp(1));
    flashing.flashMs = 3000;  // long enough to read the first camera's record meanwhile
    camera(flashing);
    std::string history = m_dir / "h.sqlite";
    const std::string garbage(4096, 'x');
    camtest::writeFile(history, garbage);
    CliRun damaged({"history", "--history", history});
    EXPECT_EQ(damaged.finish(), 2);
    EXPECT_NE(damaged.err().find("is damaged"), std::string::npos) << damaged.err();

    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--history", m_dir / "none/h.sqlite"}, {"--history", m_dir.path()},
          {"--canary", "0"}, {"--report", m_dir / "none/r.json"}, {"--stop-after"}, {"--inactivity", "0"}}) {
        std::vector<std::string> args = {"--camera", cameraIp(0), "--package", m_package};
        args.insert(args.end(), extra.begin(), extra.end());
        expectRefused(args, "camupgrade: ");
    }
    expectRefused({"history", "--history", history, "--since", "2026-02-30"}, "2026-02-30");
    expectRefused({"info", cameraIp(0), cameraIp(1)}, "--camera takes one value here");
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
