#include "platform/file_identity.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vexu {

namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a plain file";
}

}  // namespace

FileIdentity IdentifyFile(const std::string& path) {
    FileIdentity identity;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        identity.kind = S_ISREG(status.st_mode) ? FileIdentity::Kind::kRegular : FileIdentity::Kind::kOther;
        identity.device = static_cast<uint64_t>(status.st_dev);
        identity.inode = static_cast<uint64_t>(status.st_ino);
        if (identity.kind == FileIdentity::Kind::kOther) identity.what = KindOf(status.st_mode);
        return identity;
    }
    const int error = errno;
    struct stat link {};
    if (error != ENOENT || lstat(path.c_str(), &link) == 0) {
        // Not there to look at, or a symbolic link that leads nowhere: a
        // write would go to a place nobody can name.
        identity.kind = FileIdentity::Kind::kOther;
        identity.what = error == ENOENT ? "a symbolic link to nothing" : std::strerror(error);
        return identity;
    }
    // The file does not exist yet: it is known by the directory it would
    // be made in, resolved, and its name.
    std::error_code ignored;
    const std::filesystem::path full = std::filesystem::absolute(path, ignored);
    const std::filesystem::path parent = std::filesystem::weakly_canonical(full.parent_path(), ignored);
    identity.wouldBe = (parent / full.filename()).string();
    return identity;
}

}  // namespace vexu
