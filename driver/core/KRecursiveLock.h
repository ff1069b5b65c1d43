// A lock the owning thread may take again. PASSIVE_LEVEL only; the owner runs
// inside a critical region while it holds the lock.
#pragma once

#include "Portability.h"

class KRecursiveLock {
public:
    void Initialize();
    void Acquire();
    void Release();

    KEVENT event;
    PKTHREAD owner;
    LONG depth;
};

// Holds the lock for the guard's scope.
class KRecursiveLockGuard {
public:
    explicit KRecursiveLockGuard(KRecursiveLock &lock) : lock_(lock) { lock_.Acquire(); }
    ~KRecursiveLockGuard() { lock_.Release(); }
    KRecursiveLockGuard(const KRecursiveLockGuard &) = delete;
    KRecursiveLockGuard &operator=(const KRecursiveLockGuard &) = delete;

private:
    KRecursiveLock &lock_;
};
