// Boot, shutdown and persistence of the simulated machine.
#include "machine/Machine.h"

#include "machine/StateFolder.h"

#include "cm/Hive.h"
#include "ex/Pool.h"
#include "ex/WorkQueue.h"
#include "io/IoManager.h"
#include "ke/Clock.h"
#include "ke/Dpc.h"
#include "ob/HandleTable.h"
#include "ob/Namespace.h"
#include "po/PowerManager.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

namespace plat {

void InstallTimerHooks();
void ResetIrps();
void ResetDevicesAndDrivers();

namespace {

Machine *current = nullptr;

}  // namespace

Machine *Machine::Current() { return current; }

Machine::Machine(const MachineOptions &options, const std::function<void()> &beforeBoot) : options_(options)
{
    if (current)
        VerifierFail("machine", "a second simulated machine in one process");
    // Locked before anything changes, so that a folder another run holds
    // stops this one here.
    if (!options_.stateDir.empty())
        state_ = std::make_unique<StateFolder>(options_.stateDir);
    current = this;
    Scheduler::Get().Reset(options_.seed, "main", options_.schedule);
    ResetClock(options_.bootTime);
    cm::SetRegistryTimeSource(SystemTimeNow);
    SetTimeZoneBiasMinutes(options_.timeZoneBiasMinutes);
    ResetDiagnostics();
    // Whatever ran earlier in the process without a machine (a registry or
    // run-time library test, say) leaves this one no handles, pool or faults.
    ResetHandleTable();
    ResetPool();
    SetNonPagedPoolLimit(options_.nonPagedPoolBytes);
    ClearFaults();
    cm::Registry().Clear();
    UsbHub::Get().SetAttached({});
    if (state_) {
        try {
            UsbHub::Get().SetAttached(state_->Load());
        } catch (...) {
            current = nullptr;
            throw;
        }
    }
    if (beforeBoot)
        beforeBoot();
    Boot();
}

Machine::~Machine()
{
    PowerOff();
    current = nullptr;
}

bool Machine::PowerOff(std::string *error)
{
    if (!running_)
        return true;
    Shutdown();
    return SaveState(error);
}

bool Machine::SaveState(std::string *error)
{
    std::string ignored;
    return !state_ || state_->Save(UsbHub::Get().Attached(), error ? error : &ignored);
}

void Machine::Boot()
{
    ResetDpcQueue();
    InstallTimerHooks();
    Scheduler::Get().runDpcs = DrainDpcQueue;
    SetWdmVersion(options_.wdmMajor, options_.wdmMinor);
    cm::Registry().ClearVolatile();
    cm::Registry().EnsureBootKeys();
    StartWorkerThreads(options_.workerThreads);
    StartSecondProcessor();
    PnpManager::Get().Boot();
    PowerManager::Get().Boot();
    running_ = true;

    // Root-enumerated nodes are found before the USB bus reports its devices.
    std::vector<std::u16string> roots;
    if (cm::Key *root = cm::Registry().Find(std::u16string(kEnumRoot) + u"\\ROOT"))
        for (const auto &enumerator : cm::Registry().SubkeyNames(root))
            if (cm::Key *e = cm::Registry().Find(std::u16string(kEnumRoot) + u"\\ROOT\\" + enumerator))
                for (const auto &instance : cm::Registry().SubkeyNames(e))
                    roots.push_back(u"ROOT\\" + enumerator + u"\\" + instance);
    for (const auto &instance : roots)
        PnpManager::Get().ReportDevice(instance, std::make_unique<PhysicalDevice>());
    UsbHub::Get().ReportAttached();
}

void Machine::Shutdown()
{
    if (!running_)
        return;
    PnpManager::Get().UnloadAll();
    StopWorkerThreads();
    StopSecondProcessor();
    if (LiveIrpCount())
        VerifierFail("IRP", std::to_string(LiveIrpCount()) + " IRPs still allocated at shutdown");
    if (OpenHandleCount())
        VerifierFail("handle", std::to_string(OpenHandleCount()) + " kernel handles still open at shutdown");
    ResetDevicesAndDrivers();
    ResetNamespace();
    ResetIrps();
    ResetPool();
    ResetHandleTable();
    ClearFaults();
    running_ = false;
}

bool Machine::Reboot(std::string *error)
{
    Shutdown();
    bool saved = SaveState(error);
    Boot();
    return saved;
}

std::u16string Machine::AddRootDevice(std::u16string_view enumerator, const DeviceNodeSetup &setup)
{
    std::u16string instance = PnpManager::NextRootInstance(enumerator);
    PnpManager::WriteDeviceNodeKey(instance, setup);
    PnpManager::Get().ReportDevice(instance, std::make_unique<PhysicalDevice>());
    return instance;
}

std::vector<std::u16string> Machine::PlugScanner(const ScannerModel &model) { return UsbHub::Get().Plug(model); }

bool Machine::UnplugScanner(std::u16string_view serial) { return UsbHub::Get().Unplug(serial); }

NTSTATUS Machine::Sleep(SYSTEM_POWER_STATE state) { return PowerManager::Get().Sleep(state); }

NTSTATUS Machine::Wake() { return PowerManager::Get().Wake(); }

}  // namespace plat
