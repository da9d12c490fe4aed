#include "media/Mp4Box.h"

#include "media/Mp4FileIo.h"

namespace vessaro::mp4 {
namespace {
// Index boxes beyond this are not ours; reading one would only waste memory.
constexpr std::int64_t kMaximumIndexBytes = 256LL << 20;
} // namespace

Result<std::vector<Box>> scanTopLevel(WindowedReader& reader, std::int64_t fileBytes)
{
    std::vector<Box> boxes;
    std::uint8_t head[16];
    for (std::int64_t at = 0; fileBytes - at >= 8;) {
        if (const int error = reader.read(at, head, 8); error != 0)
            return readError(error);
        Box box { be32(head + 4), at, std::int64_t(be32(head)), 8 };
        if (box.size == 1) {
            if (fileBytes - at < 16)
                break;
            if (const int error = reader.read(at + 8, head + 8, 8); error != 0)
                return readError(error);
            box.size = std::int64_t(be64(head + 8));
            box.header = 16;
        }
        // Size 0 ("to the end of the file") is never written here: a torn header.
        if (box.size < box.header || box.size > fileBytes - at)
            break;
        boxes.push_back(box);
        at = box.end();
    }
    return boxes;
}

Result<Bytes> readBox(WindowedReader& reader, const Box& box)
{
    if (box.size > kMaximumIndexBytes)
        return nothingWhole();
    Bytes bytes(std::size_t(box.size));
    if (const int error = reader.read(box.offset, bytes.data(), bytes.size()); error != 0)
        return readError(error);
    return bytes;
}

} // namespace vessaro::mp4
