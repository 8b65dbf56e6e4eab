// Big-endian fields over byte buffers, with every access bounds-checked.
// Wire formats are built and parsed with these, never by casting a buffer to
// a struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wire {

inline void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
inline std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t get32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

// The bounds Reader and Writer keep: a position that never passes the end,
// and ok() that stays false from the first field that did not fit.
template <typename Byte>
class Cursor {
public:
    bool ok() const { return m_ok; }

protected:
    Cursor(Byte* p, std::size_t size) : m_p(p), m_size(size) {}

    // Moves over n bytes; false (and nothing moved) when fewer remain.
    bool take(std::size_t n) {
        if (!m_ok || n > m_size - m_pos) {
            m_ok = false;
            return false;
        }
        m_pos += n;
        return true;
    }

    Byte* m_p;
    std::size_t m_size;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

// Reads fields in order; once a read would pass the end, ok() is false and
// every later read yields zero.
class Reader : public Cursor<const std::uint8_t> {
public:
    Reader(const void* data, std::size_t size)
        : Cursor(static_cast<const std::uint8_t*>(data), size) {}

    std::uint8_t u8() { return take(1) ? m_p[m_pos - 1] : 0; }
    std::uint16_t u16() { return take(2) ? get16(m_p + m_pos - 2) : 0; }
    std::uint32_t u32() { return take(4) ? get32(m_p + m_pos - 4) : 0; }
    // Copies n bytes out; false (and nothing copied) when fewer remain.
    bool bytes(void* out, std::size_t n) {
        if (!take(n))
            return false;
        std::memcpy(out, m_p + m_pos - n, n);
        return true;
    }
    bool skip(std::size_t n) { return take(n); }

    std::size_t remaining() const { return m_ok ? m_size - m_pos : 0; }
    std::size_t position() const { return m_pos; }
    const std::uint8_t* current() const { return m_p + m_pos; }
};

// Writes fields in order into a fixed buffer; ok() is false once a write
// did not fit (nothing past the end is touched).
class Writer : public Cursor<std::uint8_t> {
public:
    Writer(void* data, std::size_t size) : Cursor(static_cast<std::uint8_t*>(data), size) {}

    void u8(std::uint8_t v) {
        if (take(1))
            m_p[m_pos - 1] = v;
    }
    void u16(std::uint16_t v) {
        if (take(2))
            put16(m_p + m_pos - 2, v);
    }
    void u32(std::uint32_t v) {
        if (take(4))
            put32(m_p + m_pos - 4, v);
    }
    void bytes(const void* data, std::size_t n) {
        if (take(n) && n > 0)
            std::memcpy(m_p + m_pos - n, data, n);
    }

    std::size_t size() const { return m_pos; }
};

}  // namespace wire
