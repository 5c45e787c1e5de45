// The lock file on Windows: a byte far past the holder's note is locked
// (LockFileEx), so that whoever is refused can still read the note. The
// system gives the lock up when the process ends however it ends.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/file_lock.h"

namespace vexu {

namespace {

// The locked byte: at 4 GiB, where no note reaches.
OVERLAPPED LockedByte() {
    OVERLAPPED at{};
    at.Offset = 0;
    at.OffsetHigh = 1;
    return at;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

std::string SystemText(DWORD code) {
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                       nullptr) == 0)
        return "system error " + std::to_string(code);
    std::string out = text;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

}  // namespace

FileLock::~FileLock() { Unlock(); }

void FileLock::Unlock() {
    if (fd_ < 0) return;
    OVERLAPPED at = LockedByte();
    UnlockFileEx(HandleOf(fd_), 0, 1, 0, &at);
    _close(fd_);
    fd_ = -1;
}

FileLock::Result FileLock::TryLock(const std::filesystem::path& path, std::string& text) {
    Unlock();
    const int fd = _wopen(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        text = std::strerror(errno);
        return Result::kFailed;
    }
    OVERLAPPED at = LockedByte();
    if (!LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD reason = GetLastError();
        const bool held = reason == ERROR_LOCK_VIOLATION || reason == ERROR_IO_PENDING;
        if (held) {
            // The holder's note, as far as it can be read.
            char note[256];
            const int n = _lseek(fd, 0, SEEK_SET) == 0 ? _read(fd, note, sizeof note - 1) : -1;
            text.assign(note, n > 0 ? static_cast<size_t>(n) : 0);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
        } else {
            text = SystemText(reason);
        }
        _close(fd);
        return held ? Result::kHeld : Result::kFailed;
    }
    // The note is only for the message of whoever is refused; a lock
    // whose note cannot be written still locks.
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD hostSize = sizeof host;
    if (!GetComputerNameA(host, &hostSize)) host[0] = '\0';
    const std::string holder = "process " + std::to_string(GetCurrentProcessId()) +
                               (host[0] ? std::string(" on ") + host : std::string()) + "\n";
    if (_chsize(fd, 0) == 0 && _lseek(fd, 0, SEEK_SET) == 0) {
        const int written = _write(fd, holder.data(), static_cast<unsigned>(holder.size()));
        (void)written;
    }
    fd_ = fd;
    return Result::kLocked;
}

bool FileLock::Wait(const std::filesystem::path& path, std::string& text, uint64_t timeoutUs) {
    Unlock();
    const int fd = _wopen(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        text = std::strerror(errno);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    auto pause = std::chrono::microseconds(20);
    for (;;) {
        OVERLAPPED at = LockedByte();
        if (LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
        const DWORD failure = GetLastError();
        if (failure != ERROR_LOCK_VIOLATION && failure != ERROR_IO_PENDING) {
            text = SystemText(failure);
            _close(fd);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            text = "another process has held it for " + std::to_string(timeoutUs / 1'000'000) +
                   " s (one stopped while it was writing?)";
            _close(fd);
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(500));
    }
    fd_ = fd;
    return true;
}

}  // namespace vexu
