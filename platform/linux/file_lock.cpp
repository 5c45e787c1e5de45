#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace vexu {

FileLock::~FileLock() { Unlock(); }

void FileLock::Unlock() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

FileLock::Result FileLock::TryLock(const std::filesystem::path& path, std::string& text) {
    Unlock();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        text = std::strerror(errno);
        return Result::kFailed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno;
        if (reason == EWOULDBLOCK) {
            // The holder's note, as far as it can be read.
            char note[256];
            const ssize_t n = ::pread(fd, note, sizeof note - 1, 0);
            text.assign(note, n > 0 ? static_cast<size_t>(n) : 0);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
        } else {
            text = std::strerror(reason);
        }
        ::close(fd);
        return reason == EWOULDBLOCK ? Result::kHeld : Result::kFailed;
    }
    // The note is only for the message of whoever is refused; a lock
    // whose note cannot be written still locks.
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    const std::string holder =
        "process " + std::to_string(::getpid()) + (host[0] ? std::string(" on ") + host : std::string()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        const ssize_t written = ::pwrite(fd, holder.data(), holder.size(), 0);
        (void)written;
    }
    fd_ = fd;
    return Result::kLocked;
}

bool FileLock::Wait(const std::filesystem::path& path, std::string& text, uint64_t timeoutUs) {
    Unlock();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        text = std::strerror(errno);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    auto pause = std::chrono::microseconds(20);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            text = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            text = "another process has held it for " + std::to_string(timeoutUs / 1'000'000) +
                   " s (one stopped while it was writing?)";
            ::close(fd);
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(500));
    }
    fd_ = fd;
    return true;
}

}  // namespace vexu
