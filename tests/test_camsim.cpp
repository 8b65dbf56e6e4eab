// The simulated camera from the outside: a raw GVCP client on loopback, which
// sees every acknowledge as sent, and tftp-hpa's in.tftpd as a file server
// nobody here wrote. Whole upgrades through the library are in test_job.
#include "camsim/Camera.h"
#include "camsim/Package.h"
#include "camsim/Sha256.h"
#include "camsim/TftpClient.h"
#include "support/Archives.h"
#include "support/NetNs.h"
#include "support/Processes.h"
#include "support/TftpPeer.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sys/wait.h>

using namespace camsim;
using camtest::Bytes;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t READREG = 0x80, WRITEREG = 0x82, READMEM = 0x84, WRITEMEM = 0x86;
constexpr std::uint16_t PENDING = 0x89, NO_ACK = 0xFFFF;

struct Ack {
    std::uint16_t status = NO_ACK, code = 0, id = 0;
    Bytes payload;
};

Bytes words(std::initializer_list<std::uint32_t> ws) {
    Bytes out;
    for (std::uint32_t w : ws)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(w >> shift));
    return out;
}

// An address field of WRITEMEM: the text zero-padded to 16 bytes.
Bytes textAt(std::uint32_t address, const std::string& text) {
    Bytes out = words({address});
    out.insert(out.end(), text.begin(), text.end());
    out.resize(4 + 16, 0);
    return out;
}

// A GVCP application with request ids of its own.
class Probe {
public:
    explicit Probe(const std::string& camIp, const char* localIp = "127.0.2.1")
        : m_peer(localIp), m_cam(platform::makeAddr(camIp.c_str(), 3956)) {}

    std::uint16_t send(std::uint16_t cmd, const Bytes& payload, std::uint8_t flags = 1) {
        Bytes pkt = {0x42, flags, 0, 0, 0, 0, 0, 0};
        wire::put16(&pkt[2], cmd);
        wire::put16(&pkt[4], static_cast<std::uint16_t>(payload.size()));
        wire::put16(&pkt[6], ++m_id);
        pkt.insert(pkt.end(), payload.begin(), payload.end());
        m_peer.send(pkt, m_cam);
        return m_id;
    }
    // Every acknowledge that arrives within the time, up to max.
    std::vector<Ack> receive(int timeoutMs, std::size_t max = 100) {
        std::vector<Ack> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        Bytes b;
        while (out.size() < max) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !m_peer.recv(b, nullptr, static_cast<int>(left.count())))
                break;
            if (b.size() < 8)
                continue;
            Ack a{wire::get16(&b[0]), wire::get16(&b[2]), wire::get16(&b[6]), Bytes(b.begin() + 8, b.end())};
            EXPECT_EQ(wire::get16(&b[4]), a.payload.size()) << "length field of an acknowledge";
            out.push_back(a);
        }
        return out;
    }
    // The acknowledge of one request, pending ones skipped; status NO_ACK when none came.
    Ack transact(std::uint16_t cmd, const Bytes& payload, int timeoutMs = 300) {
        std::uint16_t id = send(cmd, payload);
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end)
            for (const Ack& a : receive(10, 1))
                if (a.id == id && a.code == cmd + 1)
                    return a;
        return Ack{};
    }
    std::uint16_t readReg(std::uint32_t addr, std::uint32_t* value, int timeoutMs = 300) {
        Ack a = transact(READREG, words({addr}), timeoutMs);
        if (a.status == 0 && a.payload.size() == 4)
            *value = wire::get32(a.payload.data());
        return a.status;
    }
    std::uint16_t writeReg(std::uint32_t addr, std::uint32_t value) {
        return transact(WRITEREG, words({addr, value})).status;
    }
    // What a host does to start an upgrade.
    void startUpgrade(const std::string& server) {
        ASSERT_EQ(writeReg(0x0A00, 2), 0);
        ASSERT_EQ(writeReg(0x7E000300, 0), 0);
        ASSERT_EQ(transact(WRITEMEM, textAt(0xEFFFFFEC, server)).status, 0);
        ASSERT_EQ(writeReg(0xEFFFFFFC, 1), 0);
    }

private:
    camtest::UdpPeer m_peer;
    sockaddr_in m_cam;
    std::uint16_t m_id = 0x1000;
};

