#pragma once

#include "media/Mp4Bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vessaro::mp4 {

// A box inside a box held in memory: [begin, end), its payload from `payload`.
// A plain value; the functions below touch only their arguments, any thread.
struct Child {
    std::uint32_t type = 0;
    std::size_t begin = 0;
    std::size_t payload = 0;
    std::size_t end = 0;
};
using Children = std::vector<Child>;

// The boxes in [begin, end) of `bytes`; none when one of them overruns.
std::optional<Children> childrenOf(const Bytes& bytes, std::size_t begin, std::size_t end);
std::optional<Children> childrenOf(const Bytes& bytes, const Child& parent);
// The first child of `type`, or null.
const Child* find(const Children& children, std::uint32_t type);
// The child's bytes, header and all.
Bytes copyOf(const Bytes& bytes, const Child& child);

} // namespace vessaro::mp4
