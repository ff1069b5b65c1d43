// The simulator's hardware and device records stay true to what happened: a
// refused plug or port leaves nothing behind for the next boot, boot reports
// the devices it could not add, serial numbers the hub cannot use get an
// instance ID of their own, and the driver's table size follows PortCount
// within the machine's pool.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "sim/VexsimFixture.h"

namespace {

using sim::test::RunResult;
using sim::test::VexsimTest;
namespace fs = std::filesystem;

constexpr const char *kServiceRegistry =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VEXLINK]\n"
    "\"ImagePath\"=\"\\\\SystemRoot\\\\System32\\\\drivers\\\\vexlink.sys\"\n"
    "\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n\"ErrorControl\"=dword:00000001\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration]\n";

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class DeviceRecordTest : public VexsimTest {
protected:
    std::string State() const { return folder + "/state"; }

    // A state folder whose driver configuration has this PortCount.
    void WriteStateWithPortCount(const std::string &dword)
    {
        fs::create_directory(State());
        std::ofstream(State() + "/registry.reg") << kServiceRegistry << "\"PortCount\"=dword:" << dword << "\n";
    }
};

TEST_F(DeviceRecordTest, ARefusedSecondPlugLeavesOneRecordThatOneUnplugRemoves)
{
    RunResult twice = RunInProcess("scanner plug A1\nscanner plug A1\n", 1, State());
    ASSERT_EQ(1, twice.exitCode);

    RunResult after = RunInProcess("scanner unplug A1\nreboot\nshow devices\n", 1, State());
    EXPECT_EQ(0, after.exitCode) << after.err;
    EXPECT_EQ(std::string::npos, after.out.find("A1")) << "the scanner came back after the reboot:\n" << after.out;
    EXPECT_EQ(1, RunInProcess("scanner unplug A1\n", 1, State()).exitCode);
}

TEST_F(DeviceRecordTest, ARefusedPortLeavesNoNodeToComeAliveAtTheNextBoot)
{
    std::string script;
    for (int n = 1; n <= 12; ++n)
        script += "port add COM" + std::to_string(n) + "\n";
    ASSERT_EQ(1, RunInProcess(script, 1, State()).exitCode);

    RunResult after = RunInProcess("reboot\nshow devices\n", 1, State());
    EXPECT_EQ(0, after.exitCode) << after.err;
    EXPECT_EQ(11u, Count(after.out, "class=Ports")) << after.out;
    EXPECT_EQ(std::string::npos, after.out.find("was not added")) << after.out;
    RunResult key = RunInProcess("show reg HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0011\n", 1, State());
    EXPECT_EQ(1, key.exitCode) << "the refused port's node key is still there:\n" << key.out;
}

TEST_F(DeviceRecordTest, BootAndRebootReportTheDevicesTheyCouldNotAdd)
{
    ASSERT_EQ(0, RunInProcess("port add COM3\nport add COM5\nport add COM6\n", 1, State()).exitCode);
    // PortCount lowered by hand: two slots for three ports.
    std::string path = State() + "/registry.reg";
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    size_t at = text.find("\"PortCount\"=dword:0000000a");
    ASSERT_NE(std::string::npos, at);
    text.replace(at, 26, "\"PortCount\"=dword:00000001");
    std::ofstream(path) << text;

    RunResult result = RunInProcess("reboot\n", 1, State());
    EXPECT_EQ(0, result.exitCode) << result.err;
    const std::string failure = "device ROOT\\PORTS\\0002 was not added: AddDevice returned 0xC0000001\n";
    EXPECT_EQ("boot: " + failure + "line 1: " + failure, result.out);
}

// Serial numbers the hub can use name their device; the others are told
// apart by the hub port they are plugged into (1, 2, ... in plug order here).
TEST_F(DeviceRecordTest, SerialNumbersTheHubCannotUseGetAnInstanceIdFromTheirPort)
{
    const std::string script = "scanner plug A_B\nscanner plug A\\B\nscanner plug A,B\nscanner plug \"A B\"\n"
                               "scanner plug Caf\xC3\xA9\nscanner plug \\A\nshow devices\n";
    RunResult result = RunInProcess(script, 1, State());
    ASSERT_EQ(0, result.exitCode) << result.err;
    const char *const nodes[] = {"\\A_B ", "\\5&1D2C3B4A&0&2 ", "\\5&1D2C3B4A&0&3 ", "\\5&1D2C3B4A&0&4 ",
                                 "\\5&1D2C3B4A&0&5 ", "\\5&1D2C3B4A&0&6 "};
    for (const char *node : nodes)
        EXPECT_NE(std::string::npos, result.out.find("node=USB\\VID_E7A3&PID_0204" + std::string(node)))
            << node << " missing:\n" << result.out;

    // The hub ports, and with them the instance IDs, stay after a reboot.
    RunResult again = RunInProcess("reboot\nshow devices\n", 1, State());
    ASSERT_EQ(0, again.exitCode) << again.err;
    for (const char *node : nodes)
        EXPECT_NE(std::string::npos, again.out.find("node=USB\\VID_E7A3&PID_0204" + std::string(node)))
            << node << " missing after the reboot:\n" << again.out;
}

