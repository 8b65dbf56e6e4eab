// The simulated camera from the outside: a small GVCP client and TFTP
// servers on loopback (tftp-hpa's in.tftpd, and a lock-step server that,
// like the library, never re-sends on its own).
#include "camsim/Camera.h"
#include "camsim/Package.h"
#include "camsim/Sha256.h"
#include "camsim/TftpClient.h"
#include "platform/socket.h"
#include "support/NetNs.h"
#include "upgrade/ByteCodec.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace camsim;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t READREG = 0x80, WRITEREG = 0x82, READMEM = 0x84, WRITEMEM = 0x86;
constexpr std::uint16_t PENDING = 0x89;

struct Datagram {
    sockaddr_in from, to;
    std::vector<std::uint8_t> bytes;
};

struct Ack {
    std::uint16_t status = 0, code = 0, id = 0;
    std::vector<std::uint8_t> payload;
};

// A GVCP application: one socket, explicit request ids, and a trace of
// everything sent and received for dissection.
class Probe {
public:
    Probe(const std::string& localIp, const std::string& camIp) {
        m_sock = platform::udpSocket();
        m_local = platform::makeAddr(localIp.c_str(), 0);
        EXPECT_EQ(::bind(m_sock, reinterpret_cast<sockaddr*>(&m_local), sizeof m_local), 0);
        socklen_t len = sizeof m_local;
        ::getsockname(m_sock, reinterpret_cast<sockaddr*>(&m_local), &len);
        m_cam = platform::makeAddr(camIp.c_str(), 3956);
    }
    ~Probe() { platform::closeSocket(m_sock); }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    std::uint16_t send(std::uint16_t cmd, const std::vector<std::uint8_t>& payload, std::uint8_t flags = 1) {
        std::vector<std::uint8_t> pkt(8 + payload.size());
        wire::Writer w(pkt.data(), pkt.size());
        w.u8(0x42);
        w.u8(flags);
        w.u16(cmd);
        w.u16(static_cast<std::uint16_t>(payload.size()));
        w.u16(++m_id);
        w.bytes(payload.data(), payload.size());
        platform::sendDatagram(m_sock, pkt.data(), pkt.size(), m_cam);
        trace.push_back({m_local, m_cam, pkt});
        return m_id;
    }

    // Every datagram that arrives within the time.
    std::vector<Ack> receive(int timeoutMs, std::size_t max = 100) {
        std::vector<Ack> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < max) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || platform::waitReadable(m_sock, left.count()) != platform::WAIT_READABLE)
                break;
            std::uint8_t buf[1500];
            sockaddr_in from{};
            int n = platform::recvDatagram(m_sock, reinterpret_cast<char*>(buf), sizeof buf, &from);
            if (n < 8)
                continue;
            trace.push_back({from, m_local, std::vector<std::uint8_t>(buf, buf + n)});
            wire::Reader r(buf, static_cast<std::size_t>(n));
            Ack a;
            a.status = r.u16();
            a.code = r.u16();
            std::uint16_t len = r.u16();
            a.id = r.u16();
            EXPECT_EQ(len, r.remaining()) << "length field of an acknowledge";
            a.payload.assign(r.current(), r.current() + r.remaining());
            out.push_back(a);
        }
        return out;
    }

    // One transaction: the acknowledge of this id, skipping pending ones.
    bool transact(std::uint16_t cmd, const std::vector<std::uint8_t>& payload, Ack* ack, int timeoutMs = 300) {
        std::uint16_t id = send(cmd, payload);
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            for (const Ack& a : receive(10, 1))
                if (a.id == id && a.code == cmd + 1) {
                    *ack = a;
                    return true;
                }
        }
        return false;
    }

    std::uint16_t readReg(std::uint32_t addr, std::uint32_t* value, int timeoutMs = 300) {
        Ack a;
        if (!transact(READREG, words({addr}), &a, timeoutMs))
            return 0xFFFF;
        if (a.status == 0 && a.payload.size() == 4)
            *value = wire::get32(a.payload.data());
        return a.status;
    }
    std::uint16_t writeReg(std::uint32_t addr, std::uint32_t value) {
        Ack a;
        return transact(WRITEREG, words({addr, value}), &a) ? a.status : 0xFFFF;
    }
    std::uint16_t writeMem(std::uint32_t addr, const std::string& text, std::size_t size) {
        std::vector<std::uint8_t> p = words({addr});
        p.resize(4 + size, 0);
        std::copy(text.begin(), text.end(), p.begin() + 4);
        Ack a;
        return transact(WRITEMEM, p, &a) ? a.status : 0xFFFF;
    }
    // What a host does to start an upgrade.
    void startUpgrade(const std::string& server) {
        ASSERT_EQ(writeReg(0x0A00, 2), 0);
        ASSERT_EQ(writeReg(0x7E000300, 0), 0);
        ASSERT_EQ(writeMem(0xEFFFFFEC, server, 16), 0);
        ASSERT_EQ(writeReg(0xEFFFFFFC, 1), 0);
    }

    static std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> ws) {
        std::vector<std::uint8_t> out(ws.size() * 4);
        std::size_t i = 0;
        for (auto w : ws)
            wire::put32(out.data() + 4 * i++, w);
        return out;
    }

    std::vector<Datagram> trace;

