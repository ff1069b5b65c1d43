// A simulated machine with the driver installed, for tests. Verifier reports
// and deadlocks become test failures instead of aborting the process.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "MachineSetup.h"
#include "cm/Hive.h"
#include "io/IoManager.h"
#include "machine/Machine.h"
#include "pnp/PnpManager.h"
#include "rtl/Text.h"
#include "usb/Hub.h"
#include "verifier/Verifier.h"

namespace test {

inline std::string Utf8(const std::u16string &s) { return plat::ToUtf8(s); }
inline std::string Utf8(const UNICODE_STRING &s) { return plat::ToUtf8(&s); }

constexpr const char16_t *kConfiguration = sim::kConfigurationKey;

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::RegisterDeliverables();
        plat::SetVerifierHandler([](const std::string &message) { ADD_FAILURE() << message; });
        plat::Scheduler::Get().onDeadlock = [](const std::string &report) { ADD_FAILURE() << report; };
        Boot();
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

    plat::MachineOptions options;
    std::unique_ptr<plat::Machine> machine;
};

}  // namespace test
