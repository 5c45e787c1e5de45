// The lock by which one program holds a file against every other (a second
// station on the same serial-number state file).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace vexu {

// An exclusive lock (flock on Linux, LockFileEx on Windows) on a lock file, held for as long as the
// object holds it, and given up by the system when the process ends however
// it ends. The lock file is never replaced, so the lock stays good while
// the file it guards is replaced whole (WriteFileWhole).
class FileLock {
public:
    enum class Result { kLocked, kHeld, kFailed };

    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock without waiting, creating the file when needed, and
    // writes who holds it into it ("process 4711 on station-3").
    // kHeld: another holder has it; text then holds what that holder wrote.
    // kFailed: the file cannot be made or locked; text holds the reason.
    Result TryLock(const std::filesystem::path& path, std::string& text);
    // Takes the lock, waiting while another holder has it, but not longer
    // than timeoutUs (real time): a holder that no longer runs (a process
    // stopped while it held the lock) must not hold up this one for good.
    // It looks again after a short pause that grows from 20 µs to 0.5 ms,
    // so that the next writer follows a short hold closely. Writes no note.
    // False with the reason when the file cannot be made or locked, or
    // stayed held for the whole time.
    bool Wait(const std::filesystem::path& path, std::string& text, uint64_t timeoutUs = 10'000'000);
    bool Held() const { return fd_ >= 0; }
    void Unlock();

private:
    int fd_ = -1;
};

}  // namespace vexu