private:
    platform::socket_t m_sock;
    sockaddr_in m_local{}, m_cam{};
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

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 131 + seed * 17 + (i >> 9)) & 0xFF);
    return v;
}

std::string infoFor(int kind, const std::string& version,
                    const std::map<std::string, std::vector<std::uint8_t>>& images) {
    InfoFile info;
    info.kind = kind;
    info.version = version;
    for (const auto& [name, data] : images)
        info.images.push_back({name, data.size(), Sha256::of(data.data(), data.size())});
    return formatInfo(info);
}

// A TFTP server that behaves like the library's file service: a new port per
// transfer, lock-step blocks, never a re-send of its own.
class LockStepServer {
public:
    LockStepServer(const std::string& ip, std::map<std::string, std::vector<std::uint8_t>> files)
        : m_files(std::move(files)) {
        m_listen = platform::udpSocket();
        m_addr = platform::makeAddr(ip.c_str(), 0);
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&m_addr), sizeof m_addr), 0);
        socklen_t len = sizeof m_addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&m_addr), &len);
        m_thread = std::thread([this] { loop(); });
    }
    ~LockStepServer() {
        m_stop = true;
        m_thread.join();
        platform::closeSocket(m_listen);
        platform::closeSocket(m_xfer);
    }
    LockStepServer(const LockStepServer&) = delete;
    LockStepServer& operator=(const LockStepServer&) = delete;

    std::uint16_t port() const { return ntohs(m_addr.sin_port); }
    // Requested names with the camera's source port.
    std::vector<std::pair<std::string, std::uint16_t>> requests() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_requests;
    }

private:
    void sendBlock() {
        std::uint8_t pkt[516];
        std::size_t off = std::size_t{m_block - 1u} * 512;
        std::size_t n = std::min<std::size_t>(512, m_data->size() - off);
        wire::put16(pkt, 3);
        wire::put16(pkt + 2, m_block);
        std::copy_n(m_data->begin() + static_cast<long>(off), n, pkt + 4);
        m_lastLen = 4 + n;
        platform::sendDatagram(m_xfer, pkt, m_lastLen, m_peer);
        std::copy_n(pkt, m_lastLen, m_last);
    }
    void loop() {
        while (!m_stop) {
            pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_xfer, POLLIN, 0}};
            if (::poll(fds, m_xfer >= 0 ? 2 : 1, 20) <= 0)
                continue;
            std::uint8_t buf[600];
            sockaddr_in from{};
            if (fds[0].revents & POLLIN) {
                int n = platform::recvDatagram(m_listen, reinterpret_cast<char*>(buf), sizeof buf - 1, &from);
                if (n < 4 || wire::get16(buf) != 1)
                    continue;
                buf[n] = 0;
                std::string name(reinterpret_cast<char*>(buf + 2));
                {
                    std::lock_guard<std::mutex> g(m_lock);
                    m_requests.emplace_back(name, ntohs(from.sin_port));
                }
                auto it = m_files.find(name);
                if (it == m_files.end())
                    continue;  // like the library: no error packet
                platform::closeSocket(m_xfer);
                m_xfer = platform::udpSocket();
                sockaddr_in a = platform::makeAddr(platform::addrText(m_addr).c_str(), 0);
                ::bind(m_xfer, reinterpret_cast<sockaddr*>(&a), sizeof a);
                m_peer = from;
                m_data = &it->second;
                m_block = 1;
                sendBlock();
            } else if (fds[1].revents & POLLIN) {
                int n = platform::recvDatagram(m_xfer, reinterpret_cast<char*>(buf), sizeof buf, &from);
                if (n < 4 || wire::get16(buf) != 4)
                    continue;
                if (wire::get16(buf + 2) != m_block) {
                    platform::sendDatagram(m_xfer, m_last, m_lastLen, m_peer);
                } else if (m_lastLen < 516) {
                    platform::closeSocket(m_xfer);
                    m_xfer = platform::INVALID_SOCK;
                } else {
                    ++m_block;
                    sendBlock();
                }
            }
        }
    }

    std::map<std::string, std::vector<std::uint8_t>> m_files;
    platform::socket_t m_listen, m_xfer = platform::INVALID_SOCK;
    sockaddr_in m_addr{}, m_peer{};
    const std::vector<std::uint8_t>* m_data = nullptr;
    std::uint16_t m_block = 0;
    std::uint8_t m_last[516];
    std::size_t m_lastLen = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<std::pair<std::string, std::uint16_t>> m_requests;
    std::thread m_thread;
};