struct UnrecordableSerial {
    const char *name;
    const char *serial;   // as written in the script
    const char *keyPath;  // below the driver's Configuration key
};

void PrintTo(const UnrecordableSerial &u, std::ostream *os) { *os << u.name; }

class UnrecordablePairingTest : public DeviceRecordTest, public ::testing::WithParamInterface<UnrecordableSerial> {};

// An empty key name inside the serial number: the scanner pairs in memory,
// but its key cannot be opened to record it.
TEST_P(UnrecordablePairingTest, IsPairedInMemoryAndTheLogSaysItIsNotRecorded)
{
    const std::string serial = GetParam().serial;
    RunResult result = RunInProcess("port add COM3\nport add COM5\nscanner plug " + serial + "\nshow table\nshow log\n");
    ASSERT_EQ(0, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.out.find("slot 1 port=\\Device\\VXVIRTPORT1 com=COM5 scanner=" + serial))
        << result.out;
    EXPECT_NE(std::string::npos,
              result.out.find("debug: vexlink.sys: the pairing with COM5 cannot be recorded: key "
                              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration" +
                              std::string(GetParam().keyPath) + " cannot be opened\n"))
        << result.out;
}

INSTANTIATE_TEST_SUITE_P(Serials, UnrecordablePairingTest,
                         ::testing::Values(UnrecordableSerial{"LeadingBackslash", "\\A", "\\\\A"},
                                           UnrecordableSerial{"DoubledBackslash", "A\\\\B", "\\A\\\\B"}),
                         [](const auto &info) { return std::string(info.param.name); });

struct PortCountCase {
    const char *name;
    const char *dword;
    const char *log;
};

void PrintTo(const PortCountCase &p, std::ostream *os) { *os << p.name << " (PortCount 0x" << p.dword << ")"; }

class PortCountTest : public DeviceRecordTest, public ::testing::WithParamInterface<PortCountCase> {};

TEST_P(PortCountTest, ATableTheDriverCannotHoldIsRefusedInTheLog)
{
    WriteStateWithPortCount(GetParam().dword);
    RunResult result = RunInProcess("scanner plug SN-1\nshow table\nshow log\n", 1, State());
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("line 1: device USB\\VID_E7A3&PID_0204\\SN-1 was not added: AddDevice returned 0xC0000001\n"
              "no port table\n"
              "debug: " + std::string(GetParam().log) + "\n",
              result.out);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PortCountTest,
    ::testing::Values(
        // 4 GB of table: more than the machine's non-paged pool.
        PortCountCase{"BeyondThePool", "10000000", "vexlink.sys: no pool for a port table of 268435457 slots"},
        // PortCount + 1 would wrap to no slots at all.
        PortCountCase{"WrappingTheSlotCount", "ffffffff",
                      "vexlink.sys: PortCount 4294967295 is more ports than a table can count; no port table"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DeviceRecordTest, TheNonPagedPoolOptionSizesTheMachinesPool)
{
    // 65,537 slots of 16 bytes: just over 1 MB.
    WriteStateWithPortCount("00010000");
    std::string script = WriteScript("s.txt", "scanner plug SN-1\nshow log\n");
    RunResult small = RunProgram("--nonpaged-pool 1 --state '" + State() + "' run '" + script + "'");
    EXPECT_EQ(0, small.exitCode) << small.err;
    EXPECT_NE(std::string::npos, small.out.find("vexlink.sys: no pool for a port table of 65537 slots")) << small.out;

    fs::remove_all(State());
    WriteStateWithPortCount("00010000");
    RunResult normal = RunProgram("--state '" + State() + "' run '" + script + "'");
    EXPECT_EQ(0, normal.exitCode) << normal.err;
    EXPECT_EQ("(the log is empty)\n", normal.out);
}

}  // namespace
