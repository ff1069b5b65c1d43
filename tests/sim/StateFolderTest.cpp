// The state folder loses nothing: a state file that cannot be read stops the
// run with FILE:LINE and is left as it was, a folder that cannot be used is
// refused before the script runs, a kill in the middle of a save leaves the
// old or the new state whole, and a second run on a locked folder is refused.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "machine/Machine.h"
#include "machine/StateFolder.h"
#include "sim/VexsimFixture.h"

namespace {

using sim::test::RunResult;
using sim::test::VexsimTest;
namespace fs = std::filesystem;

constexpr const char *kHeader = "Windows Registry Editor Version 5.00\n\n";
constexpr const char *kCheckScript =
    "show table\nshow reg HKLM\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\nshow devices\n";

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class StateFolderTest : public VexsimTest {
protected:
    std::string State() const { return folder + "/state"; }
    RunResult Run(const std::string &script, const std::string &environment = "")
    {
        return RunProgram("--state '" + State() + "' run '" + WriteScript("script.txt", script) + "'", environment);
    }
};

// ---------------------------------------------------------------------------
// Hostile state files

struct HostileFile {
    const char *name;
    const char *file;  // registry.reg or hardware.txt; the other is absent
    std::string text;
    const char *error;  // after "<state>/<file>:"
};
void PrintTo(const HostileFile &h, std::ostream *os) { *os << h.name; }

const std::string kScannerFields = " 0056 0056 0 ";

const HostileFile kHostileFiles[] = {
    {"UnknownRootKey", "registry.reg", std::string(kHeader) + "[HKEY_CLASSES_ROOT\\A]\n",
     "3: not a key path below HKEY_LOCAL_MACHINE or HKEY_USERS"},
    {"KeyName256Characters", "registry.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'K') + "]\n",
     "3: key name longer than 255 characters"},
    {"DwordOutOfRange", "registry.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:100000000\n",
     "4: dword needs 1 to 8 hex digits"},
    {"BadHexDigit", "registry.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,0g\n",
     "4: bad hex byte '0g'"},
    {"CutInsideAHexList", "registry.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,02,\\\n",
     "4: continuation at the end of the text"},
    {"Nested513Levels", "registry.reg", [] {
         std::string path = "HKEY_LOCAL_MACHINE";
         for (int i = 0; i < 512; ++i)
             path += "\\K";
         return std::string(kHeader) + "[" + path + "]\n";
     }(),
     "3: key nested deeper than 512 levels"},
    {"ValueName16384Characters", "registry.reg",
     std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\A]\n\"" + std::string(16384, 'v') + "\"=dword:1\n",
     "4: value name longer than 16383 characters"},
    {"InvalidUtf8", "registry.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Caf\xC3]\n", "3: invalid UTF-8"},
    {"NonHexSerial", "hardware.txt", "scanner 00zz" + kScannerFields + "1\n",
     "1: '00zz' is not UTF-16 in hex (four digits a character) or -"},
    {"CutSerial", "hardware.txt", "scanner 004" + kScannerFields + "1\n",
     "1: '004' is not UTF-16 in hex (four digits a character) or -"},
    {"MissingField", "hardware.txt", "scanner 0041 0056 0056 0\n",
     "1: a scanner needs serial, product, manufacturer, modem and port"},
    {"ModemNotABit", "hardware.txt", "scanner 0041 0056 0056 2 1\n", "1: modem must be 0 or 1, not '2'"},
    {"PortOutOfRange", "hardware.txt", "scanner 0041" + kScannerFields + "128\n", "1: port must be 1 to 127, not '128'"},
    {"SerialTwice", "hardware.txt", "scanner 0041" + kScannerFields + "1\n\nscanner 0041" + kScannerFields + "2\n",
     "3: scanner 'A' is listed twice"},
    {"TwoScannersOnOnePort", "hardware.txt", "scanner 0041" + kScannerFields + "1\nscanner 0042" + kScannerFields + "1\n",
     "2: two scanners on hub port 1"},
    {"UnknownRecord", "hardware.txt", "printer 0041\n", "1: unknown record 'printer'"},
};

class HostileFileTest : public StateFolderTest, public ::testing::WithParamInterface<HostileFile> {};

