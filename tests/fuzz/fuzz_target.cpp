// Hostile MP4 files through the check that every finished recording passes
// before it is offered (fuzz_validate), or, as whatever a crash left in the
// temporary folder, through the repair at start-up and then validation, as
// the recovery does (fuzz_repair, built with VESSARO_FUZZ_REPAIR).

#include "MemoryFile.h"

#include "files/RecordingFile.h"
#include "media/Mp4Flattener.h"
#include "media/PlatformMedia.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // As the program does; the demuxer's complaints would drown the fuzzer's output.
    vessaro::PlatformMedia::silenceLogging();
    vessaro::PlatformMedia::limitAllocations();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vessaro::fuzz::MemoryFile file;
    file.replace(data, size);
#ifdef VESSARO_FUZZ_REPAIR
    if (!vessaro::Mp4Flattener::flatten(file.fd()))
        return 0;
#endif
    (void)vessaro::RecordingFile::validate(file.path());
    return 0;
}
