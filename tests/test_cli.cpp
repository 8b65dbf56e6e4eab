// The camupgrade command as a user runs it, against the simulated camera, in
// a network namespace of the test's own.
#include "support/Archives.h"
#include "support/NetNs.h"

#include "camsim/Camera.h"
#include "camsim/Package.h"
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs the command with its standard input an open pipe that nobody writes
// to, as under a supervisor. Optionally as an unprivileged user.
Outcome runCli(const std::vector<std::string>& args, bool unprivileged = false) {
    int out[2], in[2];
    if (pipe(out) != 0 || pipe(in) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(in[1]);
        if (unprivileged && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(120);
        std::vector<char*> argv{const_cast<char*>(CAMUPGRADE_CLI)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(CAMUPGRADE_CLI, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    Outcome o;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        o.output.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(in[1]);
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        CAMTEST_REQUIRE_PRIVATE_NETWORK();
        camtest::writeFile(m_dir / "app.bin", std::string(70000, 'x'));
        camsim::PackageSpec spec;
        spec.images = {m_dir / "app.bin"};
        std::string error;
        ASSERT_TRUE(camsim::makePackage(spec, m_dir / "fw.zip", &error)) << error;
    }
    std::vector<std::string> args(const std::string& camera = "127.0.0.2") {
        return {"--host", "127.0.0.1", "--camera", camera, "--package", m_dir / "fw.zip"};
    }
    camtest::ScratchDir m_dir;
};

}  // namespace

TEST_F(Cli, UpgradesAndSaysSo) {
    camsim::Camera camera(camsim::instantCamera("127.0.0.2"));
    ASSERT_TRUE(camera.start());
    auto a = args();
    a.push_back("--log");
    a.push_back(m_dir / "kept.log");
    Outcome o = runCli(a);
    EXPECT_EQ(o.exitCode, 0) << o.output;
    EXPECT_NE(o.output.find("progress 100%"), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("UPGRADED: the camera reports the upgrade done"), std::string::npos);
    EXPECT_NE(camtest::readFile(m_dir / "kept.log").find("Upgrade success..."), std::string::npos);
}

TEST_F(Cli, ExplainsWhatStoppedIt) {
    Outcome unreachable = runCli(args("127.0.0.9"));
    EXPECT_EQ(unreachable.exitCode, 3) << unreachable.output;
    EXPECT_NE(unreachable.output.find("FAILED: camera not reachable"), std::string::npos);

    Outcome usage = runCli({"--host", "127.0.0.1", "--camera", "nowhere", "--package", "x"});
    EXPECT_EQ(usage.exitCode, 2);

    // Port 69 held by someone else: said plainly, and no wait on stdin.
    platform::socket_t holder = platform::udpSocket();
    sockaddr_in any = platform::makeAddr("0.0.0.0", 69);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    Outcome busy = runCli(args());
    platform::closeSocket(holder);
    EXPECT_EQ(busy.exitCode, 4);
    EXPECT_NE(busy.output.find("already in use"), std::string::npos) << busy.output;

    chmod(m_dir.path().c_str(), 0755);  // the package must be readable to nobody
    Outcome unprivileged = runCli(args(), true);
    EXPECT_EQ(unprivileged.exitCode, 4);
    EXPECT_NE(unprivileged.output.find("CAP_NET_BIND_SERVICE"), std::string::npos)
        << unprivileged.output;
}