TEST_P(HostileFileTest, RefusesToStartNamingTheLineAndLeavesTheFileAlone)
{
    fs::create_directory(State());
    const std::string path = State() + "/" + GetParam().file;
    std::ofstream(path, std::ios::binary) << GetParam().text;

    RunResult result = Run("port add COM3\nshow table\n");

    EXPECT_EQ(2, result.exitCode);
    EXPECT_EQ(path + ":" + GetParam().error + "\n", result.err);
    EXPECT_EQ("", result.out) << "the script ran on a machine that was not loaded";
    EXPECT_EQ(GetParam().text, ReadFile(path)) << "the state that could not be read was written over";
    for (const char *other : {"registry.reg", "hardware.txt"}) {
        if (std::string(other) != GetParam().file) {
            EXPECT_FALSE(fs::exists(State() + "/" + other)) << other << " was written";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFileTest, ::testing::ValuesIn(kHostileFiles),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(StateFolderTest, FilesFromDifferentSavesAreRefused)
{
    ASSERT_EQ(0, Run("port add COM3\nscanner plug SN-1\n").exitCode);
    const std::string hardware = ReadFile(State() + "/hardware.txt");
    ASSERT_EQ(0, Run("scanner plug SN-2\n").exitCode);
    // An older hardware.txt put back by hand beside the newer registry.
    std::ofstream(State() + "/hardware.txt") << hardware;
    const std::string registry = ReadFile(State() + "/registry.reg");

    RunResult result = Run("show table\n");
    EXPECT_EQ(2, result.exitCode);
    EXPECT_EQ(State() + ": registry.reg (save 2) and hardware.txt (save 1) are not from the same save\n", result.err);
    EXPECT_EQ(registry, ReadFile(State() + "/registry.reg"));
    EXPECT_EQ(hardware, ReadFile(State() + "/hardware.txt"));
}

// ---------------------------------------------------------------------------
// Folders that cannot hold a state

struct BadFolder {
    const char *name;
    const char *message;  // after "<path>: "
};
void PrintTo(const BadFolder &b, std::ostream *os) { *os << b.name; }

class BadFolderTest : public StateFolderTest, public ::testing::WithParamInterface<BadFolder> {
protected:
    // The path given to --state, and the one the message names.
    std::pair<std::string, std::string> Prepare()
    {
        std::string name = GetParam().name;
        if (name == "AFile") {
            std::ofstream(State()) << "not a folder\n";
            return {State(), State()};
        }
        if (name == "ReadOnly") {
            // Root writes in any folder whose mode says otherwise, but not in
            // a process's /proc folder.
            if (geteuid() == 0)
                return {"/proc/1", "/proc/1"};
            fs::create_directory(State());
            chmod(State().c_str(), 0555);
            return {State(), State()};
        }
        std::string file = name == "RegistryIsAFolder" ? "/registry.reg" : "/hardware.txt";
        fs::create_directories(State() + file);
        return {State(), State() + file};
    }
};

TEST_P(BadFolderTest, IsRefusedBeforeTheScriptRuns)
{
    auto [path, named] = Prepare();
    RunResult result = RunProgram("--state '" + path + "' run '" + WriteScript("s.txt", "show table\n") + "'");
    chmod(State().c_str(), 0755);
    EXPECT_EQ(2, result.exitCode);
    EXPECT_EQ(0u, result.err.rfind(named + ": " + GetParam().message, 0)) << result.err;
    EXPECT_EQ("", result.out);
}

INSTANTIATE_TEST_SUITE_P(Folders, BadFolderTest,
                         ::testing::Values(BadFolder{"AFile", "not a folder"},
                                           BadFolder{"ReadOnly", "cannot write in the state folder"},
                                           BadFolder{"RegistryIsAFolder", "not a file"},
                                           BadFolder{"HardwareIsAFolder", "not a file"}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A kill in the middle of a save

struct CrashPoint {
    const char *name;
    const char *point;  // VEXSIM_SAVE_CRASH
    bool newStateSurvives;
};
void PrintTo(const CrashPoint &c, std::ostream *os) { *os << c.name; }

class KillDuringSaveTest : public StateFolderTest, public ::testing::WithParamInterface<CrashPoint> {
protected:
    // What kCheckScript prints on a copy of the state, after `change` ran on
    // that copy in a run of its own.
    std::string CheckOfCopy(const std::string &change = "")
    {
        std::string copy = folder + "/copy";
        fs::remove_all(copy);
        fs::copy(State(), copy, fs::copy_options::recursive);
        if (!change.empty()) {
            EXPECT_EQ(0, RunProgram("--state '" + copy + "' run '" + WriteScript("change.txt", change) + "'").exitCode);
        }
        RunResult result = RunProgram("--state '" + copy + "' run '" + WriteScript("check.txt", kCheckScript) + "'");
        EXPECT_EQ(0, result.exitCode) << result.err;
        return result.out;
    }
};

TEST_P(KillDuringSaveTest, LeavesTheOldOrTheNewStateWhole)
{
    ASSERT_EQ(0, Run("port add COM3\nport add COM5\nscanner plug SN-A\n").exitCode);
    const std::string change = "scanner plug SN-B modem\nport add COM6\n";
    const std::string before = CheckOfCopy();
    const std::string after = CheckOfCopy(change);
    ASSERT_NE(before, after);

    RunResult killed = Run(change, std::string("VEXSIM_SAVE_CRASH=") + GetParam().point);
    ASSERT_EQ(-1, killed.exitCode) << "the run was not killed in its save";

    RunResult next = Run(kCheckScript);
    ASSERT_EQ(0, next.exitCode) << next.err;
    EXPECT_EQ(GetParam().newStateSurvives ? after : before, next.out);
    for (const char *leftover : {"registry.reg.new", "hardware.txt.new"})
        EXPECT_FALSE(fs::exists(State() + "/" + leftover)) << leftover << " was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Points, KillDuringSaveTest,
    ::testing::Values(CrashPoint{"HalfWayThroughTheRegistry", "registry-write", false},
                      CrashPoint{"HalfWayThroughTheHardware", "hardware-write", false},
                      // registry.reg is renamed, hardware.txt not yet: the
                      // next load completes the save.
                      CrashPoint{"BetweenTheTwoRenames", "between-renames", true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Two runs at once

TEST_F(StateFolderTest, ASecondRunOnAFolderInUseIsRefusedAndChangesNothing)
{
    ASSERT_EQ(0, Run("port add COM3\n").exitCode);
    const std::string registry = ReadFile(State() + "/registry.reg");
    {
        plat::MachineOptions options;
        options.stateDir = State();
        plat::Machine running(options);

        RunResult second = Run("port add COM5\n");
        EXPECT_EQ(2, second.exitCode);
        EXPECT_EQ(State() + ": the state folder is in use by another run (process " + std::to_string(getpid()) + ")\n",
                  second.err);
        EXPECT_EQ(registry, ReadFile(State() + "/registry.reg"));
    }
    RunResult later = Run("port add COM5\n");
    EXPECT_EQ(0, later.exitCode) << later.err;
}

}  // namespace
