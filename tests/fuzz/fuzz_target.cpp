// Hostile MP4 files through the check every finished recording passes (fuzz_validate) or, as a crash's
// leftover, through the repair at start-up and then that check (fuzz_repair, with VESSARO_FUZZ_REPAIR).

#include "base/FileDescriptor.h"
#include "files/RecordingFile.h"
#include "media/Mp4Flattener.h"
#include "media/PlatformMedia.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // As the program does; the demuxer's complaints would drown the fuzzer's output.
    vessaro::PlatformMedia::silenceLogging();
    vessaro::PlatformMedia::limitAllocations();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // In memory: no disk traffic, and nothing left behind when a run is killed.
    static const vessaro::FileDescriptor file(::memfd_create("fuzz-input.mp4", MFD_CLOEXEC));
    if (!file.isOpen() || ::ftruncate(file.get(), 0) != 0 || ::pwrite(file.get(), data, size, 0) != ssize_t(size))
        std::abort();
#ifdef VESSARO_FUZZ_REPAIR
    if (!vessaro::Mp4Flattener::flatten(file.get()))
        return 0;
#endif
    (void)vessaro::RecordingFile::validate(QStringLiteral("/proc/self/fd/") + QString::number(file.get()));
    return 0;
}
