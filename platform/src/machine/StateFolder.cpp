// The state folder: its lock, the save that a crash cannot tear, and the
// strict reading of registry.reg and hardware.txt.
#include "machine/StateFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "cm/Hive.h"
#include "rtl/Text.h"

namespace plat {
namespace {

constexpr const char *kRegistryFile = "registry.reg";
constexpr const char *kHardwareFile = "hardware.txt";
constexpr const char *kLockFile = "lock";
constexpr const char *kNewSuffix = ".new";
// The registry file's second line; the registry editor reads it as a comment.
constexpr std::string_view kRegistryMarker = "; vexsim save generation ";
constexpr std::string_view kHardwareMarker = "generation ";
constexpr size_t kMaxSerialUnits = 126;

std::string Why() { return std::strerror(errno); }

// A test stands for a crash in the middle of a save by naming the point in
// VEXSIM_SAVE_CRASH: the process is killed there as by `kill -9`.
bool CrashRequestedAt(const char *point)
{
    const char *requested = std::getenv("VEXSIM_SAVE_CRASH");
    return requested && std::strcmp(requested, point) == 0;
}

void CrashIfRequestedAt(const char *point)
{
    if (CrashRequestedAt(point))
        std::raise(SIGKILL);
}

// False when the file does not exist; throws for any other failure.
bool ReadWhole(const std::string &path, std::string *text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return false;
        throw StateError(path + ": cannot read (" + Why() + ")");
    }
    text->clear();
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::string why = Why();
            close(fd);
            throw StateError(path + ": cannot read (" + why + ")");
        }
        if (n == 0)
            break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// Writes and flushes a file under a new name; crashPoint names where a test
// may have the process killed half-way through.
bool WriteWhole(const std::string &path, const std::string &text, const char *crashPoint, std::string *error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = path + ": cannot write (" + Why() + ")";
        return false;
    }
    size_t end = CrashRequestedAt(crashPoint) ? text.size() / 2 : text.size();
    for (size_t done = 0; done < end;) {
        ssize_t n = write(fd, text.data() + done, end - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = path + ": cannot write (" + Why() + ")";
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (end != text.size()) {
        fsync(fd);
        CrashIfRequestedAt(crashPoint);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        *error = path + ": cannot write (" + Why() + ")";
        return false;
    }
    return true;
}

// The save generation a registry file names on its marker line; 0 without one.
uint64_t RegistryGeneration(const std::string &text)
{
    size_t at = text.find(std::string("\n") + std::string(kRegistryMarker));
    if (at == std::string::npos || at > 200)
        return 0;
    return std::strtoull(text.c_str() + at + 1 + kRegistryMarker.size(), nullptr, 10);
}

bool IsHexField(const std::string &field)
{
    if (field == "-")
        return true;
    if (field.empty() || field.size() % 4 != 0)
        return false;
    for (char c : field)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

std::string HexOf(std::u16string_view text)
{
    if (text.empty())
        return "-";
    std::string out;
    char b[8];
    for (char16_t c : text) {
        std::snprintf(b, sizeof b, "%04x", c);
        out += b;
    }
    return out;
}

std::u16string FromHex(const std::string &hex)
{
    std::u16string out;
    if (hex == "-")
        return out;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        out.push_back(static_cast<char16_t>(std::stoul(hex.substr(i, 4), nullptr, 16)));
    return out;
}

bool ParseDecimal(const std::string &text, unsigned long max, unsigned long *value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stoul(text);
    return *value <= max;
}

}  // namespace

StateFolder::StateFolder(std::string path) : path_(std::move(path))
{
    struct stat info;
    if (stat(path_.c_str(), &info) != 0) {
        if (errno != ENOENT || mkdir(path_.c_str(), 0755) != 0)
            throw StateError(path_ + ": cannot create the state folder (" + Why() + ")");
    } else if (!S_ISDIR(info.st_mode)) {
        throw StateError(path_ + ": not a folder");
    }
    if (access(path_.c_str(), W_OK) != 0)
        throw StateError(path_ + ": cannot write in the state folder (" + Why() + ")");
    for (const char *name : {kRegistryFile, kHardwareFile})
        if (stat(File(name).c_str(), &info) == 0 && !S_ISREG(info.st_mode))
            throw StateError(File(name) + ": not a file");
    Lock();
}

StateFolder::~StateFolder()
{
    if (lockFd_ >= 0)
        close(lockFd_);
}

void StateFolder::Lock()
{
    lockFd_ = open(File(kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0)
        throw StateError(path_ + ": cannot write in the state folder (" + Why() + ")");
    if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        std::string holder;
        char buffer[32] = {};
        if (pread(lockFd_, buffer, sizeof buffer - 1, 0) > 0)
            holder = std::string(" (process ") + std::to_string(std::atol(buffer)) + ")";
        close(lockFd_);
        lockFd_ = -1;
        throw StateError(path_ + ": the state folder is in use by another run" + holder);
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) != 0 || pwrite(lockFd_, pid.data(), pid.size(), 0) < 0) {
        // The lock holds without the note of who holds it.
    }
}

std::vector<ScannerModel> StateFolder::ReadHardware(const std::string &file, const std::string &text,
                                                    uint64_t *generation)
{
    std::vector<ScannerModel> models;
    std::set<std::u16string> serials;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    *generation = 0;
    auto fail = [&](const std::string &problem) {
        return StateError(file + ":" + std::to_string(number) + ": " + problem);
    };
    // One scanner per line: serial, product, manufacturer (UTF-16 units in
    // hex, "-" for none), modem 0 or 1, and the hub port it is plugged into.
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string word; fields >> word;)
            f.push_back(word);
        if (number == 1 && f[0] + " " == kHardwareMarker) {
            unsigned long value;
            if (f.size() != 2 || !ParseDecimal(f[1], 0xFFFFFFFFul, &value))
                throw fail("generation needs one number");
            *generation = value;
            continue;
        }
        if (f[0] != "scanner")
            throw fail("unknown record '" + f[0] + "'");
        if (f.size() != 6)
            throw fail("a scanner needs serial, product, manufacturer, modem and port");
        for (size_t i = 1; i <= 3; ++i)
            if (!IsHexField(f[i]))
                throw fail("'" + f[i] + "' is not UTF-16 in hex (four digits a character) or -");
        unsigned long modem, port;
        if (!ParseDecimal(f[4], 1, &modem))
            throw fail("modem must be 0 or 1, not '" + f[4] + "'");
        if (!ParseDecimal(f[5], kHubPortCount, &port) || port == 0)
            throw fail("port must be 1 to " + std::to_string(kHubPortCount) + ", not '" + f[5] + "'");
        ScannerModel m;
        m.serial = FromHex(f[1]);
        m.product = FromHex(f[2]);
        m.manufacturer = FromHex(f[3]);
        m.modem = modem != 0;
        m.hubPort = static_cast<UCHAR>(port);
        if (m.serial.empty() || m.serial.size() > kMaxSerialUnits)
            throw fail("a serial number has 1 to 126 characters");
        if (m.product.size() > kMaxSerialUnits || m.manufacturer.size() > kMaxSerialUnits)
            throw fail("a product or manufacturer text has at most 126 characters");
        if (!serials.insert(m.serial).second)
            throw fail("scanner '" + ToUtf8(m.serial) + "' is listed twice");
        for (const auto &other : models)
            if (other.hubPort == m.hubPort)
                throw fail("two scanners on hub port " + f[5]);
        models.push_back(m);
    }
    return models;
}