Config quickConfig(const std::string& ip) {
    Config c;
    c.ip = ip;
    c.flashMs = 0;
    c.restartMs = 0;
    c.seed = 7;
    return c;
}

std::string infoFor(int kind, const std::string& version, const std::map<std::string, Bytes>& images) {
    InfoFile info;
    info.kind = kind;
    info.version = version;
    for (const auto& [name, data] : images)
        info.images.push_back({name, data.size(), Sha256::of(data.data(), data.size())});
    return formatInfo(info);
}

// tftp-hpa's server in the foreground on port 69 of every address, serving a
// folder of its own. (Given an address, it insists on a non-loopback
// interface, which a private namespace does not have.)
class Tftpd {
public:
    explicit Tftpd(const std::map<std::string, Bytes>& files) : m_dir(mkdtemp(&m_tmpl[0])), m_server(args()) {
        fs::permissions(m_dir, fs::perms::others_read | fs::perms::others_exec | fs::perms::group_read |
                                   fs::perms::group_exec, fs::perm_options::add);
        for (const auto& [name, data] : files)
            camtest::writeBytes(m_dir / name, data);
    }
    ~Tftpd() {
        m_server.stop(SIGTERM);
        fs::remove_all(m_dir);
    }
    // Waits until the server answers (an error for a name it has not).
    bool ready() {
        for (int i = 0; m_server.started() && i < 50; ++i) {
            TftpRequest r;
            r.localIp = r.serverIp = "127.0.0.1";
            r.file = "no-such-file";
            r.timeoutMs = 100;
            r.retries = 0;
            r.maxBytes = 1024;
            if (tftpFetch(r, nullptr).outcome == TftpResult::SERVER_ERROR)
                return true;
        }
        return false;
    }

private:
    std::vector<std::string> args() const { return {"/usr/sbin/in.tftpd", "-L", "-4", "-s", m_tmpl}; }
    std::string m_tmpl = "/tmp/camsim-tftpd-XXXXXX";
    fs::path m_dir;
    camtest::ChildProcess m_server;
};

bool waitState(Camera& cam, int state, int timeoutMs) {
    return cam.waitFor([state](const Snapshot& s) { return !s.busy && s.state == state; }, timeoutMs);
}

// Names and contents of an archive's entries.
std::map<std::string, Bytes> readArchive(const Bytes& data) {
    std::map<std::string, Bytes> out;
    archive* a = archive_read_new();
    archive_read_support_format_all(a);
    archive_read_support_filter_all(a);
    archive_entry* e;
    if (archive_read_open_memory(a, data.data(), data.size()) == ARCHIVE_OK)
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            Bytes& bytes = out[archive_entry_pathname(e)];
            bytes.resize(static_cast<std::size_t>(archive_entry_size(e)));
            archive_read_data(a, bytes.data(), bytes.size());
        }
    archive_read_free(a);
    return out;
}

}  // namespace

TEST(CamsimGvcp, RegisterMapAndAccessRules) {
    Camera cam(quickConfig("127.0.2.10"));
    ASSERT_TRUE(cam.start());
    Probe host("127.0.2.10"), other("127.0.2.10");

    // Several registers in one READREG come back in order.
    Ack a = host.transact(READREG, words({0x0000, 0x0004, 0x0938, 0x7E000304, 0xEFFFFFE8}));
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.payload, words({0x00020000, 0x80000001, 3000, 0x2A5, 5}));
    a = host.transact(READMEM, words({0x0068, 32}));
    ASSERT_EQ(a.payload.size(), 36u);
    EXPECT_EQ(wire::get32(a.payload.data()), 0x0068u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&a.payload[4]), "CS-GE-1");

    std::uint32_t v = 0;
    EXPECT_EQ(host.readReg(0x00F00000, &v), 0x8003);              // outside the map
    EXPECT_EQ(host.transact(0x0040, {}).status, 0x8001);          // a command it does not know
    EXPECT_EQ(host.transact(READREG, {0, 0, 0}).status, 0x8002);  // not a whole register

    // Control: the second application is refused and cannot write, may read.
    EXPECT_EQ(host.writeReg(0x0A00, 2), 0);
    EXPECT_EQ(other.writeReg(0x0A00, 2), 0x8006);
    EXPECT_EQ(other.transact(WRITEMEM, textAt(0xEFFFFFEC, "127.0.2.1")).status, 0x8006);
    EXPECT_EQ(other.readReg(0x0A00, &v), 0);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(host.transact(WRITEMEM, textAt(0xEFFFFFEC, "127.0.2.1")).status, 0);
    EXPECT_EQ(cam.snapshot().fileServer, "127.0.2.1");
    EXPECT_EQ(cam.snapshot().controller.rfind("127.0.2.1:", 0), 0u);

    // Without the acknowledge flag the camera acts but stays silent.
    host.send(WRITEREG, words({0x0A00, 0}), 0);
    EXPECT_TRUE(host.receive(150).empty());
    EXPECT_FALSE(cam.snapshot().controlled);
    EXPECT_EQ(other.writeReg(0x0A00, 2), 0);
}

