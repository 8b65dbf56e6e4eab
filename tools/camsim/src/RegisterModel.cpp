#include "camsim/RegisterModel.h"

#include "wire/ByteCodec.h"

#include "platform/socket.h"

#include <algorithm>
#include <cstdio>

namespace camsim {

std::string Peer::text() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", addr >> 24, (addr >> 16) & 0xFF,
                  (addr >> 8) & 0xFF, addr & 0xFF, port);
    return buf;
}

RegisterModel::RegisterModel(const Identity& id) : m_refuseControl(id.refuseControl) {
    addRegion(reg::VERSION, 4, false, 0x00020000);      // GigE Vision 2.0
    addRegion(reg::DEVICE_MODE, 4, false, 0x80000001);  // big-endian, UTF-8
    addRegion(0x0008, 4, false, 0x0200);                // MAC high: locally administered
    addRegion(0x000C, 4, false, id.ip);                 // MAC low: the address itself
    addRegion(0x0010, 4, false, 0x00000007);            // supported IP configurations
    addRegion(0x0014, 4, true, 0x00000006);             // current IP configuration
    addRegion(reg::CURRENT_IP, 4, false, id.ip);
    addRegion(0x0034, 4, false, 0xFF000000);
    addRegion(0x0044, 4, false, 0);
    // Reserved words between them read as zero, so the whole block reads at once.
    for (std::uint32_t gap : {0x0018u, 0x0028u, 0x0038u})
        addRegion(gap, 12, false);
    addText(reg::MANUFACTURER, 32, false, id.manufacturer);
    addText(reg::MODEL, 32, false, id.model);
    addText(reg::DEVICE_VERSION, 32, false, id.deviceVersion);
    addText(reg::MANUFACTURER_INFO, 48, false, id.manufacturerInfo);
    addText(reg::SERIAL, 16, false, id.serial);
    addText(reg::USER_NAME, 16, true, id.userName);
    addRegion(0x0600, 4, false, 1);           // network interfaces
    addRegion(0x0900, 4, false, 0);           // message channels
    addRegion(0x0904, 4, false, 0);           // stream channels
    addRegion(0x0934, 4, false, 0xC0000022);  // GVCP capability: names, pending ack, WRITEMEM
    addRegion(reg::HEARTBEAT_TIMEOUT, 4, true, DEFAULT_HEARTBEAT_MS);
    addRegion(0x093C, 4, false, 0);  // timestamp tick frequency
    addRegion(0x0940, 4, false, 0);
    addRegion(reg::CCP, 4, true, 0);
    addRegion(reg::PRE_UPGRADE_CLEAR, 4, true, 0);
    addRegion(reg::DEVICE_KIND, 4, false, id.kindRegister);
    addRegion(reg::DEVICE_RESET, 4, true, 0);
    addRegion(reg::UPGRADE_STATUS, 4, false, STATE_IDLE);
    addRegion(reg::FILE_SERVER, 16, true, 0);
    addRegion(reg::UPGRADE_CMD, 4, true, 0);
    std::sort(m_regions.begin(), m_regions.end(),
              [](const Region& a, const Region& b) { return a.addr < b.addr; });
    if (id.staleState >= 0)
        setStatus(static_cast<std::uint8_t>(id.staleState), 100);
    m_events.clear();
}

void RegisterModel::addRegion(std::uint32_t addr, std::uint32_t size, bool writable,
                              std::uint32_t value) {
    Region r{addr, size, writable, std::vector<std::uint8_t>(size, 0)};
    if (size == 4)
        wire::put32(r.bytes.data(), value);
    m_regions.push_back(std::move(r));
}

void RegisterModel::addText(std::uint32_t addr, std::uint32_t size, bool writable,
                            const std::string& value) {
    Region r{addr, size, writable, std::vector<std::uint8_t>(size, 0)};
    // Bootstrap strings keep a terminating zero.
    std::copy_n(value.begin(), std::min<std::size_t>(value.size(), size - 1), r.bytes.begin());
    m_regions.push_back(std::move(r));
}

const RegisterModel::Region* RegisterModel::find(std::uint32_t addr, std::uint32_t size) const {
    for (const auto& r : m_regions)
        if (addr >= r.addr && std::uint64_t{addr} + size <= std::uint64_t{r.addr} + r.size)
            return &r;
    return nullptr;
}

void RegisterModel::store(std::uint32_t addr, std::uint32_t value) {
    if (Region* r = find(addr, 4))
        wire::put32(r->bytes.data() + (addr - r->addr), value);
}

std::string RegisterModel::text(std::uint32_t addr, std::uint32_t size) const {
    const Region* r = find(addr, size);
    if (r == nullptr)
        return {};
    const auto* p = r->bytes.data() + (addr - r->addr);
    return std::string(reinterpret_cast<const char*>(p),
                       std::find(p, p + size, std::uint8_t{0}) - p);
}

