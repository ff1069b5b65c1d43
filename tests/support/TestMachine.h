// A simulated machine with the driver installed, for tests. Verifier reports
// and deadlocks become test failures instead of aborting the process.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "MachineSetup.h"
#include "cm/Hive.h"
#include "ex/Pool.h"
#include "ex/WorkQueue.h"
#include "io/IoManager.h"
#include "machine/Machine.h"
#include "pnp/PnpManager.h"
#include "rtl/Text.h"
#include "usb/Hub.h"
#include "verifier/Verifier.h"

namespace test {

// Keeps every system worker busy while alive, so that work queued meanwhile
// (an invalidation's query, an interface notification) waits until the test
// has looked at the state before it.
class SystemWorkerHold {
public:
    explicit SystemWorkerHold(int workers)
    {
        KeInitializeEvent(&release_, NotificationEvent, FALSE);
        KeInitializeSemaphore(&started_, 0, workers);
        for (int i = 0; i < workers; ++i)
            plat::QueuePlatformWork([this] {
                KeReleaseSemaphore(&started_, IO_NO_INCREMENT, 1, FALSE);
                KeWaitForSingleObject(&release_, Executive, KernelMode, FALSE, nullptr);
            });
        for (int i = 0; i < workers; ++i)
            KeWaitForSingleObject(&started_, Executive, KernelMode, FALSE, nullptr);
    }
    ~SystemWorkerHold() { KeSetEvent(&release_, IO_NO_INCREMENT, FALSE); }
    SystemWorkerHold(const SystemWorkerHold &) = delete;
    SystemWorkerHold &operator=(const SystemWorkerHold &) = delete;

private:
    KEVENT release_;
    KSEMAPHORE started_;
};

inline std::string Utf8(const std::u16string &s) { return plat::ToUtf8(s); }
inline std::string Utf8(const UNICODE_STRING &s) { return plat::ToUtf8(&s); }

constexpr const char16_t *kConfiguration = sim::kConfigurationKey;

// What seed every machine of a test run starts from unless the test picks
// its own: VEXLINK_SEED, else 1. A failure report names it, so that
// VEXLINK_SEED=N with the test's filter replays the same interleaving.
inline uint64_t DefaultSeed()
{
    const char *text = std::getenv("VEXLINK_SEED");
    return text && *text ? std::strtoull(text, nullptr, 10) : 1;
}

// How many seeds a many-seed scenario runs: `normal` in the default run,
// VEXLINK_SEEDS of them in the long run (tools/test.sh --long).
inline int SeedCount(int normal)
{
    const char *text = std::getenv("VEXLINK_SEEDS");
    long n = text && *text ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<int>(n) : normal;
}
inline auto Seeds(int normal) { return ::testing::Range(1, SeedCount(normal) + 1); }

inline plat::MachineOptions DefaultOptions()
{
    plat::MachineOptions options;
    options.seed = DefaultSeed();
    return options;
}

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::RegisterDeliverables();
        plat::SetVerifierHandler([this](const std::string &message) { ADD_FAILURE() << message << SeedNote(); });
        plat::Scheduler::Get().onDeadlock = [this](const std::string &report) {
            ADD_FAILURE() << report << SeedNote();
        };
        Boot();
    }
    std::string SeedNote() const
    {
        return "\n(seed " + std::to_string(options.seed) + ", step " +
               std::to_string(plat::Scheduler::Get().Steps()) + ": VEXLINK_SEED=" + std::to_string(options.seed) +
               " replays a test that does not choose its own seed)";
    }

    void TearDown() override
    {
        machine.reset();
        plat::SetVerifierHandler(nullptr);
        plat::Scheduler::Get().onDeadlock = nullptr;
    }

    // Options and the registry setup before boot can be changed by a test
    // that calls Restart.
    virtual void BeforeBoot() { sim::InstallDriverService(); }

    void Boot()
    {
        machine = std::make_unique<plat::Machine>(options, [this] { BeforeBoot(); });
    }
    void Restart()
    {
        machine.reset();
        Boot();
    }

    std::u16string AddPort(std::u16string_view name) { return sim::AddVirtualPortNode(*machine, name); }
    std::u16string AddPortNode(const std::map<std::u16string, std::u16string> &parameters)
    {
        plat::DeviceNodeSetup setup;
        setup.className = u"Ports";
        setup.classGuid = sim::kPortsClassGuid;
        setup.hardwareIds = {u"root\\vexvport"};
        setup.service = u"VEXLINK";
        setup.deviceParameters = parameters;
        return machine->AddRootDevice(u"PORTS", setup);
    }
    std::vector<std::u16string> Plug(std::u16string serial, std::u16string product = u"VX Barcode Scanner",
                                     bool modem = false)
    {
        plat::ScannerModel model;
        model.serial = std::move(serial);
        model.product = std::move(product);
        model.modem = modem;
        return machine->PlugScanner(model);
    }
    // True when the pool fault injected last was used; the fault is cleared.
    static bool FaultUsed()
    {
        PVOID probe = ExAllocatePoolWithTag(NonPagedPool, 8, plat::TagFromText("Prob"));
        plat::ClearFaults();
        if (!probe)
            return false;
        ExFreePoolWithTag(probe, 0);
        return true;
    }
    NTSTATUS AddStatus(const std::u16string &instance)
    {
        plat::DeviceNode *node = plat::PnpManager::Get().FindNode(instance);
        return node ? node->addDeviceStatus : STATUS_NOT_FOUND;
    }

    std::u16string ScannerKey(std::u16string_view serial) const
    {
        return std::u16string(kConfiguration) + u"\\" + std::u16string(serial);
    }
    std::string Value(const std::u16string &key, std::u16string_view name) const
    {
        auto v = plat::cm::Registry().GetString(key, name);
        return v ? Utf8(*v) : std::string("<missing>");
    }
    // Data size in bytes of a value, or -1.
    long ValueSize(const std::u16string &key, std::u16string_view name) const
    {
        auto v = plat::cm::Registry().GetValue(key, name);
        return v ? static_cast<long>(v->data.size()) : -1;
    }

    plat::MachineOptions options = DefaultOptions();
    std::unique_ptr<plat::Machine> machine;
};

}  // namespace test
