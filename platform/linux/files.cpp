#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace vexu {

namespace {

std::string Reason(int error) { return std::strerror(error); }

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a plain file";
}

std::string TooLarge(const std::string& path, const char* what, const std::string& size, uint64_t maxBytes) {
    return std::string("the ") + what + " " + path + " has " + size + " bytes, more than the largest " + what +
           " (" + std::to_string(maxBytes) + " bytes)";
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now; false (errno set) when the close reports a failed write.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool WriteAll(int fd, const char* data, size_t size, int& error) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        if (n == 0) {
            error = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A name next to the target that no other writer of this process or any
// other uses at the same time.
std::string TemporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

}  // namespace

bool ReadUserFile(const std::string& path, uint64_t maxBytes, const char* what, std::vector<uint8_t>& bytes,
                  std::string& error) {
    if (path.empty()) {
        error = std::string("no file named for the ") + what + " (an empty path)";
        return false;
    }
    // Opening never blocks, not even on a pipe nobody writes to; what is
    // not a regular file is refused before anything is read from it.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0) {
        error = std::string("cannot open the ") + what + " " + path + ": " + Reason(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        error = std::string("cannot read the ") + what + " " + path + ": " + Reason(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = std::string("the ") + what + " " + path + " is not a regular file (" + KindOf(status.st_mode) + ")";
        return false;
    }
    if (static_cast<uint64_t>(status.st_size) > maxBytes) {
        error = TooLarge(path, what, std::to_string(status.st_size), maxBytes);
        return false;
    }
    // The size the file has now, read to its end but never beyond the
    // limit: a file that grows while it is read is refused all the same.
    std::vector<uint8_t> content;
    content.reserve(static_cast<size_t>(status.st_size));
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(file.Get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::string("cannot read the ") + what + " " + path + ": " + Reason(errno);
            return false;
        }
        if (n == 0) break;
        if (content.size() + static_cast<size_t>(n) > maxBytes) {
            error = TooLarge(path, what, "over " + std::to_string(maxBytes), maxBytes);
            return false;
        }
        content.insert(content.end(), chunk, chunk + n);
    }
    bytes = std::move(content);
    return true;
}

bool WriteFileWhole(const std::string& path, std::string_view bytes, std::string& error) {
    if (path.empty()) {
        error = "no file named to write (an empty path)";
        return false;
    }
    // The new file takes the permissions of the one it replaces; a new one
    // gets the usual 0666 less the umask.
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) ? existing.st_mode & 07777
                                                                                          : 0666;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = TemporaryName(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        error = "cannot write " + path + ": " + Reason(errno);
        return false;
    }
    Descriptor file(fd);
    if (S_ISREG(existing.st_mode)) (void)::fchmod(fd, mode);
    int failure = 0;
    bool ok = WriteAll(fd, bytes.data(), bytes.size(), failure);
    if (ok && ::fsync(fd) != 0) {
        failure = errno;
        ok = false;
    }
    if (!file.Close() && ok) {
        failure = errno;
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        error = "cannot write " + path + ": " + Reason(failure);
        return false;
    }
    // The rename itself reaches the disk with the directory.
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Descriptor parent(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.Get() >= 0) (void)::fsync(parent.Get());
    return true;
}

bool AppendWhole(int fd, std::string_view text, std::string& error) {
    // Other programs may append to the same log (the window and a command
    // line station): the lock keeps each piece whole and lets a failed one
    // be cut away without touching theirs.
    const bool locked = ::flock(fd, LOCK_EX) == 0;
    struct stat status {};
    const bool sized = ::fstat(fd, &status) == 0;
    int failure = 0;
    const bool ok = WriteAll(fd, text.data(), text.size(), failure);
    if (!ok) {
        if (sized) (void)::ftruncate(fd, status.st_size);
        error = Reason(failure);
    }
    if (locked) ::flock(fd, LOCK_UN);
    return ok;
}

int OpenForAppend(const std::filesystem::path& path, bool truncate, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0666);
    if (fd < 0) error = Reason(errno);
    return fd;
}

bool CloseAppended(int fd, std::string& error) {
    if (::close(fd) == 0) return true;
    error = Reason(errno);
    return false;
}

void FailWritesBeyondFileSizeLimit() { std::signal(SIGXFSZ, SIG_IGN); }

std::filesystem::path UserStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is invalid and to be ignored.
    if (state && state[0] == '/') return state;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && home[0] ? home : ".") / ".local" / "state";
}

FILE* OpenFile(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::string PathText(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path PathFromText(const std::string& text) { return text; }

}  // namespace vexu
