// A WMI consumer of the simulated machine, for tests and the simulator: the
// requests the WMI service makes of registered providers on a consumer's
// behalf, each an IRP_MJ_SYSTEM_CONTROL request sent at PASSIVE_LEVEL to the
// top of the provider's stack. Queries are asked again with the size a
// WNODE_TOO_SMALL answer names, as the service does; every request a call
// made is kept, so that callers can see the raw statuses and sizes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <wmilib.h>

namespace plat {

// The serial-port classes, by their published GUIDs.
struct WmiClass {
    const char *name;
    GUID guid;
};
extern const WmiClass kMSSerialClasses[5];
// Case-insensitive; the five MSSerial class names.
std::optional<GUID> WmiClassGuid(std::string_view className);
std::string WmiGuidText(const GUID &guid);  // "{A0EC11A8-B16C-11D1-BD98-00A0C906BE2D}"

// One request and its answer.
struct WmiExchange {
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0;
    ULONG bufferSize = 0;          // Parameters.WMI.BufferSize
    NTSTATUS status = STATUS_PENDING;  // IoStatus.Status
    ULONG_PTR information = 0;     // IoStatus.Information
    std::vector<UCHAR> buffer;     // the whole buffer afterwards
    bool tooSmall = false;         // answered with a WNODE_TOO_SMALL
    ULONG sizeNeeded = 0;          // its SizeNeeded
};

struct WmiInstance {
    PDEVICE_OBJECT device = nullptr;
    ULONG index = 0;
    std::u16string name;  // as WmiInstanceName gives it
    std::vector<UCHAR> data;
};

struct WmiResult {
    // What the consumer is told: STATUS_WMI_GUID_NOT_FOUND without any
    // request when no provider registered the GUID.
    NTSTATUS status = STATUS_PENDING;
    std::vector<WmiInstance> instances;  // queries
    std::vector<UCHAR> output;           // method output
    std::vector<WmiExchange> exchanges;  // in the order sent
};

// First buffer of a query, WNODE included, unless the caller names another.
constexpr ULONG kWmiFirstQuerySize = 1024;
// The bytes of a request's buffer that the WNODE does not use start as this.
constexpr UCHAR kWmiPoison = 0x55;

// Every instance of the GUID from every provider that registered it, oldest
// registration first. The status is the first failure of a provider, if any;
// the instances of the others are kept.
WmiResult WmiQueryAllData(const GUID &guid, ULONG firstBufferSize = kWmiFirstQuerySize);
WmiResult WmiQueryAllData(std::string_view className, ULONG firstBufferSize = kWmiFirstQuerySize);

// Requests to one provider. The device must have registered the GUID
// (otherwise STATUS_WMI_GUID_NOT_FOUND, nothing sent); the instance index is
// sent as given, so a provider's own range checks can be seen.
WmiResult WmiQuerySingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex,
                                 ULONG firstBufferSize = kWmiFirstQuerySize);
WmiResult WmiSetSingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex,
                               const std::vector<UCHAR> &data);
WmiResult WmiExecuteMethod(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex, ULONG methodId,
                           const std::vector<UCHAR> &input, ULONG outputSize);
WmiResult WmiEnableEvents(PDEVICE_OBJECT device, const GUID &guid, bool enable);
WmiResult WmiEnableCollection(PDEVICE_OBJECT device, const GUID &guid, bool enable);

// One request exactly as given, for checks of what the service never sends:
// another ProviderId, a GUID the device did not register, odd sizes.
// dataPath is the GUID (or WMIREGISTER/WMIUPDATE for registration requests).
WmiExchange WmiSendRequest(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath,
                           std::vector<UCHAR> buffer);
// Request buffers as the service builds them: the WNODE at the start, the
// rest kWmiPoison.
std::vector<UCHAR> WmiAllDataRequest(const GUID &guid, ULONG size);
std::vector<UCHAR> WmiSingleInstanceRequest(const GUID &guid, ULONG instanceIndex, ULONG size,
                                            const std::vector<UCHAR> &data = {});

// What "wmi query CLASS" of the simulator prints: one line per instance,
//   <instance name> <device name> <size> bytes: <hex bytes>[ PortName "<name>"]
// (the port name decoded for MSSerial_PortName), or one line saying why there
// is nothing: an unknown class, no device registered it, or a failed query.
std::vector<std::string> WmiQueryText(std::string_view className);

}  // namespace plat
