#include "platform/file_identity.h"

namespace vexu {

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.kind == FileIdentity::Kind::kMissing || b.kind == FileIdentity::Kind::kMissing)
        return a.kind == b.kind && a.wouldBe == b.wouldBe;
    return a.device == b.device && a.inode == b.inode;
}

bool CheckOutputFiles(const std::vector<RoleFile>& outputs, const std::vector<RoleFile>& inputs, std::string& error) {
    std::vector<std::pair<const RoleFile*, FileIdentity>> seen;
    for (const RoleFile& input : inputs)
        if (!input.path.empty()) seen.emplace_back(&input, IdentifyFile(input.path));
    for (const RoleFile& output : outputs) {
        if (output.path.empty()) continue;
        const FileIdentity identity = IdentifyFile(output.path);
        if (identity.kind == FileIdentity::Kind::kOther) {
            error = "the " + output.role + " " + output.path + " is not a regular file (" + identity.what +
                    "): give the path of a file to write";
            return false;
        }
        for (const auto& [other, otherIdentity] : seen) {
            if (!SameFile(identity, otherIdentity)) continue;
            error = "the " + output.role + " " + output.path + " is the same file as the " + other->role + " " +
                    other->path + ": a command never writes over a file it reads or keeps";
            return false;
        }
        seen.emplace_back(&output, identity);
    }
    return true;
}

}  // namespace vexu
