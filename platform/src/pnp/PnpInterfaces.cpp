// Device interfaces: registration, enabling, and the notifications that tell
// listeners of an interface's arrival and removal.
#include <algorithm>

#include "ex/Pool.h"
#include "io/IoManager.h"
#include "pnp/PnpManager.h"
#include "rtl/Text.h"

namespace plat {

int PnpManager::AddInterfaceListener(const GUID &classGuid, InterfaceListener listener)
{
    listeners_.push_back({nextListenerId_, classGuid, std::move(listener)});
    return nextListenerId_++;
}

void PnpManager::RemoveInterfaceListener(int id)
{
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(), [&](const Listener &l) { return l.id == id; }),
                     listeners_.end());
}

void PnpManager::NotifyInterface(const InterfaceEvent &event)
{
    // Delivered later from a worker thread, as the system's notifications
    // are; a listener removed meanwhile hears nothing.
    QueueWork([this, event] {
        std::vector<int> ids;
        for (const auto &l : listeners_)
            if (IsEqualGUID(l.classGuid, event.classGuid))
                ids.push_back(l.id);
        for (int id : ids)
            for (const auto &l : listeners_)
                if (l.id == id) {
                    InterfaceListener callback = l.callback;
                    callback(event);
                    break;
                }
    });
}

}  // namespace plat

using namespace plat;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    DeviceNode *node = PnpManager::Get().NodeOfPdo(PhysicalDeviceObject);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    UNICODE_STRING guidText;
    NTSTATUS status = RtlStringFromGUID(*InterfaceClassGuid, &guidText);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string instance = node->instancePath;
    std::replace(instance.begin(), instance.end(), u'\\', u'#');
    std::u16string link = u"\\??\\" + instance + u"#" + FromUnicodeString(&guidText);
    RtlFreeUnicodeString(&guidText);
    if (ReferenceString && ReferenceString->Length)
        link += u"\\" + FromUnicodeString(ReferenceString);
    bool known = false;
    for (const auto &i : node->interfaces)
        known = known || EqualNoCase(i.linkName, link);
    if (!known)
        node->interfaces.push_back({*InterfaceClassGuid, link, false});
    USHORT bytes = static_cast<USHORT>(link.size() * 2);
    SymbolicLinkName->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + 2, TagFromText("PnpI")));
    if (!SymbolicLinkName->Buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(SymbolicLinkName->Buffer, link.c_str(), bytes + 2);
    SymbolicLinkName->Length = bytes;
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + 2);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    std::u16string link = FromUnicodeString(SymbolicLinkName);
    for (auto &node : PnpManager::Get().Nodes())
        for (auto &i : node->interfaces)
            if (EqualNoCase(i.linkName, link)) {
                bool enable = Enable != FALSE;
                if (i.enabled != enable) {
                    i.enabled = enable;
                    PnpManager::Get().NotifyInterface({enable, i.classGuid, i.linkName});
                }
                return STATUS_SUCCESS;
            }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject)
{
    PnpManager::Get().InvalidateDeviceState(PhysicalDeviceObject);
}

}