TEST(CamsimGvcp, ControlDropsWhenTheControllerFallsSilent) {
    Camera cam(quickConfig("127.0.2.11"));
    ASSERT_TRUE(cam.start());
    Probe host("127.0.2.11"), other("127.0.2.11");
    ASSERT_EQ(host.writeReg(0x0A00, 2), 0);
    ASSERT_EQ(host.writeReg(0x0938, 200), 0);
    std::uint32_t v = 0;
    // Traffic of the controller keeps control well past one timeout...
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(host.readReg(0x0A00, &v), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(other.writeReg(0x0A00, 2), 0x8006);
    // ...and silence loses it, even without anybody else asking.
    EXPECT_TRUE(cam.waitFor([](const Snapshot& s) { return !s.controlled; }, 2000));
    EXPECT_EQ(other.writeReg(0x0A00, 2), 0);
    bool logged = false;
    for (const auto& e : cam.events())
        logged |= e.kind == EventKind::Control && e.text.find("control lost") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST(CamsimGvcp, AnswersDissectCleanlyInTshark) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    if (!camtest::onPath("tshark"))
        GTEST_SKIP() << "tshark is not installed";
    camtest::LoopbackCapture capture("udp port 3956", 200);
    ASSERT_TRUE(capture.started());
    Config c = quickConfig("127.0.0.2");
    c.pendingCommands = {CMD_WRITEMEM};
    c.pendingMs = 1200;
    c.pendingDelayMs = 10;
    Camera cam(c);
    ASSERT_TRUE(cam.start());
    Probe host("127.0.0.2", "127.0.0.1"), other("127.0.0.2", "127.0.0.1");
    host.transact(READREG, words({0x0000, 0x0A00, 0x0938, 0xEFFFFFE8}));
    host.transact(READMEM, words({0x0048, 32}));
    host.writeReg(0x0A00, 2);
    host.transact(WRITEMEM, textAt(0xEFFFFFEC, "127.0.0.1"));  // pending, then the acknowledge
    std::uint32_t v;
    host.readReg(0x00F00000, &v);  // error status
    other.writeReg(0x0A00, 2);     // access denied
    capture.stop();

    auto verdict = capture.gvcpVerdict();
    EXPECT_GE(verdict.total, 13);
    EXPECT_EQ(verdict.bad, "");
    for (const char* what : {"READREG_ACK", "READMEM_ACK", "WRITEREG_ACK", "WRITEMEM_ACK", "PENDING_ACK",
                             "GEV_STATUS_INVALID_ADDRESS", "GEV_STATUS_ACCESS_DENIED"})
        EXPECT_NE(verdict.detail.find(what), std::string::npos) << what;
}

TEST(CamsimFaults, ControlChannelKnobs) {
    std::vector<Config> configs(6);
    for (int i = 0; i < 6; ++i)
        configs[i] = quickConfig("127.0.2." + std::to_string(20 + i));
    configs[0].gvcpLoss = 1.0;
    configs[1].replyLatencyMs = 150;
    configs[2].pendingCommands = {CMD_WRITEREG};
    configs[2].pendingMs = 900;
    configs[2].pendingDelayMs = 50;
    configs[3].ackFault = AckFault::STALE;
    configs[4].ackFault = AckFault::DUPLICATE;
    configs[5].refuseControl = true;
    std::vector<std::unique_ptr<Camera>> cams;
    for (const Config& c : configs) {
        cams.push_back(std::make_unique<Camera>(c));
        ASSERT_TRUE(cams.back()->start());
    }
    std::uint32_t v = 0;

    Probe lossy("127.0.2.20");
    EXPECT_EQ(lossy.readReg(0x0000, &v, 200), NO_ACK);
    EXPECT_EQ(cams[0]->snapshot().droppedRequests, 1u);

    Probe slow("127.0.2.21");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.readReg(0x0000, &v, 1000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));

    Probe pending("127.0.2.22");
    std::uint16_t id = pending.send(WRITEREG, words({0x0A00, 2}));
    auto acks = pending.receive(500, 2);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].code, PENDING);
    EXPECT_EQ(acks[0].id, id);
    EXPECT_EQ(acks[0].payload, words({900}));
    EXPECT_EQ(acks[1].code, WRITEREG + 1);
    EXPECT_EQ(pending.readReg(0x0A00, &v), 0);  // reads are not chosen: no pending
    EXPECT_EQ(pending.receive(100).size(), 0u);

    Probe stale("127.0.2.23");
    std::uint16_t first = stale.send(READREG, words({0x0000}));
    EXPECT_EQ(stale.receive(300, 1).at(0).id, first);
    std::uint16_t second = stale.send(READREG, words({0x0004}));
    acks = stale.receive(300, 2);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].id, first);  // the stale one comes first
    EXPECT_EQ(acks[1].id, second);

    Probe dup("127.0.2.24");
    id = dup.send(READREG, words({0x0000}));
    acks = dup.receive(300, 3);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].id, id);
    EXPECT_EQ(acks[1].id, id);

    Probe refused("127.0.2.25");
    EXPECT_EQ(refused.writeReg(0x0A00, 2), 0x8006);
    EXPECT_FALSE(cams[5]->snapshot().controlled);
}

