// Installation state of a new simulated machine.
#include "MachineSetup.h"

#include "cm/Hive.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace sim {

void RegisterDeliverables() { plat::RegisterDriverImage(u"vexlink.sys", DriverEntry); }

void InstallDriverService()
{
    plat::cm::Hive &reg = plat::cm::Registry();
    if (reg.Find(kServiceKey))
        return;
    reg.Create(kServiceKey);
    reg.SetString(kServiceKey, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\vexlink.sys");
    reg.SetDword(kServiceKey, u"Type", 1);
    reg.SetDword(kServiceKey, u"Start", 3);
    reg.SetDword(kServiceKey, u"ErrorControl", 1);
    reg.Create(kConfigurationKey);
    reg.SetDword(kConfigurationKey, u"PortCount", 10);
}

std::u16string AddVirtualPortNode(plat::Machine &machine, std::u16string_view portName)
{
    plat::DeviceNodeSetup setup;
    setup.className = u"Ports";
    setup.classGuid = kPortsClassGuid;
    setup.hardwareIds = {u"root\\vexvport"};
    setup.service = u"VEXLINK";
    setup.description = u"VX Virtual Serial Port";
    setup.deviceParameters[u"PortName"] = std::u16string(portName);
    return machine.AddRootDevice(u"PORTS", setup);
}

}  // namespace sim