// tftp-hpa's server in the foreground on port 69 of every address, serving a
// folder of its own. (Given an address, it insists on a non-loopback
// interface existing, which a private namespace does not have.)
class Tftpd {
public:
    explicit Tftpd(std::map<std::string, std::vector<std::uint8_t>> files) {
        char tmpl[] = "/tmp/camsim-tftpd-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
        for (const auto& [name, data] : files)
            std::ofstream(m_dir / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        std::string dir = m_dir.string();
        const char* argv[] = {"in.tftpd", "-L", "-4", "-s", dir.c_str(), nullptr};
        m_ok = ::posix_spawn(&m_pid, "/usr/sbin/in.tftpd", nullptr, nullptr, const_cast<char**>(argv),
                             environ) == 0;
    }
    ~Tftpd() {
        if (m_ok) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        fs::remove_all(m_dir);
    }
    Tftpd(const Tftpd&) = delete;
    Tftpd& operator=(const Tftpd&) = delete;

    // Waits until the server answers (an error for a name it has not).
    bool ready(const std::string& ip, std::uint16_t port, const std::string& from) {
        for (int i = 0; m_ok && i < 50; ++i) {
            TftpRequest r;
            r.localIp = from;
            r.serverIp = ip;
            r.serverPort = port;
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
    fs::path m_dir;
    pid_t m_pid = -1;
    bool m_ok = false;
};

bool waitState(Camera& cam, int state, int timeoutMs) {
    return cam.waitFor([state](const Snapshot& s) { return !s.busy && s.state == state; }, timeoutMs);
}

// Packets of a trace as a pcap file of raw IPv4 frames.
void writePcap(const std::string& path, const std::vector<Datagram>& trace) {
    std::ofstream out(path, std::ios::binary);
    auto le32 = [&out](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto le16 = [&out](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    le32(0xa1b2c3d4);
    le16(2);
    le16(4);
    le32(0);
    le32(0);
    le32(65535);
    le32(101);  // raw IP
    std::uint32_t t = 0;
    for (const auto& d : trace) {
        std::vector<std::uint8_t> f(28 + d.bytes.size());
        wire::Writer w(f.data(), f.size());
        w.u8(0x45);
        w.u8(0);
        w.u16(static_cast<std::uint16_t>(f.size()));
        w.u32(0);
        w.u8(64);
        w.u8(17);
        w.u16(0);
        w.u32(ntohl(d.from.sin_addr.s_addr));
        w.u32(ntohl(d.to.sin_addr.s_addr));
        w.u16(ntohs(d.from.sin_port));
        w.u16(ntohs(d.to.sin_port));
        w.u16(static_cast<std::uint16_t>(8 + d.bytes.size()));
        w.u16(0);
        w.bytes(d.bytes.data(), d.bytes.size());
        le32(++t);
        le32(0);
        le32(static_cast<std::uint32_t>(f.size()));
        le32(static_cast<std::uint32_t>(f.size()));
        out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
}

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

// Names and contents of an archive's entries.
std::map<std::string, std::vector<std::uint8_t>> readArchive(const void* data, std::size_t size) {
    std::map<std::string, std::vector<std::uint8_t>> out;
    archive* a = archive_read_new();
    archive_read_support_format_all(a);
    archive_read_support_filter_all(a);
    if (archive_read_open_memory(a, data, size) == ARCHIVE_OK) {
        archive_entry* e;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(archive_entry_size(e)));
            archive_read_data(a, bytes.data(), bytes.size());
            out[archive_entry_pathname(e)] = bytes;
        }
    }
    archive_read_free(a);
    return out;
}

}  // namespace

TEST(CamsimGvcp, RegisterMapAndAccessRules) {
    Camera cam(quickConfig("127.0.2.10"));
    ASSERT_TRUE(cam.start());
    Probe host("127.0.2.1", "127.0.2.10"), other("127.0.2.1", "127.0.2.10");

    // Several registers in one READREG come back in order.
    Ack a;
    ASSERT_TRUE(host.transact(READREG, Probe::words({0x0000, 0x0004, 0x0938, 0x7E000304, 0xEFFFFFE8}), &a));
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(a.payload.size(), 20u);
    EXPECT_EQ(wire::get32(&a.payload[0]), 0x00020000u);
    EXPECT_EQ(wire::get32(&a.payload[4]), 0x80000001u);
    EXPECT_EQ(wire::get32(&a.payload[8]), 3000u);
    EXPECT_EQ(wire::get32(&a.payload[12]), 0x2A5u);
    EXPECT_EQ(wire::get32(&a.payload[16]), 5u);

    ASSERT_TRUE(host.transact(READMEM, Probe::words({0x0068, 32}), &a));
    ASSERT_EQ(a.payload.size(), 36u);
    EXPECT_EQ(wire::get32(a.payload.data()), 0x0068u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&a.payload[4]), "CS-GE-1");

    std::uint32_t v = 0;
    EXPECT_EQ(host.readReg(0x00F00000, &v), 0x8003);  // outside the map
    EXPECT_TRUE(host.transact(0x0040, {}, &a));         // a command it does not know
    EXPECT_EQ(a.status, 0x8001);
    EXPECT_TRUE(host.transact(READREG, {0, 0, 0}, &a));  // not a whole register
    EXPECT_EQ(a.status, 0x8002);

    // Control: the second application is refused and cannot write, may read.
    EXPECT_EQ(host.writeReg(0x0A00, 2), 0);
    EXPECT_EQ(other.writeReg(0x0A00, 2), 0x8006);
    EXPECT_EQ(other.writeMem(0xEFFFFFEC, "127.0.2.1", 16), 0x8006);
    EXPECT_EQ(other.readReg(0x0A00, &v), 0);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(host.writeMem(0xEFFFFFEC, "127.0.2.1", 16), 0);
    EXPECT_EQ(cam.snapshot().fileServer, "127.0.2.1");
    EXPECT_EQ(cam.snapshot().controller.rfind("127.0.2.1:", 0), 0u);

    // Without the acknowledge flag the camera acts but stays silent.
    host.send(WRITEREG, Probe::words({0x0A00, 0}), 0);
    EXPECT_TRUE(host.receive(150).empty());
    EXPECT_FALSE(cam.snapshot().controlled);
    EXPECT_EQ(other.writeReg(0x0A00, 2), 0);
}

TEST(CamsimGvcp, ControlDropsWhenTheControllerFallsSilent) {
    Camera cam(quickConfig("127.0.2.11"));
    ASSERT_TRUE(cam.start());
    Probe host("127.0.2.1", "127.0.2.11"), other("127.0.2.1", "127.0.2.11");
    ASSERT_EQ(host.writeReg(0x0A00, 2), 0);
    ASSERT_EQ(host.writeReg(0x0938, 200), 0);
    std::uint32_t v = 0;
    // Traffic of the controller keeps control well past one timeout...
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(host.readReg(0x0A00, &v), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(cam.snapshot().controlled);
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
    if (::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    Config c = quickConfig("127.0.2.12");
    c.pendingCommands = {CMD_WRITEMEM};
    c.pendingMs = 1200;
    c.pendingDelayMs = 10;
    Camera cam(c);
    ASSERT_TRUE(cam.start());
    Probe host("127.0.2.1", "127.0.2.12"), other("127.0.2.1", "127.0.2.12");
    Ack a;
    host.transact(READREG, Probe::words({0x0000, 0x0A00, 0x0938, 0xEFFFFFE8}), &a);
    host.transact(READMEM, Probe::words({0x0048, 32}), &a);
    host.writeReg(0x0A00, 2);
    host.writeReg(0x0938, 3000);
    host.writeMem(0xEFFFFFEC, "127.0.2.1", 16);  // pending, then the acknowledge
    std::uint32_t v;
    host.readReg(0x00F00000, &v);  // error status
    other.writeReg(0x0A00, 2);     // access denied
    host.trace.insert(host.trace.end(), other.trace.begin(), other.trace.end());

    std::string pcap = "/tmp/camsim-gvcp-" + std::to_string(::getpid()) + ".pcap";
    writePcap(pcap, host.trace);
    std::string summary = run("tshark -r " + pcap + " 2>/dev/null");
    std::string detail = run("tshark -r " + pcap + " -V 2>/dev/null");
    std::remove(pcap.c_str());
    EXPECT_EQ(detail.find("Malformed"), std::string::npos) << detail;
    EXPECT_EQ(detail.find("Expert Info (Error"), std::string::npos) << detail;
    for (const char* what : {"READREG_ACK", "READMEM_ACK", "WRITEREG_ACK", "WRITEMEM_ACK", "PENDING_ACK"})
        EXPECT_NE(summary.find(what), std::string::npos) << what << " missing in\n" << summary;
    EXPECT_NE(detail.find("GEV_STATUS_INVALID_ADDRESS"), std::string::npos);
    EXPECT_NE(detail.find("GEV_STATUS_ACCESS_DENIED"), std::string::npos);
}

TEST(CamsimFaults, ControlChannelKnobs) {
    Config lossy = quickConfig("127.0.2.20");
    lossy.gvcpLoss = 1.0;
    Config slow = quickConfig("127.0.2.21");
    slow.replyLatencyMs = 150;
    Config pending = quickConfig("127.0.2.22");
    pending.pendingCommands = {CMD_WRITEREG};
    pending.pendingMs = 900;
    pending.pendingDelayMs = 50;
    Config stale = quickConfig("127.0.2.23");
    stale.ackFault = AckFault::STALE;
    Config dup = quickConfig("127.0.2.24");
    dup.ackFault = AckFault::DUPLICATE;
    Config refusing = quickConfig("127.0.2.25");
    refusing.refuseControl = true;
    std::vector<std::unique_ptr<Camera>> cams;
    for (const Config& c : {lossy, slow, pending, stale, dup, refusing}) {
        cams.push_back(std::make_unique<Camera>(c));
        ASSERT_TRUE(cams.back()->start());
    }
    std::uint32_t v = 0;

    Probe p0("127.0.2.1", "127.0.2.20");
    EXPECT_EQ(p0.readReg(0x0000, &v, 200), 0xFFFF);
    EXPECT_EQ(cams[0]->snapshot().droppedRequests, 1u);

    Probe p1("127.0.2.1", "127.0.2.21");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(p1.readReg(0x0000, &v, 1000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));

    Probe p2("127.0.2.1", "127.0.2.22");
    std::uint16_t id = p2.send(WRITEREG, Probe::words({0x0A00, 2}));
    auto acks = p2.receive(500, 2);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].code, PENDING);
    EXPECT_EQ(acks[0].id, id);
    EXPECT_EQ(wire::get16(&acks[0].payload[2]), 900);
    EXPECT_EQ(acks[1].code, WRITEREG + 1);
    EXPECT_EQ(p2.readReg(0x0A00, &v), 0);  // reads are not chosen: no pending
    EXPECT_EQ(p2.receive(100).size(), 0u);

    Probe p3("127.0.2.1", "127.0.2.23");
    std::uint16_t first = p3.send(READREG, Probe::words({0x0000}));
    EXPECT_EQ(p3.receive(300, 1).at(0).id, first);
    std::uint16_t second = p3.send(READREG, Probe::words({0x0004}));
    acks = p3.receive(300, 2);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].id, first);  // the stale one comes first
    EXPECT_EQ(acks[1].id, second);

