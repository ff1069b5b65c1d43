// Device-security library: creation of device objects with an SDDL security
// descriptor and a device class GUID.
#pragma once

#include "wdm.h"

extern "C" NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, ULONG DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PCUNICODE_STRING DefaultSDDLString,
                                         LPCGUID DeviceClassGuid, PDEVICE_OBJECT *DeviceObject);