// The whole upgrade fetched from in.tftpd on the real port 69, watched
// through GVCP as a host would.
TEST(CamsimUpgrade, WholeUpgradeFromTftpd) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    Bytes app = camtest::fileBytes(64 * 1024 + 7, 3), fpga = camtest::fileBytes(3000, 4);
    std::string info = infoFor(0, "2.1.0", {{"app.bin", app}, {"fpga.bit", fpga}});
    Tftpd tftpd({{"gige_ip_core_app_upd.info", Bytes(info.begin(), info.end())}, {"app.bin", app}, {"fpga.bit", fpga}});
    ASSERT_TRUE(tftpd.ready());

    Config c = quickConfig("127.0.0.2");
    c.flashMs = 400;
    c.restartMs = 400;
    Camera cam(c);
    ASSERT_TRUE(cam.start());
    Probe host("127.0.0.2", "127.0.0.1");
    host.startUpgrade("127.0.0.1");

    // Poll like a host: working with rising percent, silence, then the verdict
    // with control released.
    std::vector<std::uint32_t> seen;
    bool silent = false;
    std::uint32_t ccp = 1;
    for (int i = 0; i < 1500; ++i) {  // 15 s at most
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::uint32_t v = 0;
        if (host.readReg(0xEFFFFFE8, &v, 50) != 0) {
            silent = true;
            continue;
        }
        if (seen.empty() || seen.back() != v)
            seen.push_back(v);
        if ((v & 0xFF) != 4 && silent) {
            host.readReg(0x0A00, &ccp);
            break;
        }
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(silent);
    EXPECT_EQ(ccp, 0u);
    EXPECT_EQ(seen.back(), 0x6400u);
    unsigned lastPercent = 0, working = 0;
    for (std::size_t i = 0; i + 1 < seen.size(); ++i) {
        EXPECT_EQ(seen[i] & 0xFF, 4u) << std::hex << seen[i];
        EXPECT_GE(seen[i] >> 8, lastPercent);
        lastPercent = seen[i] >> 8;
        working += lastPercent > 0 && lastPercent < 100;
    }
    EXPECT_GT(working, 1u);

    Snapshot s = cam.snapshot();
    EXPECT_EQ(s.firmwareVersion, "2.1.0");
    EXPECT_EQ(s.upgradeCommands, 1u);
    ASSERT_EQ(s.files.size(), 2u);
    for (const auto& f : s.files)
        EXPECT_TRUE(f.verified) << f.name;
    // The camera's own record agrees with what the host saw.
    ASSERT_FALSE(s.stateHistory.empty());
    EXPECT_EQ(s.stateHistory.back(), 0x6400);
}

