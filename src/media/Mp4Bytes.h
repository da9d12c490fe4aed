#pragma once

#include <cstdint>
#include <vector>

// The byte-level vocabulary of MPEG-4 boxes: big-endian fields and box types.
// Plain functions; any thread.
namespace vessaro::mp4 {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t fourcc(const char (&code)[5])
{
    return std::uint32_t(std::uint8_t(code[0])) << 24 | std::uint32_t(std::uint8_t(code[1])) << 16
        | std::uint32_t(std::uint8_t(code[2])) << 8 | std::uint32_t(std::uint8_t(code[3]));
}

constexpr std::uint32_t kFtyp = fourcc("ftyp"), kMoov = fourcc("moov"), kMoof = fourcc("moof"), kMdat = fourcc("mdat"),
                        kMvhd = fourcc("mvhd"), kTrak = fourcc("trak"), kTkhd = fourcc("tkhd"), kEdts = fourcc("edts"),
                        kMdia = fourcc("mdia"), kMdhd = fourcc("mdhd"), kMinf = fourcc("minf"), kStbl = fourcc("stbl"),
                        kStsd = fourcc("stsd"), kStts = fourcc("stts"), kStsc = fourcc("stsc"), kStsz = fourcc("stsz"),
                        kStco = fourcc("stco"), kCo64 = fourcc("co64"), kMvex = fourcc("mvex"), kTrex = fourcc("trex"),
                        kTraf = fourcc("traf"), kTfhd = fourcc("tfhd"), kTfdt = fourcc("tfdt"), kTrun = fourcc("trun");

inline std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}
inline std::uint64_t be64(const std::uint8_t* p)
{
    return std::uint64_t(be32(p)) << 32 | be32(p + 4);
}
inline void put32(Bytes& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(v >> shift));
}
inline void put64(Bytes& out, std::uint64_t v)
{
    put32(out, std::uint32_t(v >> 32));
    put32(out, std::uint32_t(v));
}

// The header of a box with `payloadBytes` after it: 64-bit sized when 32 bits
// cannot hold the size, never cut to fit.
inline void putBoxHeader(Bytes& out, std::uint32_t type, std::uint64_t payloadBytes)
{
    if (payloadBytes + 8 <= 0xFFFFFFFFu) {
        put32(out, std::uint32_t(payloadBytes + 8));
        put32(out, type);
        return;
    }
    put32(out, 1);
    put32(out, type);
    put64(out, payloadBytes + 16);
}

inline Bytes makeBox(std::uint32_t type, const Bytes& payload)
{
    Bytes box;
    box.reserve(payload.size() + 16);
    putBoxHeader(box, type, payload.size());
    box.insert(box.end(), payload.begin(), payload.end());
    return box;
}

} // namespace vessaro::mp4
