// The host folder a simulated machine is kept in between runs: registry.reg
// (the registry in its export form) and hardware.txt (the attached scanners).
//
// Host code. The folder is locked for as long as the object lives, so two
// runs never share it. A save writes both files anew beside the old ones,
// flushes them and renames them over the old ones; both carry the same save
// generation, so a load can tell a pair from one save from a pair that a
// crash between the two renames left, and completes that save.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "usb/Hub.h"

namespace plat {

// A state folder that cannot be used or a state file that cannot be read:
// "PATH: problem" or "FILE:LINE: problem".
class StateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class StateFolder {
public:
    // Creates the folder when missing and locks it. Throws StateError when
    // the path is not a folder, cannot be written in, holds something other
    // than files under the state's names, or another run holds the lock.
    explicit StateFolder(std::string path);
    ~StateFolder();
    StateFolder(const StateFolder &) = delete;
    StateFolder &operator=(const StateFolder &) = delete;

    // Reads the saved machine into the registry and returns its hardware; a
    // folder without state is a new machine (empty registry, no hardware).
    // Throws StateError, with the registry left empty, for any line that
    // cannot be read.
    std::vector<ScannerModel> Load();
    // Writes the registry and the hardware as the next generation. False,
    // with *error, when a file cannot be written; the old state then stays.
    bool Save(const std::vector<ScannerModel> &hardware, std::string *error);

    const std::string &Path() const { return path_; }

private:
    std::string File(const char *name) const { return path_ + "/" + name; }
    void Lock();
    std::vector<ScannerModel> ReadHardware(const std::string &file, const std::string &text, uint64_t *generation);

    std::string path_;
    int lockFd_ = -1;
    uint64_t generation_ = 0;
};

}  // namespace plat
