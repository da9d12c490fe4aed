// Hostile MP4 files, as a user might export or find them, through the check
// that every finished recording passes before it is offered.

#include "MemoryFile.h"

#include "files/RecordingFile.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The demuxer's complaints about broken files would drown the fuzzer's output.
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vessaro::fuzz::MemoryFile file;
    file.replace(data, size);
    (void)vessaro::RecordingFile::validate(file.path());
    return 0;
}
