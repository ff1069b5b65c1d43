// The simulator: its script checks (a bad line stops everything before the
// machine boots), the `show table` and `show reg` output, state kept between
// runs with --state, repeatable runs from a seed, and `vexsim demo`; through
// sim::ParseScript / sim::RunScript and through the vexsim program itself.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Scenario.h"
#include "sim/VexsimFixture.h"

namespace {

namespace fs = std::filesystem;
using sim::test::RunResult;
using sim::test::VexsimTest;

const char *const kConfigurationKey = "HKLM\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration";

std::string Lines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const auto &line : lines)
        text += line + "\n";
    return text;
}

// `show table` of a machine with ports COM3 (slot 0) and COM5 and one scanner
// paired in slot 1; PortCount 10 gives slots 0 to 10.
std::string TableWithTwoPortsAndOneScanner()
{
    std::vector<std::string> lines = {
        "slot 0 port=\\Device\\VXVIRTPORT0 com=COM3 scanner=-",
        "slot 1 port=\\Device\\VXVIRTPORT1 com=COM5 scanner=SN-1",
    };
    for (int slot = 2; slot <= 10; ++slot)
        lines.push_back("slot " + std::to_string(slot) + " port=- com=- scanner=-");
    return Lines(lines);
}

// ---------------------------------------------------------------------------
// Bad scripts

struct BadLine {
    const char *name;
    const char *line;
    const char *message;
};
void PrintTo(const BadLine &b, std::ostream *os) { *os << b.name; }

const BadLine kBadLines[] = {
    {"UnknownCommand", "frobnicate COM3", "unknown command 'frobnicate'"},
    {"PortWithoutName", "port add", "usage: port add COMn | port remove COMn"},
    {"PortWrongVerb", "port delete COM3", "usage: port add COMn | port remove COMn"},
    {"PortRemoveNotACom", "port remove 5", "'5' is not a COM port name (COM1 to COM256)"},
    {"PortNotACom", "port add LPT1", "'LPT1' is not a COM port name (COM1 to COM256)"},
    {"PortZero", "port add COM0", "'COM0' is not a COM port name (COM1 to COM256)"},
    {"PortTooHigh", "port add COM257", "'COM257' is not a COM port name (COM1 to COM256)"},
    {"PortLetters", "port add COMX", "'COMX' is not a COM port name (COM1 to COM256)"},
    {"ScannerWithoutSerial", "scanner plug", "usage: scanner plug SERIAL [product TEXT] [modem] | scanner unplug SERIAL"},
    {"UnplugWithOption", "scanner unplug SN-1 modem", "usage: scanner unplug SERIAL"},
    {"ScannerSerialTooLong", nullptr, "is not a serial number (1 to 126 characters)"},
    {"ScannerUnknownOption", "scanner plug SN-1 colour red", "unknown scanner option 'colour'"},
    {"ScannerProductWithoutText", "scanner plug SN-1 product", "product needs a text"},
    {"UnterminatedQuote", "scanner plug SN-1 product \"VX Scanner", "unterminated quoted text"},
    {"RebootWithArgument", "reboot now", "usage: reboot"},
    {"SleepWithoutState", "sleep", "usage: sleep S3 | sleep S4"},
    {"SleepS5", "sleep S5", "usage: sleep S3 | sleep S4"},
    {"WakeWithArgument", "wake up", "usage: wake"},
    {"WmiWithoutClass", "wmi query", "usage: wmi query CLASS"},
    {"WmiWrongVerb", "wmi set MSSerial_PortName", "usage: wmi query CLASS"},
    {"ShowNothing", "show", "usage: show table | show devices | show reg KEY | show log"},
    {"ShowUnknown", "show tables", "usage: show table | show devices | show reg KEY | show log"},
    {"ShowRegWithoutKey", "show reg", "usage: show table | show devices | show reg KEY | show log"},
    // Each would decode into a character the line does not hold, so that two
    // different serial numbers could name one scanner.
    {"Utf8Overlong", "scanner plug A\xC1\x81", "invalid UTF-8"},
    {"Utf8StrayContinuation", "scanner plug A\x81", "invalid UTF-8"},
    {"Utf8Truncated", "scanner plug A\xE2\x82", "invalid UTF-8"},
    {"Utf8Surrogate", "scanner plug A\xED\xA0\x80", "invalid UTF-8"},
    {"Utf8BeyondUnicode", "scanner plug A\xF4\x90\x80\x80", "invalid UTF-8"},
};

