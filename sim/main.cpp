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
    std::cerr << "usage: vexsim [--state DIR] [--seed N] run FILE   (FILE - reads standard input)\n"
                 "       vexsim demo\n";
    return 2;
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
            try {
                size_t used = 0;
                options.seed = std::stoull(value, &used);
                if (used != value.size())
                    throw std::invalid_argument(value);
            } catch (const std::exception &) {
                std::cerr << "vexsim: --seed needs a number, not '" << value << "'\n";
                return 2;
            }
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
    if (!options.stateDir.empty()) {
        struct stat info;
        if (stat(options.stateDir.c_str(), &info) != 0 && mkdir(options.stateDir.c_str(), 0755) != 0) {
            std::cerr << "vexsim: cannot create state folder '" << options.stateDir << "'\n";
            return 2;
        }
    }
    std::string file = argv[i + 1];
    std::ifstream input;
    std::istream *in = &std::cin;
    if (file != "-") {
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
