// The station guide's encrypted-image recipe, run line by line as it is written
// there: the image builds, image info finds nothing wrong with it, and the
// simulated board programs and verifies it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli_process.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

// The vexu-cli lines of the first code block after the heading.
std::vector<std::vector<std::string>> RecipeAfter(const std::string& heading) {
    std::ifstream readme(VEXU_README_PATH);
    std::vector<std::vector<std::string>> commands;
    bool seen = false;
    bool inBlock = false;
    for (std::string line; std::getline(readme, line);) {
        if (line == heading) seen = true;
        if (!seen) continue;
        if (line.rfind("```", 0) == 0) {
            if (inBlock) break;
            inBlock = true;
            continue;
        }
        // A runnable block writes each command after a "$ " prompt.
        if (line.rfind("$ ", 0) == 0) line.erase(0, 2);
        if (!inBlock || line.rfind("vexu-cli ", 0) != 0) continue;
        std::istringstream words(line.substr(9));
        std::vector<std::string> args;
        for (std::string word; words >> word;) args.push_back(word);
        commands.push_back(args);
    }
    return commands;
}

TEST(ReadmeRecipe, EncryptedImageBuildsProgramsAndVerifies) {
    const auto commands = RecipeAfter("## Encrypted images");
    ASSERT_EQ(commands.size(), 3u);
    TempDir dir;
    std::vector<CliOutcome> outcomes;
    for (const auto& args : commands) {
        CliRun run;
        run.args = args;
        run.directory = run.stateHome = dir.Path().string();
        outcomes.push_back(RunCliProcess(run));
        EXPECT_EQ(outcomes.back().exit, 0) << args.front() << "\n" << JoinedLines(outcomes.back().out)
                                            << outcomes.back().err;
    }
    ASSERT_EQ(outcomes.size(), 3u);
    // The build names the simulated board the third line uses.
    EXPECT_NE(JoinedLines(outcomes[0].out).find("--simulate=" + commands[2][0].substr(11)), std::string::npos)
        << JoinedLines(outcomes[0].out);
    const std::string info = JoinedLines(outcomes[1].out);
    EXPECT_NE(info.find("FPGA array encrypted, FlashROM encrypted"), std::string::npos) << info;
    EXPECT_NE(info.find("Findings           none"), std::string::npos) << info;
    EXPECT_EQ(JoinedLines(outcomes[2].out), "program: done\nverify: done\n");
    EXPECT_NE(outcomes[2].err.find("0 protocol violations"), std::string::npos) << outcomes[2].err;
}

}  // namespace
}  // namespace vexu::test