std::vector<ScannerModel> StateFolder::Load()
{
    std::string registry, hardware;
    bool haveRegistry = ReadWhole(File(kRegistryFile), &registry);
    ReadWhole(File(kHardwareFile), &hardware);
    uint64_t registryGeneration = haveRegistry ? RegistryGeneration(registry) : 0;
    uint64_t hardwareGeneration = 0;
    std::vector<ScannerModel> models = ReadHardware(File(kHardwareFile), hardware, &hardwareGeneration);
    if (registryGeneration != hardwareGeneration) {
        // A save renames registry.reg first: its new partner may still wait
        // under its new name.
        std::string pending;
        uint64_t pendingGeneration = 0;
        std::string pendingFile = File(kHardwareFile) + kNewSuffix;
        if (ReadWhole(pendingFile, &pending)) {
            std::vector<ScannerModel> pendingModels = ReadHardware(pendingFile, pending, &pendingGeneration);
            if (pendingGeneration == registryGeneration) {
                if (rename(pendingFile.c_str(), File(kHardwareFile).c_str()) != 0)
                    throw StateError(pendingFile + ": cannot complete the interrupted save (" + Why() + ")");
                models = std::move(pendingModels);
                hardwareGeneration = pendingGeneration;
            }
        }
    }
    if (registryGeneration != hardwareGeneration)
        throw StateError(path_ + ": " + kRegistryFile + " (save " + std::to_string(registryGeneration) + ") and " +
                         kHardwareFile + " (save " + std::to_string(hardwareGeneration) +
                         ") are not from the same save");
    // What an interrupted save left before its first rename is not state.
    for (const char *name : {kRegistryFile, kHardwareFile})
        unlink((File(name) + kNewSuffix).c_str());
    std::string error;
    if (haveRegistry && !cm::Registry().LoadText(registry, File(kRegistryFile), &error))
        throw StateError(error);
    generation_ = registryGeneration;
    return models;
}

bool StateFolder::Save(const std::vector<ScannerModel> &hardware, std::string *error)
{
    uint64_t generation = generation_ + 1;
    std::string registry = cm::Registry().StateText();
    registry.insert(registry.find('\n') + 1, std::string(kRegistryMarker) + std::to_string(generation) + "\n");
    std::string devices = std::string(kHardwareMarker) + std::to_string(generation) + "\n";
    for (const auto &m : hardware)
        devices += "scanner " + HexOf(m.serial) + " " + HexOf(m.product) + " " + HexOf(m.manufacturer) + " " +
                   (m.modem ? "1" : "0") + " " + std::to_string(m.hubPort) + "\n";
    std::string newRegistry = File(kRegistryFile) + kNewSuffix;
    std::string newHardware = File(kHardwareFile) + kNewSuffix;
    if (!WriteWhole(newRegistry, registry, "registry-write", error) ||
        !WriteWhole(newHardware, devices, "hardware-write", error))
        return false;
    if (rename(newRegistry.c_str(), File(kRegistryFile).c_str()) != 0) {
        *error = File(kRegistryFile) + ": cannot replace (" + Why() + ")";
        return false;
    }
    CrashIfRequestedAt("between-renames");
    if (rename(newHardware.c_str(), File(kHardwareFile).c_str()) != 0) {
        *error = File(kHardwareFile) + ": cannot replace (" + Why() + ")";
        return false;
    }
    // The renames themselves reach the disk with the folder.
    int folder = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    generation_ = generation;
    return true;
}

}  // namespace plat
