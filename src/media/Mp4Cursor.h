#pragma once

#include "media/Mp4Bytes.h"
#include "media/Mp4Child.h"

#include <cstddef>
#include <cstdint>

namespace vessaro::mp4 {

// Bounds-checked big-endian reads from one box. One thread at a time.
class Cursor {
public:
    Cursor(const Bytes& bytes, const Child& box)
        : m_bytes(bytes)
        , m_at(box.payload)
        , m_end(box.end)
    { }
    bool u32(std::uint32_t& value)
    {
        if (m_end - m_at < 4)
            return false;
        value = be32(&m_bytes[m_at]);
        m_at += 4;
        return true;
    }
    bool u64(std::uint64_t& value)
    {
        if (m_end - m_at < 8)
            return false;
        value = be64(&m_bytes[m_at]);
        m_at += 8;
        return true;
    }
    // A 32-bit field in version 0, a 64-bit one in version 1.
    bool sized(bool wide, std::uint64_t& value)
    {
        std::uint32_t narrow = 0;
        if (wide)
            return u64(value);
        if (!u32(narrow))
            return false;
        value = narrow;
        return true;
    }
    bool skip(std::size_t bytes)
    {
        if (m_end - m_at < bytes)
            return false;
        m_at += bytes;
        return true;
    }
    std::size_t left() const { return m_end - m_at; }

private:
    const Bytes& m_bytes;
    std::size_t m_at;
    std::size_t m_end;
};

} // namespace vessaro::mp4
