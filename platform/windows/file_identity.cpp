#include "platform/file_identity.h"

#include <windows.h>

#include <filesystem>

#include "platform/files.h"

namespace vexu {

namespace {

// The path as the other file functions of this platform take it.
std::wstring Wide(const std::string& path) { return std::filesystem::path(path).wstring(); }

}  // namespace

FileIdentity IdentifyFile(const std::string& path) {
    FileIdentity identity;
    // No access asked for: only the file's identity is read. Backup
    // semantics let a directory be opened too, to be told apart.
    HANDLE file = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            identity.kind = FileIdentity::Kind::kOther;
            identity.what = "cannot be looked at, system error " + std::to_string(error);
            return identity;
        }
        std::error_code ignored;
        const std::filesystem::path full = std::filesystem::absolute(std::filesystem::path(path), ignored);
        const std::filesystem::path parent = std::filesystem::weakly_canonical(full.parent_path(), ignored);
        identity.wouldBe = PathText(parent / full.filename());
        // Windows file names do not tell case apart.
        for (char& c : identity.wouldBe)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    const DWORD type = GetFileType(file);
    CloseHandle(file);
    identity.kind = FileIdentity::Kind::kRegular;
    if (!known || type != FILE_TYPE_DISK) {
        identity.kind = FileIdentity::Kind::kOther;
        identity.what = "a device";
        return identity;
    }
    identity.device = information.dwVolumeSerialNumber;
    identity.inode = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        identity.kind = FileIdentity::Kind::kOther;
        identity.what = "a directory";
    }
    return identity;
}

}  // namespace vexu