    Probe p4("127.0.2.1", "127.0.2.24");
    id = p4.send(READREG, Probe::words({0x0000}));
    acks = p4.receive(300, 3);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].id, id);
    EXPECT_EQ(acks[1].id, id);

    Probe p5("127.0.2.1", "127.0.2.25");
    EXPECT_EQ(p5.writeReg(0x0A00, 2), 0x8006);
    EXPECT_FALSE(cams[5]->snapshot().controlled);
}

TEST(CamsimFaults, LostBlocksComeBackThroughRepeatedAcknowledgements) {
    auto image = pattern(40 * 512 + 100, 1);
    std::string info = infoFor(0, "2.0.0", {{"app.bin", image}});
    LockStepServer served("127.0.2.30", {{"gige_ip_core_app_upd.info", {info.begin(), info.end()}},
                                         {"app.bin", image}});
    Config c = quickConfig("127.0.2.31");
    c.tftpPort = served.port();
    c.dataLoss = 0.3;
    c.tftpTimeoutMs = 40;
    c.tftpRetries = 20;
    Camera cam(c);
    ASSERT_TRUE(cam.start());
    Probe host("127.0.2.30", "127.0.2.31");
    host.startUpgrade("127.0.2.30");
    ASSERT_TRUE(waitState(cam, 0, 20000)) << int(cam.snapshot().state);
    Snapshot s = cam.snapshot();
    EXPECT_GT(s.droppedBlocks, 0u);
    ASSERT_EQ(s.files.size(), 1u);
    EXPECT_TRUE(s.files[0].verified);
    EXPECT_GT(s.files[0].resends, 0u);
    EXPECT_EQ(s.firmwareVersion, "2.0.0");
}

