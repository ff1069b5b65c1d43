// Random scripts from a seed, run on one state folder: whatever a user does,
// each run ends with 0 or 1 (a command refused), never with a state the next
// run cannot read, and the platform's checks find nothing. Run under the
// sanitizers this is the simulator's fuzzing.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/VexsimFixture.h"

namespace {

using sim::test::RunResult;
using sim::test::VexsimTest;

std::string RandomCommand(std::mt19937 &random)
{
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::string com = "COM" + std::to_string(1 + pick(8));
    const char *const serials[] = {"S1", "S2", "S3", "A\\B", "A_B", "\\X", "Caf\xC3\xA9"};
    std::string serial = serials[pick(7)];
    switch (pick(12)) {
    case 0:
    case 1:
        return "port add " + com;
    case 2:
        return "port remove " + com;
    case 3:
    case 4:
        return "scanner plug " + serial + (pick(4) == 0 ? " modem" : "");
    case 5:
        return "scanner unplug " + serial;
    case 6:
        return pick(2) ? "sleep S3" : "sleep S4";
    case 7:
        return "wake";
    case 8:
        return "reboot";
    case 9:
        return pick(2) ? "show table" : "show devices";
    case 10:
        return "show reg HKLM\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration";
    default:
        return pick(2) ? "show log" : "wmi query MSSerial_PortName";
    }
}

class RandomScriptTest : public VexsimTest, public ::testing::WithParamInterface<int> {};

TEST_P(RandomScriptTest, EveryRunEndsCleanlyAndLeavesAStateTheNextCanRead)
{
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    std::vector<std::string> commands;
    for (int i = 0; i < 30; ++i)
        commands.push_back(RandomCommand(random));
    const std::string state = folder + "/state";
    // A refused command ends its run; the rest runs in the next one.
    for (size_t next = 0; next < commands.size();) {
        std::string script;
        for (size_t i = next; i < commands.size(); ++i)
            script += commands[i] + "\n";
        RunResult result = RunInProcess(script, static_cast<uint64_t>(GetParam()), state);
        ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 1)
            << "exit " << result.exitCode << ": " << result.err << "\nscript:\n" << script;
        if (result.exitCode == 0)
            break;
        size_t line = std::stoul(result.err.substr(result.err.find("line ") + 5));
        next += line;
    }
    RunResult last = RunInProcess("reboot\nshow table\n", 1, state);
    EXPECT_TRUE(last.exitCode == 0) << last.err;
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomScriptTest, ::testing::Range(1, 13));

}  // namespace
