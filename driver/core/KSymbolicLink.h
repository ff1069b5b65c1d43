// A symbolic link owned by an object: deleted with it when it was created.
#pragma once

#include "KUnicodeString.h"

class KSymbolicLink {
public:
    KSymbolicLink() = default;
    ~KSymbolicLink();
    KSymbolicLink(const KSymbolicLink &) = delete;
    KSymbolicLink &operator=(const KSymbolicLink &) = delete;

    // PASSIVE_LEVEL. Failure leaves no link; the status says why (callers
    // that do not care ignore it).
    NTSTATUS Create(const UNICODE_STRING &linkName, const UNICODE_STRING &deviceName);
    bool Created() const { return created; }

    KUnicodeString linkName;
    bool created = false;
};
