// The kernel's registry calls: ZwOpenKey, ZwCreateKey, the value and
// enumeration queries, ZwSetValueKey, ZwDeleteValueKey, ZwDeleteKey, ZwClose,
// RtlWriteRegistryValue and RtlDeleteRegistryValue.
//
// All run at PASSIVE_LEVEL and take the registry mutex for the whole call.
// Rights are checked against the handle's granted access even for kernel
// callers, which is stricter than the kernel: a driver that writes through a
// key it opened for reading is caught here.
#include <algorithm>
#include <cstring>

#include "cm/Hive.h"
#include "ob/HandleTable.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

using namespace plat;
using namespace plat::cm;

namespace {

// Where an open or create starts and the names it walks from there.
struct Target {
    std::shared_ptr<Key> start;
    std::vector<std::u16string> names;
    bool relative = false;
    ACCESS_MASK rootAccess = 0;  // granted access of the root handle, when relative
};

// A name relative to a root key handle, or a full kernel path.
NTSTATUS ResolveName(HANDLE root, std::u16string_view name, Target *target)
{
    if (root) {
        auto object = LookupHandle(root);
        if (!object)
            return STATUS_INVALID_HANDLE;
        auto keyObject = std::dynamic_pointer_cast<KeyObject>(object);
        if (!keyObject)
            return STATUS_OBJECT_TYPE_MISMATCH;
        if (keyObject->key->IsDeleted())
            return STATUS_KEY_DELETED;
        if (!name.empty() && name.front() == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (!SplitKeyNames(name, &target->names))
            return STATUS_OBJECT_NAME_INVALID;
        target->start = keyObject->key;
        target->relative = true;
        target->rootAccess = keyObject->access;
        return STATUS_SUCCESS;
    }
    if (name.empty() || name.front() != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::vector<std::u16string> names;
    if (!SplitKeyNames(name.substr(1), &names))
        return STATUS_OBJECT_NAME_INVALID;
    // The namespace root is a directory, not a key.
    if (names.empty())
        return STATUS_OBJECT_TYPE_MISMATCH;
    // Other directories of the object namespace hold no keys.
    if (!EqualNoCase(names[0], u"Registry"))
        return names.size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    names.erase(names.begin());
    target->start = Registry().Root()->shared_from_this();
    target->names = std::move(names);
    return STATUS_SUCCESS;
}

NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES attributes, Target *target)
{
    if (!attributes)
        return STATUS_INVALID_PARAMETER;
    return ResolveName(attributes->RootDirectory, FromUnicodeString(attributes->ObjectName), target);
}

// Walks names[first, last) from the start key. A missing name is
// STATUS_OBJECT_NAME_NOT_FOUND when it is the path's last, else
// STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS Walk(const Target &target, size_t last, Key **key)
{
    Key *k = target.start.get();
    for (size_t i = 0; i < last; ++i) {
        k = k->FindSubkey(target.names[i]);
        if (!k)
            return i + 1 == target.names.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *key = k;
    return STATUS_SUCCESS;
}

std::vector<uint8_t> DataOf(const void *data, ULONG size)
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    return size ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>();
}

// Writes a query record: the fixed part, the name right after it and the data
// at dataOffset. By the kernel's rule *resultLength is always the size the
// whole record needs; a buffer shorter than the fixed part gets nothing
// (STATUS_BUFFER_TOO_SMALL); one that holds the fixed part but not the rest
// gets the fixed part only (STATUS_BUFFER_OVERFLOW).
NTSTATUS FillRecord(const void *fixed, ULONG fixedSize, const void *name, ULONG nameSize, const void *data,
                    ULONG dataOffset, ULONG dataSize, PVOID buffer, ULONG length, PULONG resultLength)
{
    if (!resultLength)
        return STATUS_INVALID_PARAMETER;
    ULONG needed = std::max(fixedSize + nameSize, dataOffset + dataSize);
    *resultLength = needed;
    if (length < fixedSize)
        return STATUS_BUFFER_TOO_SMALL;
    auto *out = static_cast<uint8_t *>(buffer);
    std::memcpy(out, fixed, fixedSize);
    if (length < needed)
        return STATUS_BUFFER_OVERFLOW;
    if (nameSize)
        std::memcpy(out + fixedSize, name, nameSize);
    if (dataSize)
        std::memcpy(out + dataOffset, data, dataSize);
    return STATUS_SUCCESS;
}

NTSTATUS FillValueInformation(const Value &value, KEY_VALUE_INFORMATION_CLASS informationClass, PVOID buffer,
                              ULONG length, PULONG resultLength)
{
    ULONG nameSize = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    ULONG dataSize = static_cast<ULONG>(value.data.size());
    switch (informationClass) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION fixed{0, value.type, nameSize, {}};
        return FillRecord(&fixed, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name), value.name.data(), nameSize,
                          nullptr, 0, 0, buffer, length, resultLength);
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION fixed{0, value.type, dataSize, {}};
        ULONG fixedSize = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        return FillRecord(&fixed, fixedSize, nullptr, 0, value.data.data(), fixedSize, dataSize, buffer, length,
                          resultLength);
    }
    case KeyValueFullInformation: {
        ULONG fixedSize = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        // The data starts at the next ULONG boundary after the name.
        ULONG dataOffset = (fixedSize + nameSize + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1);
        KEY_VALUE_FULL_INFORMATION fixed{0, value.type, dataOffset, dataSize, nameSize, {}};
        return FillRecord(&fixed, fixedSize, value.name.data(), nameSize, value.data.data(), dataOffset, dataSize,
                          buffer, length, resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

// Keys the kernel's Rtl writes create at \Registry\Machine\Hardware or below
// are volatile, as is anything below a volatile key.
bool CreatesVolatile(const Key *parent, std::u16string_view leaf)
{
    if (parent->IsVolatile())
        return true;
    std::vector<std::u16string_view> names{leaf};
    for (const Key *k = parent; k && k->Parent(); k = k->Parent())
        names.insert(names.begin(), k->Name());
    return names.size() >= 2 && EqualNoCase(names[0], u"Machine") && EqualNoCase(names[1], u"Hardware");
}

// Base keys of the RTL_REGISTRY_* relative-to values.
struct RtlBase {
    ULONG relativeTo;
    const char16_t *path;
};
constexpr RtlBase kRtlBases[] = {
    {RTL_REGISTRY_ABSOLUTE, u""},
    {RTL_REGISTRY_SERVICES, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"},
    {RTL_REGISTRY_CONTROL, u"\\Registry\\Machine\\System\\CurrentControlSet\\Control"},
    {RTL_REGISTRY_WINDOWS_NT, u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"},
    {RTL_REGISTRY_DEVICEMAP, u"\\Registry\\Machine\\Hardware\\DeviceMap"},
    // Kernel callers run as SYSTEM, whose user key is the default profile.
    {RTL_REGISTRY_USER, u"\\Registry\\User\\.Default"},
};

// The key an Rtl registry routine works on: Path relative to RelativeTo's
// base, or Path itself as a key handle with RTL_REGISTRY_HANDLE.
NTSTATUS ResolveRtlPath(ULONG relativeTo, PCWSTR path, Target *target)
{
    relativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (relativeTo & RTL_REGISTRY_HANDLE)
        return ResolveName(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), u"", target);
    for (const auto &base : kRtlBases) {
        if (base.relativeTo != relativeTo)
            continue;
        std::u16string name = FromWide(path);
        if (relativeTo == RTL_REGISTRY_ABSOLUTE)
            return ResolveName(nullptr, name, target);
        std::u16string full = base.path;
        if (!name.empty())
            full += (name.front() == u'\\' ? u"" : u"\\") + name;
        return ResolveName(nullptr, full, target);
    }
    return STATUS_INVALID_PARAMETER;
}

}  // namespace

extern "C" {

// PASSIVE_LEVEL.
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    if (!KeyHandle)
        return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    std::lock_guard lock(Registry().Mutex());
    Target target;
    NTSTATUS status = ResolveAttributes(ObjectAttributes, &target);
    if (!NT_SUCCESS(status))
        return status;
    Key *key;
    status = Walk(target, target.names.size(), &key);
    if (!NT_SUCCESS(status))
        return status;
    *KeyHandle = InsertKeyHandle(key, DesiredAccess);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Creates the last key of the name only; its parent must exist.
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    if (!KeyHandle)
        return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    std::lock_guard lock(Registry().Mutex());
    Target target;
    NTSTATUS status = ResolveAttributes(ObjectAttributes, &target);
    if (!NT_SUCCESS(status))
        return status;
    Key *parent = target.start.get();
    if (target.names.size() > 1) {
        status = Walk(target, target.names.size() - 1, &parent);
        if (!NT_SUCCESS(status))
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Key *key = target.names.empty() ? parent : parent->FindSubkey(target.names.back());
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (!key) {
        bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
        if (target.relative && !(target.rootAccess & KEY_CREATE_SUB_KEY))
            return STATUS_ACCESS_DENIED;
        status = Registry().CanCreateSubkey(parent, target.names.back(), isVolatile);
        if (!NT_SUCCESS(status))
            return status;
        if (ShouldFail(FaultSite::RegistryWrite))
            return STATUS_INSUFFICIENT_RESOURCES;
        bool created;
        key = Registry().CreateSubkey(parent, target.names.back(), isVolatile, &created, &status);
        if (!key)
            return status;
        disposition = REG_CREATED_NEW_KEY;
    }
    *KeyHandle = InsertKeyHandle(key, DesiredAccess);
    if (Disposition)
        *Disposition = disposition;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. A null or empty ValueName names the default value.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    std::lock_guard lock(Registry().Mutex());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    const Value *value = key->FindValue(FromUnicodeString(ValueName));
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

// PASSIVE_LEVEL. Values enumerate in the order they were first set.
NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    std::lock_guard lock(Registry().Mutex());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (Index >= key->Values().size())
        return STATUS_NO_MORE_ENTRIES;
    return FillValueInformation(key->Values()[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

// PASSIVE_LEVEL. Subkeys enumerate in creation order; only KeyBasicInformation
// is served.
NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    std::lock_guard lock(Registry().Mutex());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (KeyInformationClass != KeyBasicInformation)
        return KeyInformationClass == KeyNodeInformation || KeyInformationClass == KeyFullInformation
                   ? STATUS_NOT_IMPLEMENTED
                   : STATUS_INVALID_PARAMETER;
    if (Index >= key->Subkeys().size())
        return STATUS_NO_MORE_ENTRIES;
    const Key &subkey = *key->Subkeys()[Index];
    ULONG nameSize = static_cast<ULONG>(subkey.Name().size() * sizeof(WCHAR));
    KEY_BASIC_INFORMATION fixed{};
    fixed.LastWriteTime.QuadPart = subkey.LastWriteTime();
    fixed.TitleIndex = 0;
    fixed.NameLength = nameSize;
    return FillRecord(&fixed, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), subkey.Name().data(), nameSize, nullptr,
                      0, 0, KeyInformation, Length, ResultLength);
}

// PASSIVE_LEVEL. A registry write: fault injection can fail it.
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    std::lock_guard lock(Registry().Mutex());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (!Data && DataSize)
        return STATUS_INVALID_PARAMETER;
    if (ShouldFail(FaultSite::RegistryWrite))
        return STATUS_INSUFFICIENT_RESOURCES;
    key->SetValue(FromUnicodeString(ValueName), Type, DataOf(Data, DataSize));
    return STATUS_SUCCESS;
}

// Deleting a value is a registry write: fault injection can fail it.
static NTSTATUS DeleteValueAsWrite(Key *key, const std::u16string &name)
{
    if (!key->FindValue(name))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (ShouldFail(FaultSite::RegistryWrite))
        return STATUS_INSUFFICIENT_RESOURCES;
    key->DeleteValue(name);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. A registry write: fault injection can fail it.
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    std::lock_guard lock(Registry().Mutex());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    return DeleteValueAsWrite(key.get(), FromUnicodeString(ValueName));
}

// PASSIVE_LEVEL. The handle stays open; later calls through it, or through any
// other handle to the key, get STATUS_KEY_DELETED.
NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    std::lock_guard lock(Registry().Mutex());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, DELETE, &key);
    if (!NT_SUCCESS(status))
        return status;
    return Registry().DeleteKey(key.get());
}

// Closes any kernel handle, not only keys.
NTSTATUS ZwClose(HANDLE Handle)
{
    std::lock_guard lock(Registry().Mutex());
    return CloseHandleEntry(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

// PASSIVE_LEVEL. Creates the last key of the path when missing (volatile below
// Hardware); one registry write for fault injection.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    std::lock_guard lock(Registry().Mutex());
    if (!ValueData && ValueLength)
        return STATUS_INVALID_PARAMETER;
    Target target;
    NTSTATUS status = ResolveRtlPath(RelativeTo, Path, &target);
    if (!NT_SUCCESS(status))
        return status;
    if (target.relative && !(target.rootAccess & KEY_SET_VALUE))
        return STATUS_ACCESS_DENIED;
    Key *parent = target.start.get();
    if (target.names.size() > 1 && !NT_SUCCESS(Walk(target, target.names.size() - 1, &parent)))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    Key *key = target.names.empty() ? parent : parent->FindSubkey(target.names.back());
    bool isVolatile = !key && CreatesVolatile(parent, target.names.back());
    if (!key) {
        status = Registry().CanCreateSubkey(parent, target.names.back(), isVolatile);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (ShouldFail(FaultSite::RegistryWrite))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!key) {
        bool created;
        key = Registry().CreateSubkey(parent, target.names.back(), isVolatile, &created, &status);
        if (!key)
            return status;
    }
    key->SetValue(FromWide(ValueName), ValueType, DataOf(ValueData, ValueLength));
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. A registry write: fault injection can fail it.
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    std::lock_guard lock(Registry().Mutex());
    Target target;
    NTSTATUS status = ResolveRtlPath(RelativeTo, Path, &target);
    if (!NT_SUCCESS(status))
        return status;
    if (target.relative && !(target.rootAccess & KEY_SET_VALUE))
        return STATUS_ACCESS_DENIED;
    Key *key;
    status = Walk(target, target.names.size(), &key);
    if (!NT_SUCCESS(status))
        return status;
    return DeleteValueAsWrite(key, FromWide(ValueName));
}

}  // extern "C"