std::string LineOf(const BadLine &bad) { return bad.line ? bad.line : "scanner plug " + std::string(127, 'S'); }

// Two good lines, a blank and a comment come first, so the bad line is line 5.
std::string ScriptAround(const std::string &badLine)
{
    return "port add COM3\nscanner plug SN-1\n\n# the next line is wrong\n" + badLine + "\nshow table\n";
}

class BadLineTest : public VexsimTest, public ::testing::WithParamInterface<BadLine> {};

TEST_P(BadLineTest, ParseStopsAtTheFirstBadLineNamingIt)
{
    std::istringstream in(ScriptAround(LineOf(GetParam())));
    std::vector<sim::Command> commands;
    sim::ScriptError error;
    EXPECT_FALSE(sim::ParseScript(in, &commands, &error));
    EXPECT_EQ(5, error.line);
    EXPECT_NE(std::string::npos, error.message.find(GetParam().message)) << error.message;
}

TEST_P(BadLineTest, ProgramExitsWithTwoAndRunsNothing)
{
    std::string script = WriteScript("bad.txt", ScriptAround(LineOf(GetParam())));
    std::string state = folder + "/state";

    RunResult result = RunProgram("--state '" + state + "' run '" + script + "'");

    EXPECT_EQ(2, result.exitCode);
    EXPECT_EQ(0u, result.err.rfind(script + ":5: ", 0)) << result.err;
    EXPECT_NE(std::string::npos, result.err.find(GetParam().message)) << result.err;
    EXPECT_EQ("", result.out) << "the good lines before the bad one ran";
    // No machine booted, so none saved its registry.
    EXPECT_FALSE(fs::exists(state + "/registry.reg"));
}

