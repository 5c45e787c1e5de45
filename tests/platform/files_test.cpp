// Files the user names are refused before they are read when they cannot be
// what they stand for; files the program writes are never left half
// written. A full disk is played by a limit on file sizes (RLIMIT_FSIZE),
// under which a write fails as it fails on a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace vexu {
namespace {

using test::TempDir;

std::string Contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Names in the directory other than the ones given.
std::vector<std::string> Others(const TempDir& dir, std::initializer_list<std::string> known) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string name = entry.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) names.push_back(name);
    }
    return names;
}

// Files of this process may grow to `bytes` while the object lives; a write
// beyond fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    void (*previous_)(int);
};

// The command line's tests refuse directories, devices, pipes and large
// files by name; here the reader's own edges: the limit itself, a regular
// file whose read fails, and bytes left as they were on a refusal.
TEST(ReadUserFile, ReadsUpToTheLimitAndNothingOnARefusal) {
    TempDir dir;
    const std::string justRight = dir.File("right.dat");
    Put(justRight, std::string(100, 'x'));
    const std::string oneMore = dir.File("more.dat");
    Put(oneMore, std::string(101, 'x'));
    struct Case {
        std::string path;
        std::string error;  // empty: read
    };
    const Case cases[] = {
        {justRight, ""},
        {oneMore, "the test image " + oneMore + " has 101 bytes, more than the largest test image (100 bytes)"},
        {"/proc/self/mem", "cannot read the test image /proc/self/mem: Input/output error"},
        {"", "no file named for the test image (an empty path)"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = {1, 2, 3};
        std::string error;
        const bool read = ReadUserFile(c.path, 100, "test image", bytes, error);
        EXPECT_EQ(read, c.error.empty()) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
        EXPECT_EQ(bytes.size(), read ? 100u : 3u) << c.path;
    }
}

TEST(WriteFileWhole, ReplacesTheFileOrLeavesItAsItWas) {
    TempDir dir;
    const std::string target = dir.File("image.bin");
    Put(target, "old contents");
    chmod(target.c_str(), 0640);
    std::string error;
    ASSERT_TRUE(WriteFileWhole(target, std::string(5000, 'n'), error)) << error;
    EXPECT_EQ(Contents(target), std::string(5000, 'n'));
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u) << "the replaced file's permissions stay";

    struct Case {
        const char* what;
        std::string path;
        rlim_t limit;
        std::string error;
    };
    const Case cases[] = {
        {"disk full half way", target, 4096, "cannot write " + target + ": File too large"},
        {"no such directory", dir.File("none/image.bin"), RLIM_INFINITY,
         "cannot write " + dir.File("none/image.bin") + ": No such file or directory"},
        {"a directory in the way", dir.Path().string(), RLIM_INFINITY, "cannot write " + dir.Path().string() + ": "},
        {"no name", "", RLIM_INFINITY, "no file named to write (an empty path)"},
    };
    for (const Case& c : cases) {
        {
            FileSizeLimit limit(c.limit);
            EXPECT_FALSE(WriteFileWhole(c.path, std::string(10000, 'z'), error)) << c.what;
        }
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.what << ": " << error;
        EXPECT_EQ(Contents(target), std::string(5000, 'n')) << c.what;
        EXPECT_TRUE(Others(dir, {"image.bin"}).empty()) << c.what << ": a temporary file was left";
    }
}

TEST(AppendWhole, AppendsTheWholeTextOrNothing) {
    TempDir dir;
    const std::string log = dir.File("runs.log");
    Put(log, "first line\n");
    const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    std::string error;
    EXPECT_TRUE(AppendWhole(fd, "second line\n", error)) << error;
    {
        // Room for part of the line only: what went out is taken back.
        FileSizeLimit limit(30);
        EXPECT_FALSE(AppendWhole(fd, "a third line that does not fit\n", error));
    }
    EXPECT_EQ(error, "File too large");
    EXPECT_EQ(Contents(log), "first line\nsecond line\n");
    EXPECT_TRUE(AppendWhole(fd, "third\n", error)) << error;
    close(fd);
    EXPECT_EQ(Contents(log), "first line\nsecond line\nthird\n");
}

}  // namespace
}  // namespace vexu