TEST(CamsimFaults, RestartInTheMiddleThenRequestAgain) {
    auto image = pattern(10 * 512, 2);  // a multiple of 512: ends on a full block
    std::string info = infoFor(0, "3.1", {{"app.bin", image}});
    LockStepServer server("127.0.2.40", {{"gige_ip_core_app_upd.info", {info.begin(), info.end()}},
                                         {"app.bin", image}});
    Config c = quickConfig("127.0.2.41");
    c.tftpPort = server.port();
    c.tftpTimeoutMs = 100;
    c.restartMs = 300;
    c.restartMidTransfer = true;
    Camera cam(c);
    ASSERT_TRUE(cam.start());
    Probe host("127.0.2.40", "127.0.2.41");
    host.startUpgrade("127.0.2.40");
    ASSERT_TRUE(cam.waitFor([](const Snapshot& s) { return !s.answering; }, 5000));
    std::uint32_t v = 0;
    EXPECT_EQ(host.readReg(0x0A00, &v, 100), 0xFFFF);  // silent while restarting
    ASSERT_TRUE(waitState(cam, 0, 10000));
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].first, "app.bin");
    EXPECT_EQ(reqs[2].first, "app.bin");
    EXPECT_NE(reqs[1].second, reqs[2].second);  // a fresh socket after the restart
    Snapshot s = cam.snapshot();
    EXPECT_EQ(s.restarts, 2u);  // in the middle, and after flashing
    ASSERT_EQ(s.files.size(), 1u);
    EXPECT_TRUE(s.files[0].verified);
}

