// One simulated Windows machine per process: boots the kernel, Plug and Play
// and the USB bus, shuts them down again, and keeps what survives a power
// cycle (the registry and the attached hardware) in a state folder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ex/Pool.h"
#include "ke/Clock.h"
#include "ke/Scheduler.h"
#include "usb/Hub.h"

namespace plat {

struct MachineOptions {
    uint64_t seed = 1;
    // Empty: a new machine every time. Otherwise registry.reg and
    // hardware.txt in this folder are loaded at start and saved at every
    // reboot and at the end (see StateFolder); the folder is locked meanwhile.
    std::string stateDir;
    // Largest total of non-paged pool the machine's drivers may hold.
    size_t nonPagedPoolBytes = kDefaultNonPagedPoolBytes;
    int workerThreads = 2;
    // How the simulated threads interleave (preemption at synchronisation
    // points, race depth); `seed` above picks the interleaving.
    SchedulePolicy schedule;
    LONGLONG bootTime = kDefaultBootTime;
    LONG timeZoneBiasMinutes = 0;
    UCHAR wdmMajor = 6;
    UCHAR wdmMinor = 0;
};

class StateFolder;

class Machine {
public:
    // beforeBoot runs once the saved state is loaded and before the first
    // boot: the place to install what the machine has on its disk. Throws
    // StateError, before anything boots and without saving, when the state
    // folder cannot be used or read.
    explicit Machine(const MachineOptions &options, const std::function<void()> &beforeBoot = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    static Machine *Current();

    // Everything is unloaded as at shutdown, the state is saved, then the
    // machine starts again and finds the same device nodes: root-enumerated
    // ones first, then the scanners the hub reports. False, with *error, when
    // the state could not be saved (the machine starts again all the same).
    bool Reboot(std::string *error = nullptr);
    // Shutdown and the last save; the destructor does it when nobody did.
    // False, with *error, when the state could not be saved.
    bool PowerOff(std::string *error = nullptr);

    // A root-enumerated device node, as setup or the service creates one.
    std::u16string AddRootDevice(std::u16string_view enumerator, const DeviceNodeSetup &setup);
    std::vector<std::u16string> PlugScanner(const ScannerModel &model);
    // The scanner with this serial number is pulled out; false when none is
    // attached.
    bool UnplugScanner(std::u16string_view serial);
    // System sleep (S1-S4) and the return to S0.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    NTSTATUS Wake();

    const MachineOptions &Options() const { return options_; }

private:
    void Boot();
    void Shutdown();
    bool SaveState(std::string *error);

    MachineOptions options_;
    std::unique_ptr<StateFolder> state_;
    bool running_ = false;
};

}  // namespace plat
