// One simulated Windows machine per process: boots the kernel, Plug and Play
// and the USB bus, shuts them down again, and keeps what survives a power
// cycle (the registry and the attached hardware) in a state folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ke/Clock.h"
#include "ke/Scheduler.h"
#include "usb/Hub.h"

namespace plat {

struct MachineOptions {
    uint64_t seed = 1;
    // Empty: a new machine every time. Otherwise registry.reg and
    // hardware.txt in this folder are loaded at start and saved at the end.
    std::string stateDir;
    int workerThreads = 2;
    // How the simulated threads interleave (preemption at synchronisation
    // points, race depth); the seed above picks the interleaving.
    SchedulePolicy schedule;
    LONGLONG bootTime = kDefaultBootTime;
    LONG timeZoneBiasMinutes = 0;
    UCHAR wdmMajor = 6;
    UCHAR wdmMinor = 0;
};

class Machine {
public:
    // beforeBoot runs once the saved state is loaded and before the first
    // boot: the place to install what the machine has on its disk.
    explicit Machine(const MachineOptions &options, const std::function<void()> &beforeBoot = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    static Machine *Current();

    // Everything is unloaded as at shutdown, then the machine starts again
    // and finds the same device nodes: root-enumerated ones first, then the
    // scanners the hub reports.
    void Reboot();

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
    // Saves registry and hardware now (also done at destruction).
    void SaveState() const;

private:
    void Boot();
    void Shutdown();
    void LoadState();

    MachineOptions options_;
    bool running_ = false;
};

}  // namespace plat