// The whole upgrade fetched from in.tftpd on the real port 69, two cameras
// of different kinds at once, watched through GVCP as a host would.
TEST(CamsimUpgrade, WholeUpgradeFromTftpd) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    auto app = pattern(64 * 1024 + 7, 3), fpga = pattern(3000, 4), k1 = pattern(9000, 5);
    std::string info0 = infoFor(0, "2.1.0", {{"app.bin", app}, {"fpga.bit", fpga}});
    std::string info1 = infoFor(1, "2.1.0", {{"k1.bin", k1}});
    Tftpd tftpd({{"gige_ip_core_app_upd.info", {info0.begin(), info0.end()}},
                                 {"app_upd.info", {info1.begin(), info1.end()}},
                                 {"app.bin", app},
                                 {"fpga.bit", fpga},
                                 {"k1.bin", k1}});
    ASSERT_TRUE(tftpd.ready("127.0.0.1", 69, "127.0.0.1"));

    Config c0 = quickConfig("127.0.0.2");
    c0.flashMs = 400;
    c0.restartMs = 400;
    Config c1 = quickConfig("127.0.0.3");
    c1.kind = 1;
    c1.infoFile = "app_upd.info";
    Camera cam0(c0), cam1(c1);
    ASSERT_TRUE(cam0.start());
    ASSERT_TRUE(cam1.start());
    Probe host0("127.0.0.1", "127.0.0.2"), host1("127.0.0.1", "127.0.0.3");
    std::uint32_t kind = 0;
    ASSERT_EQ(host1.readReg(0x7E000304, &kind), 0);
    EXPECT_EQ(kind, 0x1A4u);
    host0.startUpgrade("127.0.0.1");
    host1.startUpgrade("127.0.0.1");

    // Poll like a host: working with rising percent, silence, then the verdict
    // with control released.
    std::vector<std::uint32_t> seen;
    bool silent = false;
    std::uint32_t ccp = 1;
    for (int i = 0; i < 1500; ++i) {  // 15 s at most
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::uint32_t v = 0;
        if (host0.readReg(0xEFFFFFE8, &v, 50) != 0) {
            silent = true;
            continue;
        }
        if (seen.empty() || seen.back() != v)
            seen.push_back(v);
        if ((v & 0xFF) != 4 && silent) {
            host0.readReg(0x0A00, &ccp);
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

    ASSERT_TRUE(waitState(cam1, 0, 10000));
    for (Camera* cam : {&cam0, &cam1}) {
        Snapshot s = cam->snapshot();
        EXPECT_EQ(s.firmwareVersion, "2.1.0");
        EXPECT_EQ(s.upgradeCommands, 1u);
        for (const auto& f : s.files)
            EXPECT_TRUE(f.verified) << f.name;
    }
    EXPECT_EQ(cam0.snapshot().files.size(), 2u);
    // The camera's own record agrees with what the host saw.
    std::vector<std::uint16_t> hist = cam0.snapshot().stateHistory;
    ASSERT_FALSE(hist.empty());
    EXPECT_EQ(hist.back(), 0x6400);
}

// Every verdict a package can call for, and the knobs that bend the end of
// an upgrade, side by side against one in.tftpd.
TEST(CamsimUpgrade, VerdictsAndEndingKnobs) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    auto app = pattern(2000, 6);
    std::string good = infoFor(0, "2.0.0", {{"app.bin", app}});
    std::string wrong = infoFor(0, "2.0.0", {{"app.bin", pattern(2000, 7)}});
    Tftpd tftpd({{"gige_ip_core_app_upd.info", {good.begin(), good.end()}},
                                 {"wrong.info", {wrong.begin(), wrong.end()}},
                                 {"app.bin", app}});
    ASSERT_TRUE(tftpd.ready("127.0.0.1", 69, "127.0.0.1"));

    struct Case {
        const char* what;
        Config cfg;
        int state;
    };
    std::vector<Case> cases;
    auto add = [&cases](const char* what, int n, int state) -> Config& {
        cases.push_back({what, quickConfig("127.0.0." + std::to_string(n)), state});
        return cases.back().cfg;
    };
    add("digest", 10, 2).infoFile = "wrong.info";
    add("kind", 11, 11).kind = 1;
    add("version", 12, 7).minVersion = "2.0.1";
    add("too big", 13, 3).maxImageBytes = 1000;
    add("no info file", 14, 3).infoFile = "missing.info";
    add("forced", 15, 13).forceState = 13;
    add("no server", 16, 6).tftpPort = 6969;
    cases.back().cfg.tftpTimeoutMs = 50;
    add("no restart", 17, 0).restartAfterUpgrade = false;
    Config& gone = add("never returns", 18, -1);
    gone.neverReturn = true;

    std::vector<std::unique_ptr<Camera>> cams;
    for (auto& k : cases) {
        cams.push_back(std::make_unique<Camera>(k.cfg));
        ASSERT_TRUE(cams.back()->start());
        Probe host("127.0.0.1", k.cfg.ip);
        host.startUpgrade("127.0.0.1");
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Camera& cam = *cams[i];
        if (cases[i].state < 0) {
            EXPECT_TRUE(cam.waitFor([](const Snapshot& s) { return !s.answering; }, 5000));
            continue;
        }
        EXPECT_TRUE(waitState(cam, cases[i].state, 5000))
            << cases[i].what << ": state " << int(cam.snapshot().state);
    }
    // Failures report at once, without a restart; success restarts unless told not to.
    EXPECT_EQ(cams[0]->snapshot().restarts, 0u);
    EXPECT_EQ(cams[5]->snapshot().restarts, 1u);
    EXPECT_EQ(cams[7]->snapshot().restarts, 0u);
    // The one that never comes back stays silent; stop() still ends it at once.
    Probe late("127.0.0.1", "127.0.0.18");
    std::uint32_t v;
    EXPECT_EQ(late.readReg(0xEFFFFFE8, &v, 200), 0xFFFF);
}

