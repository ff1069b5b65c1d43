// Registry key and value helpers. PASSIVE_LEVEL; handles are closed by the
// caller with ZwClose.
#pragma once

#include "KUnicodeString.h"

HANDLE OpenRegistryKey(const KUnicodeString &path, ACCESS_MASK access);
HANDLE CreateRegistryKeyPath(const KUnicodeString &path, ACCESS_MASK access);
NTSTATUS ReadRegistryDword(HANDLE key, PCWSTR name, ULONG *value);
NTSTATUS ReadRegistryString(HANDLE key, PCWSTR name, KUnicodeString &value);
NTSTATUS WriteRegistryString(HANDLE key, PCWSTR name, const UNICODE_STRING &value);
