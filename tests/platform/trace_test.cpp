// Trace output: lines built from several calls come out whole, each
// thread's line on its own, and text still pending at exit is written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "platform/trace.h"
#include "support/temp_dir.h"

namespace {

using vexu::Trace;
using vexu::test::ReadLines;
using vexu::test::TempDir;

TEST(TraceOutput, ThreadedCallsAssembleIntoWholeLinesPerThread) {
    TempDir dir;
    const std::string path = dir.File("trace.txt");
    ASSERT_TRUE(vexu::SetTraceFile(path));
    // The engine's way: a line begins with its line end and is built from
    // several calls.
    Trace("\r\nActID = ");
    Trace("29121CF");
    std::thread other([] {
        for (int i = 0; i < 200; ++i) {
            Trace("worker line ");
            Trace(std::to_string(i));
            Trace(" done\r\n");
        }
    });
    Trace(" ExpID = ");
    other.join();
    Trace("29121CF");
    Trace("\r\nInitializing Target Device...\r\n");
    ASSERT_TRUE(vexu::SetTraceFile(""));

    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 203u);
    const std::regex workerLine("worker line [0-9]+ done\r");
    int engineLines = 0;
    int workerLines = 0;
    for (const std::string& line : lines) {
        if (std::regex_match(line, workerLine)) {
            ++workerLines;
        } else {
            EXPECT_TRUE(line == "\r" || line == "ActID = 29121CF ExpID = 29121CF\r" ||
                        line == "Initializing Target Device...\r")
                << line;
            engineLines += line != "\r";
        }
    }
    EXPECT_EQ(workerLines, 200);
    EXPECT_EQ(engineLines, 2);
}

TEST(TraceOutput, TextOfAnUnfinishedLineIsWrittenAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vexu::SetTraceToStderr(true);
            Trace("Exit code = 0");
            Trace("... Success");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "Exit code = 0\\.\\.\\. Success");
}

}  // namespace
