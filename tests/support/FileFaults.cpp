#include "support/TestSupport.h"

#include <QFileInfo>

#include <atomic>
#include <string>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

using namespace vessaro::test;

namespace {

// Written only while disarmed; read only once `armed` reads true.
std::string armedPath;
FileFault armedFault { FileCall::close };
std::atomic<bool> armed { false };
std::atomic<int> calls { 0 };

// Whether the call fails (errno set), after its stall. Asked before the call: a closed descriptor names no file.
bool fails(FileCall call, int fd)
{
    char link[4096];
    const ssize_t length = armed.load(std::memory_order_acquire) && armedFault.call == call
        ? ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link)
        : -1;
    if (length < 0 || armedPath.compare(0, std::string::npos, link, std::size_t(length)) != 0)
        return false;
    const int index = calls.fetch_add(1) - armedFault.after;
    if (index < 0 || (armedFault.times >= 0 && index >= armedFault.times))
        return false;
    std::this_thread::sleep_for(armedFault.stall);
    errno = armedFault.error;
    return armedFault.error != 0;
}

} // namespace

void vessaro::test::armFileFault(const QString& path, const FileFault& fault)
{
    disarmFileFault();
    armedPath = QFile::encodeName(QFileInfo(path).canonicalFilePath()).toStdString();
    armedFault = fault;
    calls = 0;
    armed.store(true, std::memory_order_release);
}

void vessaro::test::disarmFileFault()
{
    armed.store(false, std::memory_order_release);
}

extern "C" int close(int fd)
{
    const bool failed = fails(FileCall::close, fd);
    const long result = ::syscall(SYS_close, fd); // gone even when closing fails, as with the kernel's errors
    return failed ? -1 : int(result);
}

extern "C" ssize_t pread(int fd, void* data, std::size_t size, off_t offset)
{
    return fails(FileCall::pread, fd) ? -1 : ::syscall(SYS_pread64, fd, data, size, offset);
}

extern "C" int fdatasync(int fd)
{
    return fails(FileCall::fdatasync, fd) ? -1 : int(::syscall(SYS_fdatasync, fd));
}
