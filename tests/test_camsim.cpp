// The simulated camera seen from outside, where the library's end-to-end
// tests rely on it behaving like a camera: answers that tshark's dissector
// accepts, images fetched from a file server nobody here wrote (tftp-hpa's
// in.tftpd), and the command line. Its knobs are exercised by the library's
// own tests.
#include "camsim/Camera.h"
#include "camsim/Package.h"
#include "camsim/Sha256.h"
#include "camsim/TftpClient.h"
#include "support/NetNs.h"
#include "support/Processes.h"
#include "support/TftpPeer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

using namespace camsim;
using camtest::Bytes;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t READREG = 0x80, WRITEREG = 0x82, READMEM = 0x84, WRITEMEM = 0x86, NO_ACK = 0xFFFF;

Bytes words(std::initializer_list<std::uint32_t> ws) {
    Bytes out;
    for (std::uint32_t w : ws)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(w >> shift));
    return out;
}

// A GVCP application of its own: one request, and the status of its
// acknowledge (pending ones skipped), NO_ACK when none came.
class Probe {
public:
    Probe(const char* camIp, const char* localIp) : m_peer(localIp), m_cam(platform::makeAddr(camIp, 3956)) {}

    std::uint16_t transact(std::uint16_t cmd, const Bytes& payload, Bytes* answer = nullptr, int timeoutMs = 2000) {
        Bytes pkt = {0x42, 1, 0, 0, 0, 0, 0, 0};
        wire::put16(&pkt[2], cmd);
        wire::put16(&pkt[4], static_cast<std::uint16_t>(payload.size()));
        wire::put16(&pkt[6], ++m_id);
        pkt.insert(pkt.end(), payload.begin(), payload.end());
        m_last = pkt;
        return exchange(cmd, answer, timeoutMs);
    }
    // The last request again, same id: what a host sends when the acknowledge was lost.
    std::uint16_t repeat() { return exchange(wire::get16(&m_last[2]), nullptr, 2000); }
    std::uint16_t writeReg(std::uint32_t addr, std::uint32_t value) {
        return transact(WRITEREG, words({addr, value}));
    }

private:
    std::uint16_t exchange(std::uint16_t cmd, Bytes* answer, int timeoutMs) {
        m_peer.send(m_last, m_cam);
        Bytes b;
        while (m_peer.recv(b, nullptr, timeoutMs))
            if (b.size() >= 8 && wire::get16(&b[2]) == cmd + 1 && wire::get16(&b[6]) == m_id) {
                if (answer != nullptr)
                    answer->assign(b.begin() + 8, b.end());
                return wire::get16(&b[0]);
            }
        return NO_ACK;
    }

    camtest::UdpPeer m_peer;
    sockaddr_in m_cam;
    std::uint16_t m_id = 0x1000;
    Bytes m_last;
};

// tftp-hpa's server in the foreground on port 69 of every address, serving a
// folder of its own. (Given an address, it insists on a non-loopback
// interface, which a private namespace does not have.)
class Tftpd {
public:
    explicit Tftpd(const std::vector<std::pair<std::string, Bytes>>& files)
        : m_dir(mkdtemp(&m_tmpl[0])), m_server({"/usr/sbin/in.tftpd", "-L", "-4", "-s", m_tmpl}) {
        fs::permissions(m_dir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        for (const auto& [name, data] : files)
            camtest::writeBytes(m_dir / name, data);
    }
    ~Tftpd() {
        m_server.stop(SIGTERM);
        fs::remove_all(m_dir);
    }
    // Waits until the server answers (an error for a name it has not).
    bool ready() {
        TftpRequest r;
        r.localIp = r.serverIp = "127.0.0.1";
        r.file = "no-such-file";
        r.timeoutMs = 100;
        r.retries = 0;
        for (int i = 0; m_server.started() && i < 50; ++i)
            if (tftpFetch(r, nullptr).outcome == TftpResult::SERVER_ERROR)
                return true;
        return false;
    }

private:
    std::string m_tmpl = "/tmp/camsim-tftpd-XXXXXX";
    fs::path m_dir;
    camtest::ProgramRun m_server;
};

}  // namespace

