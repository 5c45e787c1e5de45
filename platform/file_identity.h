// Which file a path names, by identity and not by spelling: two paths that
// reach the same file through a hard link, a symbolic link or "..", are
// the same file. A command checks the files it writes against those it
// reads or keeps before it opens any of them, so that an output never
// empties or replaces an input, and never replaces a device, a FIFO or a
// socket by a rename.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexu {

struct FileIdentity {
    enum class Kind { kMissing, kRegular, kOther };
    Kind kind = Kind::kMissing;
    // kRegular and kOther: the device (Windows: volume serial number) and
    // the inode (file index) of the file the path reaches.
    uint64_t device = 0;
    uint64_t inode = 0;
    // kOther: what it is ("a directory", "a FIFO", "a device").
    std::string what;
    // kMissing: the resolved directory and the name the file would have.
    std::string wouldBe;
};

// Follows symbolic links. A path that cannot be looked at for another
// reason than not existing (no permission on a directory) reads as kOther
// with the system's reason.
FileIdentity IdentifyFile(const std::string& path);

bool SameFile(const FileIdentity& a, const FileIdentity& b);

// A file a command uses, with its role as the user knows it ("report
// log", "serial file").
struct RoleFile {
    std::string role;
    std::string path;
};

// False with one line naming both roles when an output is the same file
// as an input or as another output:
//   the report log r.log is the same file as the serial file s.txt: a command never writes over a file it reads or keeps
// or names the output when it exists and is not a regular file:
//   the report log /dev/null is not a regular file (a device): give the path of a file to write
// Empty paths are passed over.
bool CheckOutputFiles(const std::vector<RoleFile>& outputs, const std::vector<RoleFile>& inputs, std::string& error);

}  // namespace vexu
