// Registry helpers over the Zw key and value calls.
#include "RegistryHelpers.h"

#include "Pool.h"

namespace {

HANDLE OpenWithAttributes(PUNICODE_STRING path, ACCESS_MASK access, ULONG attributes)
{
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, path, attributes, nullptr, nullptr);
    HANDLE key = nullptr;
    return NT_SUCCESS(ZwOpenKey(&key, access, &oa)) ? key : nullptr;
}

// Reads a value's partial information into pool the caller frees; the size
// probe comes first. A value of size 0 counts as missing.
NTSTATUS QueryValue(HANDLE key, PCWSTR name, PKEY_VALUE_PARTIAL_INFORMATION *info)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG size = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &size);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || size == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto buffer = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(AllocatePoolOfType(size, PagedPool));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, size, &size);
    if (!NT_SUCCESS(status)) {
        FreePool(buffer);
        return status;
    }
    *info = buffer;
    return STATUS_SUCCESS;
}

}  // namespace

HANDLE OpenRegistryKey(const KUnicodeString &path, ACCESS_MASK access)
{
    return OpenWithAttributes(const_cast<KUnicodeString *>(&path), access, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE);
}

HANDLE CreateRegistryKeyPath(const KUnicodeString &path, ACCESS_MASK access)
{
    ULONG chars = path.Chars();
    ULONG split = chars;
    while (split > 0 && path.Buffer[split - 1] != L'\\')
        --split;
    // split is one past the last backslash; none after the first character
    // leaves nothing to split.
    if (split <= 1)
        return nullptr;
    KUnicodeString parent;
    NTSTATUS status = CallInFrame([&] {
        parent.Assign(path.Buffer, split - 1);
        return STATUS_SUCCESS;
    });
    if (!NT_SUCCESS(status))
        return nullptr;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &parent, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE parentKey = nullptr;
    status = ZwOpenKey(&parentKey, KEY_CREATE_SUB_KEY, &oa);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
        HANDLE created = CreateRegistryKeyPath(parent, KEY_CREATE_SUB_KEY);
        if (created) {
            ZwClose(created);
            status = ZwOpenKey(&parentKey, KEY_CREATE_SUB_KEY, &oa);
        }
    }
    if (!NT_SUCCESS(status) || !parentKey)
        return nullptr;
    UNICODE_STRING leaf;
    leaf.Buffer = path.Buffer + split;
    leaf.Length = static_cast<USHORT>((chars - split) * sizeof(WCHAR));
    leaf.MaximumLength = leaf.Length;
    InitializeObjectAttributes(&oa, &leaf, OBJ_CASE_INSENSITIVE, parentKey, nullptr);
    HANDLE key = nullptr;
    status = ZwCreateKey(&key, access, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    ZwClose(parentKey);
    return NT_SUCCESS(status) ? key : nullptr;
}

NTSTATUS ReadRegistryDword(HANDLE key, PCWSTR name, ULONG *value)
{
    PKEY_VALUE_PARTIAL_INFORMATION info = nullptr;
    NTSTATUS status = QueryValue(key, name, &info);
    if (!NT_SUCCESS(status))
        return status;
    // A DWORD of any other size would be read past its data.
    if ((info->Type == REG_DWORD || info->Type == REG_BINARY) && info->DataLength == sizeof(ULONG))
        RtlCopyMemory(value, info->Data, sizeof(ULONG));
    else
        status = STATUS_OBJECT_TYPE_MISMATCH;
    FreePool(info);
    return status;
}

NTSTATUS ReadRegistryString(HANDLE key, PCWSTR name, KUnicodeString &value)
{
    PKEY_VALUE_PARTIAL_INFORMATION info = nullptr;
    NTSTATUS status = QueryValue(key, name, &info);
    if (!NT_SUCCESS(status))
        return status;
    if (info->Type != REG_SZ && info->Type != REG_EXPAND_SZ && info->Type != REG_MULTI_SZ) {
        FreePool(info);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    value.Free();
    // The copy keeps the data's own terminator; text without one still gets
    // one, so that Buffer is always terminated after Length.
    ULONG dataLength = info->DataLength & ~1u;
    ULONG textBytes = dataLength >= sizeof(WCHAR) &&
                              reinterpret_cast<PWCH>(info->Data)[dataLength / sizeof(WCHAR) - 1] == 0
                          ? dataLength - sizeof(WCHAR)
                          : dataLength;
    if (textBytes + sizeof(WCHAR) > MAXUSHORT) {
        FreePool(info);
        return STATUS_BUFFER_OVERFLOW;
    }
    auto copy = static_cast<PWCH>(AllocatePool(textBytes + sizeof(WCHAR)));
    if (!copy) {
        FreePool(info);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, info->Data, textBytes);
    copy[textBytes / sizeof(WCHAR)] = 0;
    value.Buffer = copy;
    value.Length = static_cast<USHORT>(textBytes);
    value.MaximumLength = static_cast<USHORT>(textBytes + sizeof(WCHAR));
    FreePool(info);
    return STATUS_SUCCESS;
}

NTSTATUS WriteRegistryString(HANDLE key, PCWSTR name, const UNICODE_STRING &value)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    static WCHAR empty[1] = {0};
    PWCH data = value.Buffer ? value.Buffer : empty;
    return ZwSetValueKey(key, &valueName, 0, REG_SZ, data, value.Length + sizeof(WCHAR));
}
