// The simulator's scenario language: parsing a script and running it on a
// simulated machine.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

struct Command {
    int line = 0;
    std::string text;               // the line as written
    std::vector<std::string> words; // split, quotes removed
};

struct ScriptError {
    int line = 0;
    std::string message;
};

// Parses and checks every line; false (with the first error) when any line
// is not a valid command, so that nothing runs on bad input.
bool ParseScript(std::istream &in, std::vector<Command> *commands, ScriptError *error);

struct RunOptions {
    std::string stateDir;
    uint64_t seed = 1;
    size_t nonPagedPoolBytes = 0;  // 0: the machine's own size
    bool echo = false;  // print each command before its output
};

// Boots a machine, runs the commands, shuts it down. Returns the exit code:
// 0, 1 when a command failed at run time or the state could not be saved, 2
// for a bad script or a state folder that cannot be used or read (the
// message, "FILE:LINE: problem" or "FOLDER: problem", goes to err).
int RunScript(const std::vector<Command> &commands, const RunOptions &options, std::ostream &out,
              std::ostream &err);

// Runs groups of commands on one machine, calling narrate(i) before group i.
int RunScriptWithNarration(const std::vector<std::vector<Command>> &groups,
                           const std::function<void(size_t)> &narrate, const RunOptions &options,
                           std::ostream &out, std::ostream &err);

// Lines of `show table` for the current machine.
std::vector<std::string> DescribePortTable();
// Lines of `show devices`: one per device object of the loaded drivers.
std::vector<std::string> DescribeDevices();

}  // namespace sim
