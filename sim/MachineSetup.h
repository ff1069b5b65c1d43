// What the simulated machine has installed before a scenario runs: the
// driver image, its service key and its configuration as the installer
// leaves them.
#pragma once

#include <string>

#include "machine/Machine.h"

namespace sim {

constexpr const char16_t *kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXLINK";
constexpr const char16_t *kConfigurationKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration";
constexpr const char16_t *kPortsClassGuid = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

// Registers vexlink.sys with the machine loader (once per process).
void RegisterDeliverables();
// Writes the VEXLINK service key and Configuration PortCount 10 when the
// service key is missing.
void InstallDriverService();
// A root-enumerated "Ports" device node whose PortName is portName.
std::u16string AddVirtualPortNode(plat::Machine &machine, std::u16string_view portName);

}  // namespace sim
