// IoWMIRegistrationControl: the WMI service's list of providers, filled by
// asking each registering device for its registration with IRP_MN_REGINFO_EX
// (IRP_MN_REGINFO when that fails), and the system-control requests it sends.
#include "wmi/Wmi.h"

#include <wmilib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "io/IoManager.h"
#include "pnp/PnpManager.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

// The first registration buffer is deliberately modest, so that a provider
// with several GUIDs goes through the too-small answer and the retry.
constexpr ULONG kFirstRegInfoSize = 256;
// A registration larger than this is taken for a corrupt size.
constexpr ULONG kLargestRegInfo = 1u << 20;
constexpr int kRegInfoAttempts = 4;

struct Provider {
    WmiRegistration registration;
    std::u16string deviceName;  // for reports after the device object is gone
    int inFlight = 0;
    KEVENT idle{};  // signalled while no request to the device is outstanding
};

std::vector<std::unique_ptr<Provider>> &providers()
{
    static std::vector<std::unique_ptr<Provider>> list;
    return list;
}

Provider *FindProvider(PDEVICE_OBJECT device)
{
    for (auto &p : providers())
        if (p->registration.device == device)
            return p.get();
    return nullptr;
}

bool ReadCountedString(const std::vector<UCHAR> &buffer, ULONG size, ULONG offset, std::u16string &text)
{
    if (offset == 0) {
        text.clear();
        return true;
    }
    if (ULONGLONG(offset) + sizeof(USHORT) > size)
        return false;
    USHORT bytes;
    memcpy(&bytes, buffer.data() + offset, sizeof bytes);
    if (bytes % sizeof(WCHAR) != 0 || ULONGLONG(offset) + sizeof(USHORT) + bytes > size)
        return false;
    text.resize(bytes / sizeof(WCHAR));
    memcpy(text.data(), buffer.data() + offset + sizeof(USHORT), bytes);
    return true;
}

// The registration a device returned, checked against the bytes it said it
// wrote; false when it does not hold together.
bool ParseRegInfo(const std::vector<UCHAR> &buffer, ULONG_PTR written, WmiRegistration &out, std::string &problem)
{
    constexpr ULONG header = offsetof(WMIREGINFOW, WmiRegGuid);
    if (written < header || written > buffer.size()) {
        problem = "answer of " + std::to_string(written) + " bytes";
        return false;
    }
    auto *info = reinterpret_cast<const WMIREGINFOW *>(buffer.data());
    ULONG size = info->BufferSize;
    if (size < header || size > written) {
        problem = "BufferSize " + std::to_string(size) + " with " + std::to_string(written) + " bytes written";
        return false;
    }
    if (ULONGLONG(header) + ULONGLONG(info->GuidCount) * sizeof(WMIREGGUIDW) > size) {
        problem = "GuidCount " + std::to_string(info->GuidCount) + " beyond BufferSize";
        return false;
    }
    if (!ReadCountedString(buffer, size, info->RegistryPath, out.registryPath) ||
        !ReadCountedString(buffer, size, info->MofResourceName, out.mofResourceName)) {
        problem = "a string beyond BufferSize";
        return false;
    }
    out.guids.clear();
    for (ULONG i = 0; i < info->GuidCount; ++i) {
        const WMIREGGUIDW &g = info->WmiRegGuid[i];
        WmiGuidRegistration record;
        record.guid = g.Guid;
        record.flags = g.Flags;
        record.instanceCount = g.InstanceCount;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO)
            record.pdo = reinterpret_cast<PDEVICE_OBJECT>(g.Pdo);
        else if ((g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) &&
                 !ReadCountedString(buffer, size, g.BaseNameOffset, record.baseName)) {
            problem = "a base name beyond BufferSize";
            return false;
        }
        out.guids.push_back(std::move(record));
    }
    return true;
}

// Asks the device for its registration, as the WMI service does for a
// register or update: IRP_MN_REGINFO_EX first, IRP_MN_REGINFO when that
// fails, each retried with the size a too-small answer names.
NTSTATUS QueryRegistration(PDEVICE_OBJECT device, ULONG_PTR action, WmiRegistration &out)
{
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (UCHAR minor : {UCHAR(IRP_MN_REGINFO_EX), UCHAR(IRP_MN_REGINFO)}) {
        ULONG size = kFirstRegInfoSize;
        std::vector<UCHAR> buffer;
        WmiIrpStatus answer;
        for (int attempt = 0; attempt < kRegInfoAttempts; ++attempt) {
            buffer.assign(size, 0);
            answer = SendWmiIrp(device, minor, reinterpret_cast<ULONG_PTR>(device),
                                reinterpret_cast<PVOID>(action), buffer);
            ++out.regInfoRequests;
            if (answer.status != STATUS_BUFFER_TOO_SMALL || answer.information < sizeof(ULONG))
                break;
            ULONG needed;
            memcpy(&needed, buffer.data(), sizeof needed);
            if (needed <= size || needed > kLargestRegInfo)
                break;
            size = needed;
        }
        status = answer.status;
        if (!NT_SUCCESS(status))
            continue;
        std::string problem;
        if (!ParseRegInfo(buffer, answer.information, out, problem)) {
            VerifierFail("WMI", "malformed registration from '" + ToUtf8(&device->DriverObject->DriverName) +
                                    "': " + problem);
            return STATUS_INVALID_PARAMETER;
        }
        out.regInfoMinor = minor;
        return STATUS_SUCCESS;
    }
    return status;
}