// A host's start of an upgrade, with a pending acknowledge, an error status,
// a refused second application and a repeated upgrade command on the way, captured for tshark; then the
// images come from in.tftpd and the camera restarts with the new version.
TEST(Camsim, AnswersDissectCleanlyAndImagesComeFromTftpd) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    Bytes app = camtest::fileBytes(64 * 1024 + 7, 3), fpga = camtest::fileBytes(3000, 4);
    InfoFile info;
    info.version = "2.1.0";
    info.images = {{"app.bin", app.size(), Sha256::of(app.data(), app.size())},
                   {"fpga.bit", fpga.size(), Sha256::of(fpga.data(), fpga.size())}};
    std::string text = formatInfo(info);
    Tftpd tftpd({{"gige_ip_core_app_upd.info", Bytes(text.begin(), text.end())}, {"app.bin", app}, {"fpga.bit", fpga}});
    ASSERT_TRUE(tftpd.ready());

    const bool tshark = camtest::onPath("tshark");
    std::unique_ptr<camtest::LoopbackCapture> capture;
    if (tshark) {
        capture = std::make_unique<camtest::LoopbackCapture>("udp port 3956", 200);
        ASSERT_TRUE(capture->started());
    }
    Config c;
    c.ip = "127.0.0.2";
    c.flashMs = c.restartMs = 0;
    c.pendingCommands = {CMD_WRITEMEM};
    c.pendingMs = 1200;
    c.pendingDelayMs = 10;
    Camera cam(c);
    ASSERT_TRUE(cam.start());
    Probe host("127.0.0.2", "127.0.0.1"), other("127.0.0.2", "127.0.0.1");

    Bytes answer;
    EXPECT_EQ(host.transact(READREG, words({0x0000, 0x0938, 0x7E000304}), &answer), 0);
    EXPECT_EQ(answer, words({0x00020000, 3000, 0x2A5}));
    EXPECT_EQ(host.transact(READMEM, words({0x0068, 32}), &answer), 0);
    ASSERT_EQ(answer.size(), 36u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&answer[4]), "CS-GE-1");
    EXPECT_EQ(host.transact(READREG, words({0x00F00000})), 0x8003);  // outside the map
    ASSERT_EQ(host.writeReg(0x0A00, 2), 0);
    EXPECT_EQ(other.writeReg(0x0A00, 2), 0x8006);
    ASSERT_EQ(host.writeReg(0x7E000300, 0), 0);
    Bytes server = words({0xEFFFFFEC});
    server.insert(server.end(), {'1', '2', '7', '.', '0', '.', '0', '.', '1'});
    server.resize(4 + 16, 0);
    ASSERT_EQ(host.transact(WRITEMEM, server), 0);
    ASSERT_EQ(host.writeReg(0xEFFFFFFC, 1), 0);
    EXPECT_EQ(host.repeat(), 0);  // answered again, not run twice (that would be refused)

    if (tshark) {
        capture->stop();
        auto verdict = capture->gvcpVerdict();
        EXPECT_GE(verdict.total, 15);
        EXPECT_EQ(verdict.bad, "");
        for (const char* what : {"READREG_ACK", "READMEM_ACK", "WRITEREG_ACK", "WRITEMEM_ACK", "PENDING_ACK",
                                 "GEV_STATUS_INVALID_ADDRESS", "GEV_STATUS_ACCESS_DENIED"})
            EXPECT_NE(verdict.detail.find(what), std::string::npos) << what;
    }

    EXPECT_TRUE(cam.waitFor([](const Snapshot& s) { return s.restarts == 1 && !s.busy; }, 10000));
    Snapshot s = cam.snapshot();
    EXPECT_EQ(s.state, 0);
    EXPECT_EQ(s.firmwareVersion, "2.1.0");
    ASSERT_EQ(s.files.size(), 2u);
    for (const auto& f : s.files)
        EXPECT_TRUE(f.verified) << f.name;
}

// The command line serves a camera per address until told to stop, and exits cleanly.
TEST(Camsim, CommandLineServesAndStops) {
    camtest::ProgramRun camsim(
        {CAMSIM_BIN, "--ip", "127.0.2.50", "--ip", "127.0.2.51", "--kind", "0", "--kind", "1", "-q"});
    ASSERT_TRUE(camsim.started());
    auto kindOf = [](const char* ip) {
        Probe p(ip, "127.0.2.1");
        Bytes answer;
        for (int i = 0; i < 100 && p.transact(READREG, words({0x7E000304}), &answer, 100) != 0; ++i) {
        }
        return answer.size() == 4 ? wire::get32(answer.data()) : 0u;
    };
    EXPECT_EQ(kindOf("127.0.2.50"), 0x2A5u);
    EXPECT_EQ(kindOf("127.0.2.51"), 0x1A4u);
    EXPECT_EQ(camsim.stop(SIGTERM), 0) << camsim.err();
}