TEST(CamsimTool, PackagesInBothLayouts) {
    fs::path dir = fs::temp_directory_path() / ("camsim-pkg-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    auto app = pattern(1500, 8);
    std::ofstream(dir / "app.bin", std::ios::binary).write(reinterpret_cast<const char*>(app.data()), 1500);
    std::ofstream(dir / "k1.bin", std::ios::binary).write("kind one", 8);

    PackageSpec single;
    single.images = {(dir / "app.bin").string()};
    single.infoName = "cameralink_ip_core_app_upd.info";
    single.version = "4.2";
    single.format = ArchiveFormat::TAR_GZ;
    std::string error;
    ASSERT_TRUE(makePackage(single, (dir / "single.tar.gz").string(), &error)) << error;

    PackageSpec perKind;
    perKind.layout = PackageSpec::PER_KIND;
    perKind.kind0Images = {(dir / "app.bin").string()};
    perKind.kind1Images = {(dir / "k1.bin").string()};
    perKind.kind3dImages = {(dir / "app.bin").string()};
    ASSERT_TRUE(makePackage(perKind, (dir / "perkind.zip").string(), &error)) << error;
    perKind.baseName = "fw-D";
    EXPECT_FALSE(makePackage(perKind, (dir / "bad.zip").string(), &error));

    auto slurp = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    };
    auto s = slurp(dir / "single.tar.gz");
    auto top = readArchive(s.data(), s.size());
    ASSERT_EQ(top.size(), 2u);
    InfoFile info;
    auto& text = top["cameralink_ip_core_app_upd.info"];
    ASSERT_TRUE(parseInfo(std::string(text.begin(), text.end()), &info, &error)) << error;
    EXPECT_EQ(info.version, "4.2");
    EXPECT_EQ(info.images.at(0).sha256, Sha256::of(app.data(), app.size()));
    EXPECT_EQ(top["app.bin"], app);

    auto p = slurp(dir / "perkind.zip");
    top = readArchive(p.data(), p.size());
    ASSERT_EQ(top.size(), 3u);
    auto inner1 = readArchive(top["camfw-D.zip"].data(), top["camfw-D.zip"].size());
    auto& text1 = inner1["gige_ip_core_app_upd.info"];
    ASSERT_TRUE(parseInfo(std::string(text1.begin(), text1.end()), &info, &error)) << error;
    EXPECT_EQ(info.kind, 1);
    EXPECT_EQ(inner1.count("k1.bin"), 1u);
    EXPECT_EQ(readArchive(top["camfw.zip"].data(), top["camfw.zip"].size()).count("app.bin"), 1u);
    EXPECT_EQ(top.count("camfw-KX-D.zip"), 1u);
    fs::remove_all(dir);
}

// The command line serves a camera until told to stop, and exits cleanly.
TEST(CamsimTool, CommandLineServesAndStops) {
    const char* argv[] = {CAMSIM_BIN, "--ip", "127.0.2.50", "--ip", "127.0.2.51", "--kind", "0",
                          "--kind", "1", "-q", nullptr};
    pid_t pid;
    ASSERT_EQ(::posix_spawn(&pid, CAMSIM_BIN, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    Probe a("127.0.2.1", "127.0.2.50"), b("127.0.2.1", "127.0.2.51");
    auto kindOf = [](Probe& p) {
        std::uint32_t v = 0;
        for (int i = 0; i < 100 && p.readReg(0x7E000304, &v, 100) != 0; ++i) {
        }
        return v;
    };
    EXPECT_EQ(kindOf(a), 0x2A5u);
    EXPECT_EQ(kindOf(b), 0x1A4u);
    ::kill(pid, SIGTERM);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