INSTANTIATE_TEST_SUITE_P(Lines, BadLineTest, ::testing::ValuesIn(kBadLines),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(VexsimTest, ScriptFromStandardInputNamesItselfInTheMessage)
{
    std::string script = WriteScript("bad.txt", "port add COM3\nport add COM0\n");
    RunResult result = RunProgram("run - < '" + script + "'");
    EXPECT_EQ(2, result.exitCode);
    EXPECT_EQ("<stdin>:2: 'COM0' is not a COM port name (COM1 to COM256)\n", result.err);
}

TEST_F(VexsimTest, CommentsBlankLinesAndQuotesAreAccepted)
{
    std::istringstream in("  # a comment\n\nport add com4   # lower case is a COM name too\r\n"
                          "scanner plug \"SN 7\" product \"VX # Scanner\" modem\n");
    std::vector<sim::Command> commands;
    sim::ScriptError error;
    ASSERT_TRUE(sim::ParseScript(in, &commands, &error)) << error.line << ": " << error.message;
    ASSERT_EQ(2u, commands.size());
    EXPECT_EQ(3, commands[0].line);
    EXPECT_EQ((std::vector<std::string>{"port", "add", "com4"}), commands[0].words);
    EXPECT_EQ((std::vector<std::string>{"scanner", "plug", "SN 7", "product", "VX # Scanner", "modem"}),
              commands[1].words);
}

struct BadArguments {
    const char *name;
    const char *arguments;
    const char *message;
};
void PrintTo(const BadArguments &b, std::ostream *os) { *os << b.name; }

class BadArgumentsTest : public VexsimTest, public ::testing::WithParamInterface<BadArguments> {};

TEST_P(BadArgumentsTest, ProgramExitsWithTwoAndSaysWhy)
{
    RunResult result = RunProgram(GetParam().arguments);
    EXPECT_EQ(2, result.exitCode);
    EXPECT_NE(std::string::npos, result.err.find(GetParam().message)) << result.err;
    EXPECT_EQ("", result.out);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, BadArgumentsTest,
    ::testing::Values(BadArguments{"Nothing", "", "usage: vexsim"},
                      BadArguments{"UnknownCommand", "fly", "usage: vexsim"},
                      BadArguments{"RunWithoutFile", "run", "usage: vexsim"},
                      BadArguments{"DemoWithExtra", "demo now", "usage: vexsim"},
                      BadArguments{"SeedNotANumber", "--seed 12ab run -",
                                   "--seed needs a number from 0 to 18446744073709551615, not '12ab'"},
                      BadArguments{"SeedNegative", "--seed -1 run -",
                                   "--seed needs a number from 0 to 18446744073709551615, not '-1'"},
                      BadArguments{"SeedWithPlus", "--seed +5 run -", "not '+5'"},
                      BadArguments{"SeedTooLarge", "--seed 18446744073709551616 run -", "not '18446744073709551616'"},
                      BadArguments{"PoolZero", "--nonpaged-pool 0 run -",
                                   "--nonpaged-pool needs a size in MB from 1 to 1048576, not '0'"},
                      BadArguments{"PoolNotANumber", "--nonpaged-pool lots run -", "not 'lots'"},
                      BadArguments{"RunAFolder", "run /tmp", "cannot run '/tmp': it is a folder"},
                      BadArguments{"MissingFile", "run /nonexistent/script.txt",
                                   "cannot open '/nonexistent/script.txt'"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Output formats

TEST_F(VexsimTest, ShowTableListsEverySlotWithPortComNameAndScanner)
{
    RunResult result = RunInProcess("port add COM3\nport add COM5\nscanner plug SN-1\nshow table\n");
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ(TableWithTwoPortsAndOneScanner(), result.out);
    EXPECT_EQ("", result.err);
}

TEST_F(VexsimTest, ShowTableBeforeTheDriverLoadsSaysThereIsNoTable)
{
    RunResult result = RunInProcess("show table\n");
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("no port table\n", result.out);
}

TEST_F(VexsimTest, ShowRegExportsTheKeyAndItsSubkeysAsRegistryText)
{
    RunResult result = RunInProcess("port add COM3\nport add COM5\n"
                                    "scanner plug SN-1 product \"VX Scanner One\"\n"
                                    "show reg " + std::string(kConfigurationKey) + "   # trailing comment\n");
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration]\n"
              "\"PortCount\"=dword:0000000a\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\\SN-1]\n"
              "\"ModelType\"=\"VX Scanner One\"\n"
              "\"Flag\"=\"Associated\"\n"
              "\"OpenCount\"=\"0\"\n"
              "\"PortName\"=\"COM5\"\n"
              "\"TimeStamp\"=\"9-12-2026,10:00:00\"\n"
              "\"PortType\"=\"Dynamic\"\n"
              "\n",
              result.out);
}

TEST_F(VexsimTest, ShowRegTakesAQuotedKeyWithoutItsQuotes)
{
    RunResult plain = RunInProcess("show reg " + std::string(kConfigurationKey) + "\n");
    RunResult quoted = RunInProcess("show reg \"" + std::string(kConfigurationKey) + "\"  # quoted\n");
    EXPECT_EQ(0, quoted.exitCode) << quoted.err;
    EXPECT_EQ(plain.out, quoted.out);
    EXPECT_NE(std::string::npos, quoted.out.find("\"PortCount\"=dword:0000000a"));
}

TEST_F(VexsimTest, ShowRegOfAMissingKeyFailsTheRunAtThatLine)
{
    RunResult result = RunInProcess("port add COM3\nshow reg HKLM\\Software\\Nowhere\nshow table\n");
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("line 2: registry key 'HKLM\\Software\\Nowhere' does not exist\n", result.err);
    EXPECT_EQ("", result.out) << "a command after the failed one ran";
}

// ---------------------------------------------------------------------------
// Device life: unplug, removal, sleep and wake

TEST_F(VexsimTest, UnplugLeavesThePortFreeInItsSlotAndTheScannerGetsItBackWhenReplugged)
{
    std::string key = std::string(kConfigurationKey) + "\\SN-1";
    RunResult result = RunInProcess("port add COM3\nport add COM5\nscanner plug SN-1\n"
                                    "scanner unplug SN-1\nshow table\nshow reg " + key + "\n"
                                    "scanner plug SN-1\nshow table\n");
    EXPECT_EQ(0, result.exitCode) << result.err;
    std::string free = TableWithTwoPortsAndOneScanner();
    free.replace(free.find("scanner=SN-1"), 12, "scanner=-");
    std::string reg = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\\SN-1]\n"
                      "\"ModelType\"=\"VX Barcode Scanner\"\n"
                      "\"Flag\"=\"\"\n"
                      "\"OpenCount\"=\"0\"\n"
                      "\"PortName\"=\"COM5\"\n"
                      "\"TimeStamp\"=\"9-12-2026,10:00:00\"\n"
                      "\"PortType\"=\"Dynamic\"\n\n";
    EXPECT_EQ(free + reg + TableWithTwoPortsAndOneScanner(), result.out);
}

struct FailingLine {
    const char *name;
    const char *script;
    const char *message;
};

void PrintTo(const FailingLine &f, std::ostream *os) { *os << f.name; }

class FailingLineTest : public VexsimTest, public ::testing::WithParamInterface<FailingLine> {};

TEST_P(FailingLineTest, StopsTheRunThereWithAMessage)
{
    RunResult result = RunInProcess(std::string(GetParam().script) + "show table\n");
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ(GetParam().message, result.err);
    EXPECT_EQ("", result.out) << "a command after the failed one ran";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FailingLineTest,
    ::testing::Values(
        FailingLine{"RemovingAPairedPort", "port add COM3\nport add COM5\nscanner plug SN-1\nport remove com5\n",
                    "line 4: port com5 cannot be removed: it is paired with scanner SN-1 "
                    "(the removal query returned 0xC0000001)\n"},
        FailingLine{"RemovingAnUnknownPort", "port add COM3\nport remove COM4\n", "line 2: no port named COM4\n"},
        FailingLine{"UnpluggingAnAbsentScanner", "scanner unplug SN-9\n",
                    "line 1: no scanner with serial number 'SN-9' is plugged in\n"},
        FailingLine{"PluggingWhileAsleep", "port add COM3\nsleep S3\nscanner plug SN-1\n",
                    "line 3: the machine is asleep: 'wake' it first\n"},
        FailingLine{"SleepingTwice", "sleep S4\nsleep S3\n", "line 2: the machine is asleep: 'wake' it first\n"},
        FailingLine{"RebootingWhileAsleep", "port add COM3\nsleep S3\nreboot\n",
                    "line 3: the machine is asleep: 'wake' it first\n"},
        FailingLine{"PluggingASerialTwice", "scanner plug A1\nscanner plug A1\n",
                    "line 2: a scanner with serial number 'A1' is already plugged in\n"},
        FailingLine{"AddingAPortNameTwice", "port add COM3\nport add com3\n", "line 2: a port named com3 exists already\n"},
        // PortCount 10: eleven slots, so the twelfth port is refused.
        FailingLine{"AddingAPortBeyondTheTable",
                    "port add COM1\nport add COM2\nport add COM3\nport add COM4\nport add COM5\nport add COM6\n"
                    "port add COM7\nport add COM8\nport add COM9\nport add COM10\nport add COM11\nport add COM12\n",
                    "line 12: port COM12 was not added: AddDevice returned 0xC0000001; its device node "
                    "ROOT\\PORTS\\0011 is removed\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(VexsimTest, RemovingAFreePortUninstallsItsNodeAndFreesItsSlot)
{
    RunResult result = RunInProcess("port add COM3\nport add COM5\nport remove COM3\nshow table\nport add COM7\n"
                                    "show table\n");
    EXPECT_EQ(0, result.exitCode) << result.err;
    std::string afterRemoval = "slot 0 port=- com=- scanner=-\nslot 1 port=\\Device\\VXVIRTPORT1 com=COM5 scanner=-\n";
    std::string afterAdd = "slot 0 port=\\Device\\VXVIRTPORT2 com=COM7 scanner=-\n"
                           "slot 1 port=\\Device\\VXVIRTPORT1 com=COM5 scanner=-\n";
    std::string rest;
    for (int slot = 2; slot <= 10; ++slot)
        rest += "slot " + std::to_string(slot) + " port=- com=- scanner=-\n";
    EXPECT_EQ(afterRemoval + rest + afterAdd + rest, result.out);
}

TEST_F(VexsimTest, ShowDevicesFollowsTheDevicesThroughSleepAndWake)
{
    RunResult result = RunInProcess("port add COM3\nscanner plug SN-1\nshow devices\nsleep S3\nshow devices\nwake\n"
                                    "show devices\nscanner unplug SN-1\nshow devices\n");
    EXPECT_EQ(0, result.exitCode) << result.err;
    auto devices = [](const char *power) {
        return std::string("\\Device\\VEXLINKCDO class=- pnp=- power=-\n") +
               "\\Device\\VXVIRTPORT0 node=ROOT\\PORTS\\0000 class=Ports pnp=started power=" + power + "\n" +
               "(unnamed) node=USB\\VID_E7A3&PID_0204\\SN-1 class=USB pnp=started power=" + power + "\n";
    };
    std::string afterUnplug = "\\Device\\VEXLINKCDO class=- pnp=- power=-\n"
                              "\\Device\\VXVIRTPORT0 node=ROOT\\PORTS\\0000 class=Ports pnp=started power=D0\n";
    EXPECT_EQ(devices("D0") + devices("D3") + devices("D0") + afterUnplug, result.out);
}

TEST_F(VexsimTest, WmiQueryPrintsThePortNameBlockOfEachPort)
{
    RunResult result = RunInProcess("port add COM3\nwmi query MSSerial_PortName\n");
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("ROOT\\PORTS\\0000_0 \\Device\\VXVIRTPORT0 12 bytes: 0A 00 43 00 4F 00 4D 00 33 00 00 00 "
              "PortName \"COM3\"\n",
              result.out);
}

TEST_F(VexsimTest, ProgramPrintsWhatTheInProcessRunPrints)
{
    std::string script = "port add COM3\nport add COM5\nscanner plug SN-1\nshow table\n";
    RunResult result = RunProgram("run '" + WriteScript("table.txt", script) + "'");
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ(TableWithTwoPortsAndOneScanner(), result.out);
}

// ---------------------------------------------------------------------------
// State between runs

// serial -> COM name, from `show table` lines.
std::map<std::string, std::string> ScannerPorts(const std::string &table)
{
    std::map<std::string, std::string> ports;
    std::istringstream in(table);
    std::string line;
    while (std::getline(in, line)) {
        size_t com = line.find(" com="), scanner = line.find(" scanner=");
        if (com == std::string::npos || scanner == std::string::npos)
            continue;
        std::string serial = line.substr(scanner + 9);
        if (serial != "-")
            ports[serial] = line.substr(com + 5, scanner - com - 5);
    }
    return ports;
}

TEST_F(VexsimTest, SecondRunWithTheSameStateGivesEachScannerItsRememberedPort)
{
    std::string state = folder + "/state";
    std::string first = WriteScript("first.txt", "port add COM3\nport add COM5\nport add COM6\n"
                                                 "scanner plug SN-A\nscanner plug SN-B\nshow table\n");
    RunResult one = RunProgram("--state '" + state + "' run '" + first + "'");
    ASSERT_EQ(0, one.exitCode) << one.err;
    ASSERT_TRUE(fs::exists(state + "/registry.reg"));
    ASSERT_TRUE(fs::exists(state + "/hardware.txt"));
    std::map<std::string, std::string> remembered = ScannerPorts(one.out);
    ASSERT_EQ((std::map<std::string, std::string>{{"SN-A", "COM5"}, {"SN-B", "COM6"}}), remembered);

    // The bus reports the scanners in an order drawn from the run's seed, so several
    // seeds see them arrive in both orders; each starts from the first run's state.
    std::string second = WriteScript("second.txt", "reboot\nshow table\n");
    for (int seed = 1; seed <= 6; ++seed) {
        std::string copy = folder + "/state" + std::to_string(seed);
        fs::copy(state, copy, fs::copy_options::recursive);
        RunResult two = RunProgram("--seed " + std::to_string(seed) + " --state '" + copy + "' run '" + second + "'");
        ASSERT_EQ(0, two.exitCode) << two.err;
        EXPECT_EQ(remembered, ScannerPorts(two.out)) << "seed " << seed << "\n" << two.out;
        // The ports themselves came back from the registry too.
        EXPECT_NE(std::string::npos, two.out.find("slot 0 port=\\Device\\VXVIRTPORT0 com=COM3 scanner=-"))
            << two.out;
    }
}

TEST_F(VexsimTest, StateFolderIsCreatedWhenMissing)
{
    std::string state = folder + "/new";
    RunResult result = RunProgram("--state '" + state + "' run '" + WriteScript("s.txt", "port add COM3\n") + "'");
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_TRUE(fs::exists(state + "/registry.reg"));
}

TEST_F(VexsimTest, WithoutStateEveryRunStartsFromANewMachine)
{
    std::string script = WriteScript("s.txt", "port add COM3\nscanner plug SN-A\nshow table\n");
    RunResult one = RunProgram("run '" + script + "'");
    RunResult two = RunProgram("run '" + script + "'");
    EXPECT_EQ(one.out, two.out);
    EXPECT_NE(std::string::npos, two.out.find("slot 0 port=\\Device\\VXVIRTPORT0 com=COM3 scanner=-")) << two.out;
    EXPECT_EQ("SN-A", ScannerPorts(two.out).begin()->first);
    EXPECT_EQ("-", ScannerPorts(two.out).begin()->second);  // slot 1 has no port on a new machine
}

// ---------------------------------------------------------------------------
// Repeatability

const char *const kBusyScript =
    "port add COM3\nport add COM5\nport add COM6\nport add COM7\n"
    "scanner plug SN-A\nscanner plug SN-B modem\nscanner plug SN-C product \"Third\"\n"
    "reboot\nshow table\nshow reg HKLM\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\nshow log\n"
    "reboot\nshow table\n";

TEST_F(VexsimTest, SameSeedPrintsTheSameOutputInProcess)
{
    RunResult one = RunInProcess(kBusyScript, 7);
    RunResult two = RunInProcess(kBusyScript, 7);
    ASSERT_EQ(0, one.exitCode) << one.err;
    EXPECT_FALSE(one.out.empty());
    EXPECT_EQ(one.out, two.out);
    EXPECT_EQ(one.err, two.err);
}

TEST_F(VexsimTest, SameSeedPrintsTheSameOutputFromTheProgram)
{
    std::string script = WriteScript("busy.txt", kBusyScript);
    RunResult one = RunProgram("--seed 11 run '" + script + "'");
    RunResult two = RunProgram("--seed 11 run '" + script + "'");
    ASSERT_EQ(0, one.exitCode) << one.err;
    EXPECT_EQ(one.out, two.out);
    // And the program prints what the library run prints.
    EXPECT_EQ(RunInProcess(kBusyScript, 11).out, one.out);
}

// ---------------------------------------------------------------------------
// Demo

TEST_F(VexsimTest, DemoRunsToItsEndAndExitsZero)
{
    RunResult result = RunProgram("demo");
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(0u, result.out.rfind("vexsim demo: ", 0)) << result.out;
    EXPECT_NE(std::string::npos, result.out.find("> reboot\n"));
    EXPECT_NE(std::string::npos,
              result.out.find("\nEach scanner is back on the COM port it had before the restart.\n"));
    // After the reboot each scanner is where it was before.
    size_t reboot = result.out.find("> reboot\n");
    std::map<std::string, std::string> before = ScannerPorts(result.out.substr(0, reboot));
    std::map<std::string, std::string> after = ScannerPorts(result.out.substr(reboot));
    EXPECT_EQ(2u, before.size());
    EXPECT_EQ(before, after);
}

}  // namespace