std::u16string DeviceNameOf(PDEVICE_OBJECT device)
{
    std::u16string name = HeaderOf(device)->name;
    return name.empty() ? u"(unnamed device of " + FromUnicodeString(&device->DriverObject->DriverName) + u")" : name;
}

}  // namespace

bool WmiRegistered(PDEVICE_OBJECT device) { return FindProvider(device) != nullptr; }

const WmiRegistration *FindWmiRegistration(PDEVICE_OBJECT device)
{
    Provider *p = FindProvider(device);
    return p ? &p->registration : nullptr;
}

std::vector<WmiRegistration> WmiRegistrations()
{
    std::vector<WmiRegistration> out;
    for (const auto &p : providers())
        out.push_back(p->registration);
    return out;
}

std::u16string WmiInstanceName(const WmiGuidRegistration &guid, PDEVICE_OBJECT device, ULONG index)
{
    std::u16string number = FromUtf8(std::to_string(index));
    if (guid.flags & WMIREG_FLAG_INSTANCE_BASENAME)
        return guid.baseName + number;
    if (guid.pdo)
        if (DeviceNode *node = PnpManager::Get().NodeOfPdo(guid.pdo))
            return node->instancePath + u"_" + number;
    return DeviceNameOf(device) + u"_" + number;
}

bool WmiRequestsBlocked(PDEVICE_OBJECT device)
{
    Provider *provider = FindProvider(device);
    return provider && provider->registration.blocked;
}

void WmiReset()
{
    for (const auto &p : providers())
        VerifierFail("WMI", "'" + ToUtf8(p->deviceName) +
                                "' was still registered with WMI when its driver unloaded: a device object is "
                                "deregistered (WMIREG_ACTION_DEREGISTER) before it is deleted");
    providers().clear();
}

WmiIrpStatus SendWmiIrp(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath,
                        std::vector<UCHAR> &buffer)
{
    Provider *provider = FindProvider(device);
    // Checked again as the request leaves: the stack may have asked to block
    // requests since the client chose it.
    bool registration = minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX;
    if (!registration && provider && provider->registration.blocked)
        return WmiIrpStatus{STATUS_WMI_GUID_NOT_FOUND, 0};
    if (provider && provider->inFlight++ == 0)
        KeClearEvent(&provider->idle);
    IO_STATUS_BLOCK status = SendPlatformRequest(device, IRP_MJ_SYSTEM_CONTROL, minor, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.WMI.ProviderId = providerId;
        sp->Parameters.WMI.DataPath = dataPath;
        sp->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
        sp->Parameters.WMI.Buffer = buffer.empty() ? nullptr : buffer.data();
    });
    WmiIrpStatus result{status.Status, status.Information};

    // The provider may have deregistered meanwhile only if it was not
    // counted; a counted one waits for this request.
    if (provider && --provider->inFlight == 0)
        KeSetEvent(&provider->idle, IO_NO_INCREMENT, FALSE);
    return result;
}

}  // namespace plat

using namespace plat;

// PASSIVE_LEVEL.
extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierFail("WMI", "IoWMIRegistrationControl above PASSIVE_LEVEL");
        return STATUS_UNSUCCESSFUL;
    }
    if (!DeviceObject)
        return STATUS_INVALID_PARAMETER;
    Provider *provider = FindProvider(DeviceObject);
    switch (Action) {
    case WMIREG_ACTION_REGISTER: {
        if (provider)
            return STATUS_OBJECT_NAME_COLLISION;
        auto record = std::make_unique<Provider>();
        record->registration.device = DeviceObject;
        record->deviceName = DeviceNameOf(DeviceObject);
        KeInitializeEvent(&record->idle, NotificationEvent, TRUE);
        NTSTATUS status = QueryRegistration(DeviceObject, WMIREGISTER, record->registration);
        if (!NT_SUCCESS(status))
            return status;
        providers().push_back(std::move(record));
        return STATUS_SUCCESS;
    }
    case WMIREG_ACTION_UPDATE_GUIDS:
    case WMIREG_ACTION_REREGISTER: {
        if (!provider)
            return STATUS_INVALID_PARAMETER;
        // Only a complete answer replaces what the service knows.
        WmiRegistration fresh = provider->registration;
        NTSTATUS status = QueryRegistration(DeviceObject, Action == WMIREG_ACTION_UPDATE_GUIDS ? WMIUPDATE : WMIREGISTER,
                                            fresh);
        // The provider may have gone while the request was out.
        provider = FindProvider(DeviceObject);
        if (!provider)
            return STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status))
            provider->registration = std::move(fresh);
        else
            provider->registration.regInfoRequests = fresh.regInfoRequests;
        return status;
    }
    case WMIREG_ACTION_DEREGISTER:
        if (!provider)
            return STATUS_INVALID_PARAMETER;
        // Requests already at the device finish before it is forgotten, so
        // the caller may free what they use once this returns.
        while (provider && provider->inFlight > 0) {
            KeWaitForSingleObject(&provider->idle, Executive, KernelMode, FALSE, nullptr);
            provider = FindProvider(DeviceObject);
        }
        if (!provider)
            return STATUS_INVALID_PARAMETER;
        providers().erase(std::find_if(providers().begin(), providers().end(),
                                       [&](const auto &p) { return p.get() == provider; }));
        return STATUS_SUCCESS;
    case WMIREG_ACTION_BLOCK_IRPS:
        if (!provider)
            return STATUS_INVALID_PARAMETER;
        provider->registration.blocked = true;
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
