#pragma once

#include "base/FileDescriptor.h"
#include "base/Result.h"

#include <QString>

#include <optional>

namespace vessaro {

// An exclusive flock(2) on one file, held while the object lives: whoever
// holds the file holds its lock, and handing the file over means moving this
// object along. The lock belongs to the open file description, so a second
// lock on the same file fails even within this process, and the kernel drops
// it when the process dies however it dies.
//
// The descriptor is open for reading and writing; a holder may repair the
// file through it. Move-only; any thread but the audio thread.
class FileLock {
public:
    // Holds nothing.
    FileLock() = default;

    // Creates `path`, which must not exist (mode 0600), and locks it before
    // anyone else can. Fails with the file system's error.
    static Result<FileLock> createNew(const QString& path);
    // Locks the existing regular file at `path` if nobody holds it: none when
    // another holder has it, an error when it cannot be opened. Symbolic
    // links are not followed.
    static Result<std::optional<FileLock>> tryToLock(const QString& path);

    bool isHeld() const { return m_file.isOpen(); }
    // The locked file's descriptor (-1 when nothing is held); owned by the lock.
    int fd() const { return m_file.get(); }
    // Unlocks and closes.
    void release() { (void)m_file.close(); }

private:
    explicit FileLock(FileDescriptor file)
        : m_file(std::move(file))
    { }

    FileDescriptor m_file;
};

} // namespace vessaro
