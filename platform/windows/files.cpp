#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace vexu {

namespace {

std::string Reason(int error) { return std::strerror(error); }

// The system's text for a Windows error, on one line.
std::string WindowsReason(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof text, nullptr);
    std::string reason(text, n);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ' ||
                               reason.back() == '.'))
        reason.pop_back();
    return reason.empty() ? "Windows error " + std::to_string(error) : reason;
}

const char* KindOf(unsigned short mode) {
    if ((mode & _S_IFMT) == _S_IFDIR) return "a directory";
    if ((mode & _S_IFMT) == _S_IFCHR) return "a character device";
    return "not a plain file";
}

std::string TooLarge(const std::string& path, const char* what, const std::string& size, uint64_t maxBytes) {
    return std::string("the ") + what + " " + path + " has " + size + " bytes, more than the largest " + what +
           " (" + std::to_string(maxBytes) + " bytes)";
}

bool WriteAll(int fd, const char* data, size_t size, int& error) {
    while (size > 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int n = _write(fd, data, chunk);
        if (n < 0) {
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

std::string TemporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp-" + std::to_string(_getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

}  // namespace

bool ReadUserFile(const std::string& path, uint64_t maxBytes, const char* what, std::vector<uint8_t>& bytes,
                  std::string& error) {
    if (path.empty()) {
        error = std::string("no file named for the ") + what + " (an empty path)";
        return false;
    }
    // Windows does not open a directory as a file: what the path names is
    // looked at first, so that it is refused for what it is.
    struct _stat64 status {};
    if (_stat64(path.c_str(), &status) == 0 && (status.st_mode & _S_IFMT) != _S_IFREG) {
        error = std::string("the ") + what + " " + path + " is not a regular file (" + KindOf(status.st_mode) + ")";
        return false;
    }
    const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        error = std::string("cannot open the ") + what + " " + path + ": " + Reason(errno);
        return false;
    }
    bool ok = _fstat64(fd, &status) == 0;
    if (!ok) {
        error = std::string("cannot read the ") + what + " " + path + ": " + Reason(errno);
    } else if ((status.st_mode & _S_IFMT) != _S_IFREG) {
        error = std::string("the ") + what + " " + path + " is not a regular file (" + KindOf(status.st_mode) + ")";
        ok = false;
    } else if (static_cast<uint64_t>(status.st_size) > maxBytes) {
        error = TooLarge(path, what, std::to_string(status.st_size), maxBytes);
        ok = false;
    }
    std::vector<uint8_t> content;
    uint8_t chunk[65536];
    while (ok) {
        const int n = _read(fd, chunk, sizeof chunk);
        if (n < 0) {
            error = std::string("cannot read the ") + what + " " + path + ": " + Reason(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (content.size() + static_cast<size_t>(n) > maxBytes) {
            error = TooLarge(path, what, "over " + std::to_string(maxBytes), maxBytes);
            ok = false;
        } else {
            content.insert(content.end(), chunk, chunk + n);
        }
    }
    _close(fd);
    if (ok) bytes = std::move(content);
    return ok;
}

// The bytes go to a temporary file next to the target, are flushed to the
// disk, and the temporary file replaces the target in one move.
bool WriteFileWhole(const std::string& path, std::string_view bytes, std::string& error) {
    if (path.empty()) {
        error = "no file named to write (an empty path)";
        return false;
    }
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = TemporaryName(path);
        fd = _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        error = "cannot write " + path + ": " + Reason(errno);
        return false;
    }
    int failure = 0;
    bool ok = WriteAll(fd, bytes.data(), bytes.size(), failure);
    if (ok && _commit(fd) != 0) {
        failure = errno;
        ok = false;
    }
    if (_close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    if (!ok) {
        _unlink(temporary.c_str());
        error = "cannot write " + path + ": " + Reason(failure);
        return false;
    }
    if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveError = GetLastError();
        _unlink(temporary.c_str());
        error = "cannot write " + path + ": " + WindowsReason(moveError);
        return false;
    }
    return true;
}

// Other programs may append to the same log: the lock on the whole file
// keeps each piece whole and lets a failed one be cut away without
// touching theirs.
bool AppendWhole(int fd, std::string_view text, std::string& error) {
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED whole{};
    const bool locked = file != INVALID_HANDLE_VALUE && LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD,
                                                                   &whole);
    const int64_t size = _filelengthi64(fd);
    int failure = 0;
    const bool ok = WriteAll(fd, text.data(), text.size(), failure);
    if (!ok) {
        if (size >= 0) (void)_chsize_s(fd, size);
        error = Reason(failure);
    }
    if (locked) {
        OVERLAPPED unlock{};
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &unlock);
    }
    return ok;
}

int OpenForAppend(const std::filesystem::path& path, bool truncate, std::string& error) {
    const int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT |
                                            (truncate ? _O_TRUNC : 0),
                          _S_IREAD | _S_IWRITE);
    if (fd < 0) error = Reason(errno);
    return fd;
}

bool CloseAppended(int fd, std::string& error) {
    if (_close(fd) == 0) return true;
    error = Reason(errno);
    return false;
}

// Windows has no limit on file sizes that ends a program.
void FailWritesBeyondFileSizeLimit() {}

// %LOCALAPPDATA%, the per-user, per-machine application data; without it,
// the profile's AppData\Local; without that, the current directory.
std::filesystem::path UserStateDirectory() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local && local[0]) return local;
    const wchar_t* profile = _wgetenv(L"USERPROFILE");
    return std::filesystem::path(profile && profile[0] ? profile : L".") / "AppData" / "Local";
}

// _wfopen keeps every character of the path (fopen would pass it through
// the ANSI code page).
FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
    std::wstring wideMode;
    for (const char* c = mode; *c; ++c) wideMode += static_cast<wchar_t>(*c);
    return _wfopen(path.c_str(), wideMode.c_str());
}

std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path PathFromText(const std::string& text) { return std::u8string(text.begin(), text.end()); }

}  // namespace vexu
