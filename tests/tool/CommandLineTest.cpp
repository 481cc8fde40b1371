// The command line itself: the version, and what an operator is told after
// a slip of the fingers in the command's name.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/tool/ToolRun.h"

namespace q31::test {
namespace {

TEST(CommandLine, VersionIsTheProjectsOwn) {
    const ToolRun run = RunTool({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "q31 " Q31_PROJECT_VERSION "\n");
    EXPECT_EQ(run.err, "");
}

TEST(CommandLine, AMistypedCommandIsABadArgumentThatNamesTheOneMeant) {
    for (const auto& [args, message] : std::vector<std::tuple<std::vector<std::string>, std::string>>{
             {{"sacn"}, "q31: unknown command \"sacn\" (did you mean \"scan\"?)\n"},
             {{"--format", "json", "currnet"}, "q31: unknown command \"currnet\" (did you mean \"current\"?)\n"},
             {{"modles", "1"}, "q31: unknown command \"modles\" (did you mean \"modules\"?)\n"},
             {{"frobnicate"}, "q31: unknown command \"frobnicate\" (q31 --help lists the commands)\n"}}) {
        // A port that would fail to open shows nothing was started.
        std::vector<std::string> withPort = args;
        withPort.insert(withPort.begin(), {"--port", "/dev/no-such-q31-port"});
        const ToolRun run = RunTool(withPort);
        EXPECT_EQ(run.status, 2) << args.front();
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
}  // namespace q31::test
