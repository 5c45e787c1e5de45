// The windows' one command line: what each option sets, what is refused
// (and that the Win32 window has no snapshot tour), and that help and
// version are answered before anything else.
#include <gtest/gtest.h>

#include "dialog/window_options.h"

namespace {

TEST(WindowOptions, EachOptionSetsItsFieldAndTheRestAreRefused) {
    struct Case {
        std::vector<std::string> args;
        bool withSnapshots;
        const char* refused;  // empty: accepted
        WindowOptions wanted;
    };
    const Case cases[] = {
        {{"--trace", "--box", "/dev/hidraw3", "--simulate=flash=none"}, false, "", {true, true, "flash=none", "/dev/hidraw3", ""}},
        {{"--simulate", "--box=1-2:1.0"}, false, "", {false, true, "", "1-2:1.0", ""}},
        {{"--snapshots=pictures"}, true, "", {false, false, "", "", "pictures"}},
        {{"--snapshots=pictures"}, false, "unknown option --snapshots=pictures", {}},
        {{"--snapshots="}, true, "unknown option --snapshots=", {}},
        {{"--box="}, false, "unknown option --box=", {}},
        {{"--box"}, false, "unknown option --box", {}},
        {{"--box", ""}, false, "unknown option --box", {}},
        {{"--trace", "-platform"}, false, "unknown option -platform", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        WindowOptions options;
        EXPECT_EQ(ParseWindowOptions(c.args, c.withSnapshots, options), c.refused);
        if (*c.refused) continue;
        EXPECT_EQ(options.trace, c.wanted.trace);
        EXPECT_EQ(options.simulate, c.wanted.simulate);
        EXPECT_EQ(options.simulateKeys, c.wanted.simulateKeys);
        EXPECT_EQ(options.box, c.wanted.box);
        EXPECT_EQ(options.snapshots, c.wanted.snapshots);
    }
    EXPECT_NE(WindowUsage(true, "KEYS").find("--snapshots=DIR"), std::string::npos);
    EXPECT_EQ(WindowUsage(false, "KEYS").find("--snapshots"), std::string::npos);
    EXPECT_EQ(WindowUsage(false, "KEYS").substr(WindowUsage(false, "KEYS").size() - 5), "\nKEYS");
}

TEST(WindowOptions, HelpAndVersionComeBeforeAnythingElse) {
    EXPECT_EQ(FirstAsk({"--bogus", "--version"}), WindowAsk::kVersion);
    EXPECT_EQ(FirstAsk({"--box", "x", "-h", "--version"}), WindowAsk::kHelp);
    EXPECT_EQ(FirstAsk({"--simulate"}), WindowAsk::kWindow);
    EXPECT_EQ(FirstAsk({}), WindowAsk::kWindow);
}

}  // namespace
