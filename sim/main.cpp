// vexsim: runs scenarios on a simulated Windows machine with the vexlink
// driver installed.
#include <fstream>
#include <iostream>
#include <string>
#include <sys/stat.h>

#include "Demo.h"
#include "Scenario.h"

namespace {

int Usage()
{
    std::cerr << "usage: vexsim [--state DIR] [--seed N] [--nonpaged-pool MB] run FILE   (FILE - reads standard input)\n"
                 "       vexsim demo\n";
    return 2;
}

// A decimal number from 0 to max, digits only: no sign, no blanks.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    try {
        *value = std::stoull(text);
    } catch (const std::out_of_range &) {
        return false;
    }
    return *value <= max;
}

}  // namespace

int main(int argc, char **argv)
{
    sim::RunOptions options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--state" && i + 1 < argc) {
            options.stateDir = argv[++i];
        } else if (arg == "--seed" && i + 1 < argc) {
            std::string value = argv[++i];
            if (!ParseNumber(value, UINT64_MAX, &options.seed)) {
                std::cerr << "vexsim: --seed needs a number from 0 to " << UINT64_MAX << ", not '" << value << "'\n";
                return 2;
            }
        } else if (arg == "--nonpaged-pool" && i + 1 < argc) {
            std::string value = argv[++i];
            uint64_t megabytes;
            // Up to 1 TB, the most pool a simulated machine could be given.
            if (!ParseNumber(value, uint64_t(1) << 20, &megabytes) || megabytes == 0) {
                std::cerr << "vexsim: --nonpaged-pool needs a size in MB from 1 to 1048576, not '" << value << "'\n";
                return 2;
            }
            options.nonPagedPoolBytes = static_cast<size_t>(megabytes) << 20;
        } else {
            break;
        }
    }
    if (i >= argc)
        return Usage();
    std::string command = argv[i];
    if (command == "demo" && i + 1 == argc)
        return sim::RunDemo(std::cout, std::cerr);
    if (command != "run" || i + 2 != argc)
        return Usage();
    std::string file = argv[i + 1];
    std::ifstream input;
    std::istream *in = &std::cin;
    if (file != "-") {
        struct stat info;
        if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            std::cerr << "vexsim: cannot run '" << file << "': it is a folder\n";
            return 2;
        }
        input.open(file);
        if (!input) {
            std::cerr << "vexsim: cannot open '" << file << "'\n";
            return 2;
        }
        in = &input;
    }
    std::vector<sim::Command> commands;
    sim::ScriptError error;
    if (!sim::ParseScript(*in, &commands, &error)) {
        std::cerr << (file == "-" ? std::string("<stdin>") : file) << ":" << error.line << ": " << error.message << "\n";
        return 2;
    }
    return sim::RunScript(commands, options, std::cout, std::cerr);
}
