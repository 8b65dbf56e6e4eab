// The device manager against a GigE Vision device implementation that nobody
// on this team wrote (aravis's fake camera), with the traffic captured and
// checked by tshark's GVCP dissector. Both run in a network namespace of the
// test's own, so port 3956 on 127.0.0.1 is free.
#include "ManagerGigeProto.h"
#include "support/NetNs.h"
#include "upgrade/ByteCodec.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <cstdio>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// A child program, ended by its pid when the object goes.
class Child {
public:
    explicit Child(std::vector<std::string> argv) {
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(&a[0]);
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { stop(SIGTERM); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return m_pid > 0; }
    // Signals the child and reaps it; its exit status, or -1.
    int stop(int signal) {
        if (m_pid <= 0)
            return -1;
        ::kill(m_pid, signal);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
};

bool onPath(const char* program) {
    std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// True once something answers a READREG on 127.0.0.1:3956.
bool deviceAnswers(int timeoutMs) {
    platform::socket_t s = platform::udpSocket();
    sockaddr_in to = platform::makeAddr("127.0.0.1", 3956);
    std::uint8_t probe[12] = {0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00};
    bool ok = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ok && std::chrono::steady_clock::now() < until) {
        platform::sendDatagram(s, probe, sizeof probe, to);
        if (platform::waitReadable(s, 100000) == platform::WAIT_READABLE) {
            char buf[64];
            ok = platform::recvDatagram(s, buf, sizeof buf, nullptr) >= 8;
        }
    }
    platform::closeSocket(s);
    return ok;
}

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    ::pclose(p);
    return out;
}

}  // namespace

TEST(GvcpInterop, ControlAgainstAForeignDeviceDissectsCleanly) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    if (!onPath("arv-fake-gv-camera-0.8") || !onPath("tshark"))
        GTEST_SKIP() << "needs arv-fake-gv-camera-0.8 (aravis-tools) and tshark";

    const std::string capture =
        (std::filesystem::temp_directory_path() / ("gvcp-interop-" + std::to_string(::getpid()) + ".pcapng"))
            .string();
    std::filesystem::remove(capture);
    // Only the first packets are kept: the heartbeat sends thousands a second.
    Child tshark({"tshark", "-q", "-i", "lo", "-f", "udp port 3956", "-c", "2000", "-w", capture});
    ASSERT_TRUE(tshark.started());
    // tshark writes the file header once it captures.
    auto capturing = [&] {
        std::error_code ec;
        auto size = std::filesystem::file_size(capture, ec);
        return !ec && size > 0;
    };
    for (int i = 0; i < 100 && !capturing(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(capturing());

    Child device({"arv-fake-gv-camera-0.8", "-i", "127.0.0.1"});
    ASSERT_TRUE(device.started());
    ASSERT_TRUE(deviceAnswers(5000));

    {
        managerGige manager;
        ASSERT_TRUE(manager.connect("127.0.0.1"));
        std::uint32_t four = 4;
        std::uint64_t value = 0;
        // Heartbeat timeout: what connect wrote comes back.
        ASSERT_TRUE(manager.readReg(managerGige::REG_HEARTBEAT_TIMEOUT, &value, &four));
        EXPECT_EQ(ntohl(static_cast<std::uint32_t>(value)), 3000u);

        char name[33] = {0};
        std::uint32_t count = 32;
        ASSERT_TRUE(manager.readMemory(0x0048, name, &count));
        ASSERT_GT(std::strlen(name), 0u);
        for (const char* c = name; *c != '\0'; ++c)
            EXPECT_TRUE(std::isprint(static_cast<unsigned char>(*c))) << name;

        // Longer than the heartbeat timeout: control survives only through
        // the heartbeat's reads, and the device drops a release from a host
        // that lost control without answering.
        for (int i = 0; i < 40; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ASSERT_TRUE(manager.isConnected());
        }
        ASSERT_TRUE(manager.readReg(managerGige::REG_CCP, &value, &four));
        EXPECT_NE(ntohl(static_cast<std::uint32_t>(value)) & 0x3u, 0u);
        EXPECT_TRUE(manager.disconnect());
    }
    device.stop(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    tshark.stop(SIGINT);

    const std::string read = "tshark -n -r " + capture;
    std::string total = run(read + " 2>/dev/null | wc -l");
    // Counted both ways, so a filter tshark refuses cannot pass as "no bad packet".
    std::string clean = run(
        read + " -Y 'gvcp && !(_ws.malformed || _ws.expert.severity >= error)' 2>/dev/null | wc -l");
    std::string bad =
        run(read + " -Y '!gvcp || _ws.malformed || _ws.expert.severity >= error' 2>/dev/null");
    std::filesystem::remove(capture);
    EXPECT_GT(std::stoi(total), 10);
    EXPECT_EQ(std::stoi(clean), std::stoi(total)) << bad;
}