// The knobs that bend the verdict or the end of an upgrade, side by side
// against one in.tftpd. (Digest, kind and size verdicts: test_job.)
TEST(CamsimUpgrade, VerdictsAndEndingKnobs) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    Bytes app = camtest::fileBytes(2000, 6);
    std::string good = infoFor(0, "2.0.0", {{"app.bin", app}});
    Tftpd tftpd({{"gige_ip_core_app_upd.info", Bytes(good.begin(), good.end())}, {"app.bin", app}});
    ASSERT_TRUE(tftpd.ready());

    struct Case {
        const char* what;
        Config cfg;
        int state;
    };
    std::vector<Case> cases;
    auto add = [&cases](const char* what, int state) -> Config& {
        cases.push_back({what, quickConfig("127.0.0." + std::to_string(10 + cases.size())), state});
        return cases.back().cfg;
    };
    add("version", 7).minVersion = "2.0.1";
    add("no info file", 3).infoFile = "missing.info";
    add("forced", 13).forceState = 13;
    add("no server", 6).tftpPort = 6969;
    cases.back().cfg.tftpTimeoutMs = 50;
    add("no restart", 0).restartAfterUpgrade = false;

    std::vector<std::unique_ptr<Camera>> cams;
    for (auto& k : cases) {
        cams.push_back(std::make_unique<Camera>(k.cfg));
        ASSERT_TRUE(cams.back()->start());
        Probe(k.cfg.ip, "127.0.0.1").startUpgrade("127.0.0.1");
    }
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_TRUE(waitState(*cams[i], cases[i].state, 5000))
            << cases[i].what << ": state " << int(cams[i]->snapshot().state);
    // Failures report at once, without a restart; success restarts unless told not to.
    EXPECT_EQ(cams[0]->snapshot().restarts, 0u);
    EXPECT_EQ(cams[2]->snapshot().restarts, 1u);
    EXPECT_EQ(cams[4]->snapshot().restarts, 0u);
}

TEST(CamsimTool, PackageOptions) {
    camtest::ScratchDir dir;
    Bytes app = camtest::fileBytes(1500, 8);
    camtest::writeBytes(dir / "app.bin", app);

    // Per-kind packages are unpacked by the library in test_job; here the
    // single layout in its other format and with another information file.
    PackageSpec single;
    single.images = {dir / "app.bin"};
    single.infoName = "cameralink_ip_core_app_upd.info";
    single.version = "4.2";
    single.format = ArchiveFormat::TAR_GZ;
    std::string error;
    ASSERT_TRUE(makePackage(single, dir / "single.tar.gz", &error)) << error;
    auto top = readArchive(camtest::readBytes(dir / "single.tar.gz"));
    ASSERT_EQ(top.size(), 2u);
    InfoFile info;
    auto& text = top["cameralink_ip_core_app_upd.info"];
    ASSERT_TRUE(parseInfo(std::string(text.begin(), text.end()), &info, &error)) << error;
    EXPECT_EQ(info.version, "4.2");
    EXPECT_EQ(info.images.at(0).sha256, Sha256::of(app.data(), app.size()));
    EXPECT_EQ(top["app.bin"], app);

    // A base name that would read as the kind-1 entry is refused.
    PackageSpec perKind;
    perKind.layout = PackageSpec::PER_KIND;
    perKind.kind0Images = perKind.kind1Images = {dir / "app.bin"};
    perKind.baseName = "fw-D";
    EXPECT_FALSE(makePackage(perKind, dir / "bad.zip", &error));
}

// The command line serves a camera until told to stop, and exits cleanly.
TEST(CamsimTool, CommandLineServesAndStops) {
    camtest::ChildProcess camsim(
        {CAMSIM_BIN, "--ip", "127.0.2.50", "--ip", "127.0.2.51", "--kind", "0", "--kind", "1", "-q"});
    ASSERT_TRUE(camsim.started());
    auto kindOf = [](const char* ip) {
        Probe p(ip);
        std::uint32_t v = 0;
        for (int i = 0; i < 100 && p.readReg(0x7E000304, &v, 100) != 0; ++i) {
        }
        return v;
    };
    EXPECT_EQ(kindOf("127.0.2.50"), 0x2A5u);
    EXPECT_EQ(kindOf("127.0.2.51"), 0x1A4u);
    int status = camsim.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
