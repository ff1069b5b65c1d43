// What the simulator's tests share: a fresh temporary folder per test, a run
// of a script in process (as the program runs it, without its argument
// handling) and a run of the vexsim program itself.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Scenario.h"
#include "ke/Scheduler.h"
#include "verifier/Verifier.h"

namespace sim::test {

namespace fs = std::filesystem;

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class VexsimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::SetVerifierHandler([](const std::string &message) { ADD_FAILURE() << message; });
        plat::Scheduler::Get().onDeadlock = [](const std::string &report) { ADD_FAILURE() << report; };
        char pattern[] = "/tmp/vexsimtest.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        folder = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        plat::SetVerifierHandler(nullptr);
        plat::Scheduler::Get().onDeadlock = nullptr;
    }

    // In process: parses and runs like the program, without its argument handling.
    RunResult RunInProcess(const std::string &script, uint64_t seed = 1, const std::string &stateDir = "")
    {
        std::istringstream in(script);
        std::vector<sim::Command> commands;
        sim::ScriptError error;
        RunResult result;
        if (!sim::ParseScript(in, &commands, &error)) {
            result.exitCode = 2;
            result.err = std::to_string(error.line) + ": " + error.message;
            return result;
        }
        sim::RunOptions options;
        options.seed = seed;
        options.stateDir = stateDir;
        std::ostringstream out, err;
        result.exitCode = sim::RunScript(commands, options, out, err);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    std::string WriteScript(const std::string &name, const std::string &script)
    {
        std::string path = folder + "/" + name;
        std::ofstream(path) << script;
        return path;
    }

    // The vexsim program next to this test program, run with `arguments`
    // (already quoted for the shell); environment is put before the program
    // (VAR=value ...). A program killed by a signal gives exit code -1.
    RunResult RunProgram(const std::string &arguments, const std::string &environment = "")
    {
        static const std::string program = fs::read_symlink("/proc/self/exe").parent_path() / "vexsim";
        RunResult result;
        if (!fs::exists(program)) {
            ADD_FAILURE() << program << " is missing: build the vexsim target";
            return result;
        }
        std::string errFile = folder + "/stderr.txt";
        // exec: the program replaces the shell, so that its own end is seen.
        std::string command = "exec env " + environment + " '" + program + "' " + arguments + " 2>'" + errFile + "'";
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe) {
            ADD_FAILURE() << "cannot run " << command;
            return result;
        }
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            result.out.append(buffer, n);
        int status = pclose(pipe);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream errIn(errFile);
        result.err.assign(std::istreambuf_iterator<char>(errIn), std::istreambuf_iterator<char>());
        return result;
    }

    std::string folder;
};

}  // namespace sim::test
