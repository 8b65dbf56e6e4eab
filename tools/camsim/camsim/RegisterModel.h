// The camera's register and memory map with its access rules, control
// privilege and heartbeat. No sockets, no threads, no clock of its own:
// callers pass the time, so every rule can be driven step by step.
#pragma once

#include "camsim/Event.h"
#include "wire/Gvcp.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

// GigE Vision status codes the simulator answers with.
enum GevStatus : std::uint16_t {
    GEV_SUCCESS = 0x0000,
    GEV_NOT_IMPLEMENTED = 0x8001,
    GEV_INVALID_PARAMETER = 0x8002,
    GEV_INVALID_ADDRESS = 0x8003,
    GEV_WRITE_PROTECT = 0x8004,
    GEV_BAD_ALIGNMENT = 0x8005,
    GEV_ACCESS_DENIED = 0x8006,
    GEV_BUSY = 0x8007,
    GEV_INVALID_HEADER = 0x800E,
};

namespace reg {
constexpr std::uint32_t VERSION = 0x0000;
constexpr std::uint32_t DEVICE_MODE = 0x0004;
constexpr std::uint32_t CURRENT_IP = 0x0024;
constexpr std::uint32_t MANUFACTURER = 0x0048;
constexpr std::uint32_t MODEL = 0x0068;
constexpr std::uint32_t DEVICE_VERSION = 0x0088;
constexpr std::uint32_t MANUFACTURER_INFO = 0x00A8;
constexpr std::uint32_t SERIAL = 0x00D8;
constexpr std::uint32_t USER_NAME = 0x00E8;
constexpr std::uint32_t HEARTBEAT_TIMEOUT = 0x0938;
constexpr std::uint32_t CCP = 0x0A00;
constexpr std::uint32_t PRE_UPGRADE_CLEAR = 0x7E000300;
constexpr std::uint32_t DEVICE_KIND = 0x7E000304;
constexpr std::uint32_t DEVICE_RESET = 0xEFFFFFC4;
constexpr std::uint32_t UPGRADE_STATUS = 0xEFFFFFE8;
constexpr std::uint32_t FILE_SERVER = 0xEFFFFFEC;  // 16 bytes of dotted text
constexpr std::uint32_t UPGRADE_CMD = 0xEFFFFFFC;
}  // namespace reg

constexpr std::uint32_t KIND0_VALUE = 0x2A5;
constexpr std::uint32_t KIND1_VALUE = 0x1A4;
constexpr std::uint32_t DEFAULT_HEARTBEAT_MS = 3000;
// Between upgrades the status register reads "ready" rather than a verdict,
// so a host that polls before its command lands never mistakes it for one.
constexpr std::uint8_t STATE_IDLE = 5;

// An application on the network: address and port in host order.
struct Peer {
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    bool operator==(const Peer& o) const { return addr == o.addr && port == o.port; }
    bool operator!=(const Peer& o) const { return !(*this == o); }
    std::string text() const;
};

struct Identity {
    std::uint32_t ip = 0;  // host order
    std::uint32_t kindRegister = KIND0_VALUE;
    std::string manufacturer, model, deviceVersion, manufacturerInfo, serial, userName;
    bool refuseControl = false;
    int staleState = -1;  // 0..255: the verdict the status register holds at start
};

// What the front end has to do after a request was answered.
struct Action {
    enum Type { NONE, START_UPGRADE, RESTART } type = NONE;
    std::string fileServer;  // START_UPGRADE: the dotted address to fetch from
};

class RegisterModel {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    explicit RegisterModel(const Identity& id);

    // One register or memory access of a request from `from`. The status is
    // what goes into the acknowledge; GEV_SUCCESS means the access happened.
    std::uint16_t readReg(std::uint32_t addr, const Peer& from, TimePoint now, std::uint32_t* value);
    std::uint16_t writeReg(std::uint32_t addr, std::uint32_t value, const Peer& from, TimePoint now);
    std::uint16_t readMem(std::uint32_t addr, std::uint32_t count, const Peer& from, TimePoint now,
                          std::vector<std::uint8_t>* out);
    std::uint16_t writeMem(std::uint32_t addr, const std::uint8_t* data, std::size_t count,
                           const Peer& from, TimePoint now);

    // Drops control when the controller has been silent too long.
    void tick(TimePoint now);

    // The restart as the registers see it: control released, heartbeat
    // timeout and file-server address back to their defaults.
    void restart();

    void setStatus(std::uint8_t state, std::uint8_t percent);
    void setBusy(bool busy) { m_busy = busy; }
    void setFirmwareVersion(const std::string& version);

    Action takeAction();
    std::vector<Event> takeEvents();

    bool controlled() const { return (m_ccp & 0x3) != 0; }
    Peer controller() const { return m_controller; }
    std::uint32_t ccp() const { return m_ccp; }
    std::uint32_t heartbeatMs() const { return m_heartbeatMs; }
    std::uint8_t state() const { return m_state; }
    std::uint8_t percent() const { return m_percent; }
    bool busy() const { return m_busy; }
    std::string fileServer() const;
    std::string firmwareVersion() const;
    // The bootstrap block as it reads now, for a discovery acknowledge.
    wire::gvcp::Bootstrap bootstrap() const;

private:
    struct Region {
        std::uint32_t addr;
        std::uint32_t size;
        bool writable;
        std::vector<std::uint8_t> bytes;
    };
    const Region* find(std::uint32_t addr, std::uint32_t size) const;
    Region* find(std::uint32_t addr, std::uint32_t size) {
        return const_cast<Region*>(static_cast<const RegisterModel*>(this)->find(addr, size));
    }
    void addRegion(std::uint32_t addr, std::uint32_t size, bool writable, std::uint32_t value = 0);
    void addText(std::uint32_t addr, std::uint32_t size, bool writable, const std::string& text);
    void store(std::uint32_t addr, std::uint32_t value);
    std::string text(std::uint32_t addr, std::uint32_t size) const;
    std::uint32_t word(std::uint32_t addr) const;
    // Access rules shared by reads and writes; also counts as the
    // controller's sign of life.
    std::uint16_t admit(const Peer& from, bool write, TimePoint now);
    std::uint16_t writeWord(std::uint32_t addr, std::uint32_t value, const Peer& from, TimePoint now);
    void emit(EventKind kind, int level, std::string text);

    std::vector<Region> m_regions;
    bool m_refuseControl;
    std::uint32_t m_ccp = 0;
    Peer m_controller;
    TimePoint m_lastSeen{};
    std::uint32_t m_heartbeatMs = DEFAULT_HEARTBEAT_MS;
    std::uint8_t m_state = STATE_IDLE;
    std::uint8_t m_percent = 0;
    bool m_busy = false;
    Action m_action;
    std::vector<Event> m_events;
};

}  // namespace camsim
