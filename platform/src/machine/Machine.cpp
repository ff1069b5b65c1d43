// Boot, shutdown and persistence of the simulated machine.
#include "machine/Machine.h"

#include <cstdio>
#include <fstream>
#include <sstream>

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

std::string HexOf(std::u16string_view text)
{
    std::string out;
    char b[8];
    for (char16_t c : text) {
        std::snprintf(b, sizeof b, "%04x", c);
        out += b;
    }
    return out;
}

std::u16string FromHex(std::string_view hex)
{
    std::u16string out;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        out.push_back(static_cast<char16_t>(std::stoul(std::string(hex.substr(i, 4)), nullptr, 16)));
    return out;
}

}  // namespace

Machine *Machine::Current() { return current; }

Machine::Machine(const MachineOptions &options, const std::function<void()> &beforeBoot) : options_(options)
{
    if (current)
        VerifierFail("machine", "a second simulated machine in one process");
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
    ClearFaults();
    cm::Registry().Clear();
    UsbHub::Get().SetAttached({});
    LoadState();
    if (beforeBoot)
        beforeBoot();
    Boot();
}

Machine::~Machine()
{
    Shutdown();
    SaveState();
    current = nullptr;
}

void Machine::LoadState()
{
    if (options_.stateDir.empty())
        return;
    cm::Registry().LoadFile(options_.stateDir + "/registry.reg");
    std::ifstream hardware(options_.stateDir + "/hardware.txt");
    std::vector<ScannerModel> models;
    std::string line;
    // One scanner per line: serial product manufacturer modem, UTF-16 in hex.
    while (std::getline(hardware, line)) {
        std::istringstream fields(line);
        std::string kind, serial, product, manufacturer;
        int modem = 0;
        if (!(fields >> kind >> serial >> product >> manufacturer >> modem) || kind != "scanner")
            continue;
        ScannerModel m;
        m.serial = FromHex(serial == "-" ? "" : serial);
        m.product = FromHex(product == "-" ? "" : product);
        m.manufacturer = FromHex(manufacturer == "-" ? "" : manufacturer);
        m.modem = modem != 0;
        models.push_back(m);
    }
    UsbHub::Get().SetAttached(models);
}

void Machine::SaveState() const
{
    if (options_.stateDir.empty())
        return;
    cm::Registry().SaveFile(options_.stateDir + "/registry.reg");
    std::ofstream hardware(options_.stateDir + "/hardware.txt", std::ios::trunc);
    auto field = [](const std::u16string &s) { return s.empty() ? std::string("-") : HexOf(s); };
    for (const auto &m : UsbHub::Get().Attached())
        hardware << "scanner " << field(m.serial) << " " << field(m.product) << " " << field(m.manufacturer) << " "
                 << (m.modem ? 1 : 0) << "\n";
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

void Machine::Reboot()
{
    Shutdown();
    SaveState();
    Boot();
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
