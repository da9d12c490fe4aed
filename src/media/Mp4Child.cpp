#include "media/Mp4Child.h"

namespace vessaro::mp4 {

std::optional<Children> childrenOf(const Bytes& bytes, std::size_t begin, std::size_t end)
{
    Children children;
    for (std::size_t at = begin; at < end;) {
        if (end - at < 8)
            return std::nullopt;
        std::uint64_t size = be32(&bytes[at]);
        std::size_t header = 8;
        if (size == 1) {
            if (end - at < 16)
                return std::nullopt;
            size = be64(&bytes[at + 8]);
            header = 16;
        }
        if (size < header || size > end - at)
            return std::nullopt;
        children.push_back({ be32(&bytes[at + 4]), at, at + header, at + std::size_t(size) });
        at += std::size_t(size);
    }
    return children;
}
std::optional<Children> childrenOf(const Bytes& bytes, const Child& parent)
{
    return childrenOf(bytes, parent.payload, parent.end);
}
const Child* find(const Children& children, std::uint32_t type)
{
    for (const Child& child : children) {
        if (child.type == type)
            return &child;
    }
    return nullptr;
}

Bytes copyOf(const Bytes& bytes, const Child& child)
{
    return Bytes(bytes.begin() + std::ptrdiff_t(child.begin), bytes.begin() + std::ptrdiff_t(child.end));
}

} // namespace vessaro::mp4
