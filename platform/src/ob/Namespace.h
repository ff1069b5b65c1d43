// Object namespace: device names and symbolic links.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

namespace plat {

// "\DosDevices\X", "\??\X" and "\GLOBAL??\X" name the same entry.
std::u16string CanonicalObjectName(std::u16string_view name);

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device);
void RemoveDeviceName(PDEVICE_OBJECT device);
NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target);
NTSTATUS DeleteLink(std::u16string_view link);
// Follows links; null when the name does not lead to a device.
PDEVICE_OBJECT ResolveDevice(std::u16string_view name);
bool LinkExists(std::u16string_view link, std::u16string *target = nullptr);
void ResetNamespace();

}  // namespace plat