std::uint32_t RegisterModel::word(std::uint32_t addr) const {
    const Region* r = find(addr, 4);
    return r == nullptr ? 0 : wire::get32(r->bytes.data() + (addr - r->addr));
}

wire::gvcp::Bootstrap RegisterModel::bootstrap() const {
    wire::gvcp::Bootstrap b;
    b.version = word(reg::VERSION);
    b.deviceMode = word(reg::DEVICE_MODE);
    std::uint8_t mac[8];
    wire::put32(mac, word(0x0008));
    wire::put32(mac + 4, word(0x000C));
    std::copy(mac + 2, mac + 8, b.mac);
    b.ipConfigSupported = word(0x0010);
    b.ipConfigCurrent = word(0x0014);
    b.currentIp = word(reg::CURRENT_IP);
    b.subnetMask = word(0x0034);
    b.gateway = word(0x0044);
    b.manufacturer = text(reg::MANUFACTURER, 32);
    b.model = text(reg::MODEL, 32);
    b.deviceVersion = text(reg::DEVICE_VERSION, 32);
    b.manufacturerInfo = text(reg::MANUFACTURER_INFO, 48);
    b.serial = text(reg::SERIAL, 16);
    b.userName = text(reg::USER_NAME, 16);
    return b;
}

std::string RegisterModel::fileServer() const {
    return text(reg::FILE_SERVER, 16);
}

std::string RegisterModel::firmwareVersion() const {
    return text(reg::DEVICE_VERSION, 32);
}

void RegisterModel::setFirmwareVersion(const std::string& version) {
    Region* r = find(reg::DEVICE_VERSION, 32);
    std::fill(r->bytes.begin(), r->bytes.end(), 0);
    std::copy_n(version.begin(), std::min<std::size_t>(version.size(), 31), r->bytes.begin());
}

void RegisterModel::emit(EventKind kind, int level, std::string line) {
    m_events.push_back(Event{std::chrono::system_clock::now(), {}, kind, level, std::move(line)});
}

std::vector<Event> RegisterModel::takeEvents() {
    std::vector<Event> out;
    out.swap(m_events);
    return out;
}

Action RegisterModel::takeAction() {
    Action a = m_action;
    m_action = Action{};
    return a;
}

void RegisterModel::setStatus(std::uint8_t state, std::uint8_t percent) {
    if (state != m_state)
        emit(EventKind::State, 1,
             "status " + std::to_string(state) + " (" + std::to_string(percent) + "%)");
    m_state = state;
    m_percent = percent;
    store(reg::UPGRADE_STATUS, std::uint32_t{percent} << 8 | state);
}

std::uint16_t RegisterModel::admit(const Peer& from, bool write, TimePoint now) {
    tick(now);
    if (!controlled())
        return GEV_SUCCESS;
    if (from == m_controller) {
        m_lastSeen = now;
        return GEV_SUCCESS;
    }
    // Others may watch a controlled camera, unless control is exclusive.
    if (write || (m_ccp & 0x1) != 0)
        return GEV_ACCESS_DENIED;
    return GEV_SUCCESS;
}

void RegisterModel::tick(TimePoint now) {
    if (!controlled())
        return;
    auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_lastSeen);
    if (silent.count() > static_cast<long long>(m_heartbeatMs)) {
        emit(EventKind::Control, 1,
             "control lost: " + m_controller.text() + " silent for " +
                 std::to_string(silent.count()) + " ms (heartbeat " +
                 std::to_string(m_heartbeatMs) + " ms)");
        m_ccp = 0;
        m_controller = Peer{};
        store(reg::CCP, 0);
    }
}

void RegisterModel::restart() {
    if (controlled())
        emit(EventKind::Control, 1, "control released by restart");
    m_ccp = 0;
    m_controller = Peer{};
    m_heartbeatMs = DEFAULT_HEARTBEAT_MS;
    store(reg::CCP, 0);
    store(reg::HEARTBEAT_TIMEOUT, DEFAULT_HEARTBEAT_MS);
    Region* fs = find(reg::FILE_SERVER, 16);
    std::fill(fs->bytes.begin(), fs->bytes.end(), 0);
    store(reg::UPGRADE_CMD, 0);
}

std::uint16_t RegisterModel::readReg(std::uint32_t addr, const Peer& from, TimePoint now,
                                     std::uint32_t* value) {
    if (std::uint16_t st = admit(from, false, now))
        return st;
    if (addr % 4 != 0)
        return GEV_BAD_ALIGNMENT;
    Region* r = find(addr, 4);
    if (r == nullptr)
        return GEV_INVALID_ADDRESS;
    *value = wire::get32(r->bytes.data() + (addr - r->addr));
    return GEV_SUCCESS;
}

