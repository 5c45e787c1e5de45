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

#include "platform/file_identity.h"
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

// An output is checked against the inputs by what file it is, however the
// two paths are spelt; a target that is not a regular file is refused.
TEST(CheckOutputFiles, SameFileByIdentityNotBySpelling) {
    TempDir dir;
    namespace fs = std::filesystem;
    Put(dir.File("in.txt"), "input");
    Put(dir.File("other.txt"), "other");
    fs::create_directory(dir.File("sub"));
    fs::create_hard_link(dir.File("in.txt"), dir.File("hard.txt"));
    fs::create_symlink(dir.File("in.txt"), dir.File("sym.txt"));
    fs::create_symlink(dir.Path(), dir.File("dirlink"));
    fs::create_symlink(dir.File("nowhere"), dir.File("dangling"));
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    fs::create_symlink(dir.File("fifo"), dir.File("fifolink"));
    struct Case {
        std::string output;
        std::string input;
        const char* error;  // null: accepted
    };
    const Case cases[] = {
        {dir.File("other.txt"), dir.File("in.txt"), nullptr},
        {dir.File("new.txt"), dir.File("in.txt"), nullptr},
        {dir.File("in.txt"), dir.File("in.txt"), "is the same file as the input"},
        {dir.File("hard.txt"), dir.File("in.txt"), "is the same file as the input"},
        {dir.File("sym.txt"), dir.File("in.txt"), "is the same file as the input"},
        {dir.File("sub/../in.txt"), dir.File("in.txt"), "is the same file as the input"},
        {dir.File("dirlink/in.txt"), dir.File("hard.txt"), "is the same file as the input"},
        // Neither there yet (a run log before its first run): the same place.
        {dir.File("sub/../log"), dir.File("dirlink/log"), "is the same file as the input"},
        {dir.File("fifo"), dir.File("in.txt"), "is not a regular file (a FIFO)"},
        {dir.File("fifolink"), dir.File("in.txt"), "is not a regular file (a FIFO)"},
        {"/dev/null", dir.File("in.txt"), "is not a regular file (a device)"},
        {dir.File("sub"), dir.File("in.txt"), "is not a regular file (a directory)"},
        {dir.File("dangling"), dir.File("in.txt"), "a symbolic link to nothing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + " / " + c.input);
        std::string error;
        const bool ok = CheckOutputFiles({{"output", c.output}}, {{"input", c.input}, {"unused", ""}}, error);
        EXPECT_EQ(ok, c.error == nullptr) << error;
        if (c.error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            EXPECT_EQ(error.find("the output " + c.output), 0u) << error;
        }
    }
    // Two outputs of one command are held apart as well.
    std::string error;
    EXPECT_FALSE(CheckOutputFiles({{"report log", dir.File("r.log")}, {"flash read output", dir.File("sub/../r.log")}},
                                  {}, error));
    EXPECT_NE(error.find("the flash read output " + dir.File("sub/../r.log") + " is the same file as the report log"),
              std::string::npos)
        << error;
    EXPECT_EQ(Contents(dir.File("in.txt")), "input");
}

}  // namespace
}  // namespace vexu
