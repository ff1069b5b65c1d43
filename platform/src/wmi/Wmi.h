// WMI of the simulated machine: the devices registered as WMI providers, the
// GUIDs and instances each one declared in its registration, and the one way
// the WMI service talks to a provider, an IRP_MJ_SYSTEM_CONTROL request.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

namespace plat {

// One GUID of a provider's registration.
struct WmiGuidRegistration {
    GUID guid{};
    ULONG flags = 0;          // WMIREG_FLAG_*
    ULONG instanceCount = 0;
    PDEVICE_OBJECT pdo = nullptr;   // WMIREG_FLAG_INSTANCE_PDO: names come from its device node
    std::u16string baseName;        // WMIREG_FLAG_INSTANCE_BASENAME
};

struct WmiRegistration {
    PDEVICE_OBJECT device = nullptr;
    std::u16string registryPath;
    std::u16string mofResourceName;
    std::vector<WmiGuidRegistration> guids;
    // Which minor function answered the last registration query
    // (IRP_MN_REGINFO_EX, or IRP_MN_REGINFO when that one failed), and how
    // many registration requests the device has been sent in all.
    UCHAR regInfoMinor = 0;
    int regInfoRequests = 0;
    // WMIREG_ACTION_BLOCK_IRPS: no more requests go to the device.
    bool blocked = false;
};

bool WmiRegistered(PDEVICE_OBJECT device);
// The device's registration, or null. Valid until the next registration call.
const WmiRegistration *FindWmiRegistration(PDEVICE_OBJECT device);
// Every registration, oldest first (copies: requests may change the list).
std::vector<WmiRegistration> WmiRegistrations();
// The name of one instance as WMI consumers see it: "<device instance
// path>_<index>" for PDO-named instances, "<base name><index>" for a base
// name, else "<device name>_<index>".
std::u16string WmiInstanceName(const WmiGuidRegistration &guid, PDEVICE_OBJECT device, ULONG index);
// Shutdown: every registration is forgotten. One still present belongs to a
// device object that was deleted without deregistering, which is reported.
void WmiReset();

// True once the device asked to block WMI requests (WMIREG_ACTION_BLOCK_IRPS).
bool WmiRequestsBlocked(PDEVICE_OBJECT device);

// Result of one IRP_MJ_SYSTEM_CONTROL request.
struct WmiIrpStatus {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// PASSIVE_LEVEL. Sends one IRP_MJ_SYSTEM_CONTROL request to the top of the
// device's stack and waits for it: Parameters.WMI carries providerId,
// dataPath and buffer. The request starts with STATUS_NOT_SUPPORTED, so a
// stack that ignores it answers that. Deregistration of the device waits until
// the request is finished. A data request to a stack that is no longer
// registered, or that asked to block requests, is not sent:
// STATUS_WMI_GUID_NOT_FOUND.
WmiIrpStatus SendWmiIrp(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath,
                        std::vector<UCHAR> &buffer);

}  // namespace plat