std::uint16_t RegisterModel::readMem(std::uint32_t addr, std::uint32_t count, const Peer& from,
                                     TimePoint now, std::vector<std::uint8_t>* out) {
    if (std::uint16_t st = admit(from, false, now))
        return st;
    if (addr % 4 != 0 || count % 4 != 0)
        return GEV_BAD_ALIGNMENT;
    out->clear();
    // A read may run across neighbouring registers, but never into a hole.
    for (std::uint32_t off = 0; off < count; off += 4) {
        Region* r = find(addr + off, 4);
        if (r == nullptr)
            return GEV_INVALID_ADDRESS;
        const auto* p = r->bytes.data() + (addr + off - r->addr);
        out->insert(out->end(), p, p + 4);
    }
    return GEV_SUCCESS;
}

std::uint16_t RegisterModel::writeReg(std::uint32_t addr, std::uint32_t value, const Peer& from,
                                      TimePoint now) {
    if (std::uint16_t st = admit(from, true, now)) {
        if (addr == reg::CCP)
            emit(EventKind::Control, 1,
                 "control refused to " + from.text() + ": held by " + m_controller.text());
        return st;
    }
    if (addr % 4 != 0)
        return GEV_BAD_ALIGNMENT;
    return writeWord(addr, value, from, now);
}

std::uint16_t RegisterModel::writeMem(std::uint32_t addr, const std::uint8_t* data,
                                      std::size_t count, const Peer& from, TimePoint now) {
    if (std::uint16_t st = admit(from, true, now))
        return st;
    if (addr % 4 != 0 || count % 4 != 0)
        return GEV_BAD_ALIGNMENT;
    // All or nothing: check every word before the first one changes.
    for (std::size_t off = 0; off < count; off += 4) {
        Region* r = find(addr + static_cast<std::uint32_t>(off), 4);
        if (r == nullptr)
            return GEV_INVALID_ADDRESS;
        if (!r->writable)
            return GEV_WRITE_PROTECT;
    }
    for (std::size_t off = 0; off < count; off += 4) {
        std::uint16_t st = writeWord(addr + static_cast<std::uint32_t>(off), wire::get32(data + off), from, now);
        if (st != GEV_SUCCESS)
            return st;
    }
    return GEV_SUCCESS;
}

std::uint16_t RegisterModel::writeWord(std::uint32_t addr, std::uint32_t value, const Peer& from,
                                       TimePoint now) {
    Region* r = find(addr, 4);
    if (r == nullptr)
        return GEV_INVALID_ADDRESS;
    if (!r->writable)
        return GEV_WRITE_PROTECT;

    switch (addr) {
    case reg::CCP:
        if ((value & 0x3) != 0 && m_refuseControl) {
            emit(EventKind::Fault, 1, "control refused to " + from.text() + " (refuse-control)");
            return GEV_ACCESS_DENIED;
        }
        if ((value & 0x3) != 0 && !controlled()) {
            m_controller = from;
            m_lastSeen = now;
            emit(EventKind::Control, 1, "control taken by " + from.text());
        } else if ((value & 0x3) == 0 && controlled()) {
            emit(EventKind::Control, 1, "control released by " + from.text());
            m_controller = Peer{};
        }
        m_ccp = value & 0x3;
        store(addr, m_ccp);
        return GEV_SUCCESS;
    case reg::HEARTBEAT_TIMEOUT:
        if (value == 0)
            return GEV_INVALID_PARAMETER;
        m_heartbeatMs = value;
        store(addr, value);
        return GEV_SUCCESS;
    case reg::PRE_UPGRADE_CLEAR:
        store(addr, value);
        if (!m_busy)
            setStatus(STATE_IDLE, 0);
        return GEV_SUCCESS;
    case reg::UPGRADE_CMD: {
        store(addr, value);
        if (value != 1)
            return GEV_SUCCESS;
        if (m_busy)
            return GEV_BUSY;
        std::string server = fileServer();
        emit(EventKind::Upgrade, 1, "upgrade command from " + from.text() + ", file server '" + server + "'");
        in_addr parsed{};
        if (::inet_pton(AF_INET, server.c_str(), &parsed) != 1) {
            setStatus(1, 0);  // the file-server address is no address
            return GEV_SUCCESS;
        }
        m_busy = true;
        setStatus(4, 0);
        m_action = Action{Action::START_UPGRADE, server};
        return GEV_SUCCESS;
    }
    case reg::DEVICE_RESET:
        if (value != 1)
            return GEV_SUCCESS;
        if (m_busy)
            return GEV_BUSY;
        m_busy = true;
        m_action = Action{Action::RESTART, {}};
        return GEV_SUCCESS;
    default:
        store(addr, value);
        return GEV_SUCCESS;
    }
}

}  // namespace camsim
