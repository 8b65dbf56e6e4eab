#include "wire/Gvcp.h"

#include "wire/ByteCodec.h"

#include <algorithm>
#include <cstdio>

namespace wire {
namespace gvcp {

namespace {

// Field sizes of the bootstrap block, in the order they lie from 0x0048.
constexpr std::size_t NAME_FIELD = 32;
constexpr std::size_t INFO_FIELD = 48;
constexpr std::size_t SHORT_FIELD = 16;
// Reserved words between the address fields (0x0018, 0x0028, 0x0038).
constexpr std::size_t GAP = 12;

void putText(Writer& w, const std::string& text, std::size_t field) {
    std::uint8_t buf[INFO_FIELD] = {};
    std::copy_n(text.begin(), std::min(text.size(), field - 1), buf);
    w.bytes(buf, field);
}

std::string getText(Reader& r, std::size_t field) {
    std::uint8_t buf[INFO_FIELD] = {};
    r.bytes(buf, field);
    const std::uint8_t* end = std::find(buf, buf + field, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(end - buf));
}

void putGap(Writer& w) {
    const std::uint8_t zeros[GAP] = {};
    w.bytes(zeros, GAP);
}

Bytes withHeader(std::size_t headerSize, const Bytes& payload) {
    Bytes out(headerSize + payload.size());
    std::copy(payload.begin(), payload.end(), out.begin() + static_cast<std::ptrdiff_t>(headerSize));
    return out;
}

}  // namespace

Bytes encodeCommand(std::uint8_t flags, std::uint16_t command, std::uint16_t reqId, const Bytes& payload) {
    Bytes out = withHeader(HEADER_SIZE, payload);
    Writer w(out.data(), out.size());
    w.u8(KEY);
    w.u8(flags);
    w.u16(command);
    w.u16(static_cast<std::uint16_t>(payload.size()));
    w.u16(reqId);
    return out;
}

bool decodeCommand(const std::uint8_t* p, std::size_t n, CommandHeader* h) {
    Reader r(p, n);
    std::uint8_t key = r.u8();
    h->flags = r.u8();
    h->command = r.u16();
    h->length = r.u16();
    h->reqId = r.u16();
    return r.ok() && key == KEY;
}

Bytes encodeAck(std::uint16_t status, std::uint16_t answer, std::uint16_t ackId, const Bytes& payload) {
    Bytes out = withHeader(HEADER_SIZE, payload);
    Writer w(out.data(), out.size());
    w.u16(status);
    w.u16(answer);
    w.u16(static_cast<std::uint16_t>(payload.size()));
    w.u16(ackId);
    return out;
}

bool decodeAck(const std::uint8_t* p, std::size_t n, AckHeader* h, Bytes* payload) {
    Reader r(p, n);
    h->status = r.u16();
    h->answer = r.u16();
    h->length = r.u16();
    h->ackId = r.u16();
    if (!r.ok() || h->length > r.remaining())
        return false;
    payload->assign(r.current(), r.current() + h->length);
    return true;
}

Bytes encodeDiscovery(std::uint16_t reqId) {
    return encodeCommand(FLAG_ACK_REQUIRED | FLAG_BROADCAST_ACK, DISCOVERY_CMD, reqId, {});
}

Bytes encodeReadReg(std::uint16_t reqId, std::uint32_t address) {
    Bytes payload(4);
    put32(payload.data(), address);
    return encodeCommand(FLAG_ACK_REQUIRED, READREG_CMD, reqId, payload);
}

Bytes encodeReadMem(std::uint16_t reqId, std::uint32_t address, std::uint16_t count) {
    Bytes payload(8);
    Writer w(payload.data(), payload.size());
    w.u32(address);
    w.u16(0);
    w.u16(count);
    return encodeCommand(FLAG_ACK_REQUIRED, READMEM_CMD, reqId, payload);
}

std::uint16_t pendingMs(const Bytes& payload) {
    Reader r(payload.data(), payload.size());
    r.u16();
    std::uint16_t ms = r.u16();
    return r.ok() ? ms : 0;
}

Bytes encodeBootstrap(const Bootstrap& b) {
    Bytes out(BOOTSTRAP_SIZE);
    Writer w(out.data(), out.size());
    w.u32(b.version);
    w.u32(b.deviceMode);
    w.u16(0);
    w.bytes(b.mac, sizeof b.mac);
    w.u32(b.ipConfigSupported);
    w.u32(b.ipConfigCurrent);
    putGap(w);
    w.u32(b.currentIp);
    putGap(w);
    w.u32(b.subnetMask);
    putGap(w);
    w.u32(b.gateway);
    putText(w, b.manufacturer, NAME_FIELD);
    putText(w, b.model, NAME_FIELD);
    putText(w, b.deviceVersion, NAME_FIELD);
    putText(w, b.manufacturerInfo, INFO_FIELD);
    putText(w, b.serial, SHORT_FIELD);
    putText(w, b.userName, SHORT_FIELD);
    return out;
}

bool decodeBootstrap(const std::uint8_t* p, std::size_t n, Bootstrap* out) {
    if (n < BOOTSTRAP_SIZE)
        return false;
    Reader r(p, BOOTSTRAP_SIZE);
    out->version = r.u32();
    out->deviceMode = r.u32();
    r.skip(2);
    r.bytes(out->mac, sizeof out->mac);
    out->ipConfigSupported = r.u32();
    out->ipConfigCurrent = r.u32();
    r.skip(GAP);
    out->currentIp = r.u32();
    r.skip(GAP);
    out->subnetMask = r.u32();
    r.skip(GAP);
    out->gateway = r.u32();
    out->manufacturer = getText(r, NAME_FIELD);
    out->model = getText(r, NAME_FIELD);
    out->deviceVersion = getText(r, NAME_FIELD);
    out->manufacturerInfo = getText(r, INFO_FIELD);
    out->serial = getText(r, SHORT_FIELD);
    out->userName = getText(r, SHORT_FIELD);
    return r.ok();
}

std::string macText(const std::uint8_t mac[6]) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return buf;
}

std::string ipText(std::uint32_t a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return buf;
}

}  // namespace gvcp
}  // namespace wire
