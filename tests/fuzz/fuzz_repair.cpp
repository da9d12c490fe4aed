// Hostile leftovers through the repair that runs at start-up on whatever a
// crash left in the temporary folder, then through validation, as the
// recovery does.

#include "MemoryFile.h"

#include "files/RecordingFile.h"
#include "media/Mp4Flattener.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vessaro::fuzz::MemoryFile file;
    file.replace(data, size);
    if (vessaro::Mp4Flattener::flatten(file.fd()))
        (void)vessaro::RecordingFile::validate(file.path());
    return 0;
}
