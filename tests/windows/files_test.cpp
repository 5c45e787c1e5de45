// Files on Windows: a user's file refused for what it is before it is
// read, a whole-file write that replaces the file in one move, and log
// lines appended as the same bytes as on Linux ("\n", never "\r\n").
#include <gtest/gtest.h>

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

TEST(WindowsFiles, UserFilesAreRefusedForWhatTheyAre) {
    TempDir dir;
    const std::string justRight = dir.File("right.dat");
    std::ofstream(justRight, std::ios::binary) << std::string(100, 'x');
    const std::string oneMore = dir.File("more.dat");
    std::ofstream(oneMore, std::ios::binary) << std::string(101, '\n');
    struct Case {
        std::string path;
        std::string error;  // empty: read
    };
    const Case cases[] = {
        {justRight, ""},
        {oneMore, "the test image " + oneMore + " has 101 bytes, more than the largest test image (100 bytes)"},
        {dir.Path().string(), "the test image " + dir.Path().string() + " is not a regular file (a directory)"},
        {dir.File("none.dat"), "cannot open the test image " + dir.File("none.dat") + ": No such file or directory"},
        {"", "no file named for the test image (an empty path)"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = {1, 2, 3};
        std::string error;
        EXPECT_EQ(ReadUserFile(c.path, 100, "test image", bytes, error), c.error.empty()) << c.path;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(bytes.size(), c.error.empty() ? 100u : 3u) << c.path;
    }
}

TEST(WindowsFiles, AWholeWriteReplacesTheFileAndLeavesNothingElse) {
    TempDir dir;
    const std::string path = dir.File("AppSetting.bin");
    std::string error;
    ASSERT_TRUE(WriteFileWhole(path, "first\n", error)) << error;
    ASSERT_TRUE(WriteFileWhole(path, std::string("second\r\n\0", 9), error)) << error;
    EXPECT_EQ(Contents(path), std::string("second\r\n\0", 9));
    size_t names = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names += !entry.path().empty();
    EXPECT_EQ(names, 1u) << "no temporary file remains";
    EXPECT_FALSE(WriteFileWhole(dir.File("no-such-dir/x.bin"), "x", error));
    EXPECT_EQ(error.rfind("cannot write " + dir.File("no-such-dir/x.bin") + ": ", 0), 0u) << error;
}

TEST(WindowsFiles, AppendedLinesAreTheBytesGiven) {
    TempDir dir;
    const std::string path = dir.File("runs.log");
    std::string error;
    for (bool truncate : {false, false, true}) {
        const int fd = OpenForAppend(path, truncate, error);
        ASSERT_GE(fd, 0) << error;
        ASSERT_TRUE(AppendWhole(fd, "{\"a\":1}\n", error)) << error;
        ASSERT_TRUE(CloseAppended(fd, error)) << error;
    }
    EXPECT_EQ(Contents(path), "{\"a\":1}\n") << "the third open emptied the file first";
    const int fd = OpenForAppend(path, false, error);
    ASSERT_GE(fd, 0) << error;
    ASSERT_TRUE(AppendWhole(fd, "b\n", error)) << error;
    ASSERT_TRUE(CloseAppended(fd, error));
    EXPECT_EQ(Contents(path), "{\"a\":1}\nb\n");
    EXPECT_LT(OpenForAppend(dir.File("no-such-dir/runs.log"), false, error), 0);
    EXPECT_EQ(error, "No such file or directory");
}

}  // namespace
}  // namespace vexu
