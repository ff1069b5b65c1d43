// The driver's single state record.
#pragma once

#include "KAnsiString.h"
#include "KRecursiveLock.h"
#include "KUnicodeString.h"

class KDeviceObject;
class KControlDeviceObject;
struct PortTableEntry;

using DispatchOperation = NTSTATUS (KDeviceObject::*)(PIRP irp);
using SpinLockRoutine = VOID (*)(PKSPIN_LOCK lock);
using ExitCallback = void (*)();

constexpr ULONG kMajorFunctionCount = IRP_MJ_MAXIMUM_FUNCTION + 1;

struct DriverGlobalsRecord {
    PDRIVER_OBJECT driverObject;
    LONG wdmOrdinal;
    bool legacyPlatform;
    ULONG poolTag;
    LIST_ENTRY exitCallbacks;
    KSPIN_LOCK exitCallbackLock;
    KUnicodeString registryPath;
    KUnicodeString configurationKeyPath;
    KAnsiString controlDeviceName;
    KUnicodeString controlDeviceSddl;
    KControlDeviceObject *controlDevice;
    volatile LONG livePortCount;
    ULONG minimumTimeoutMs;
    DispatchOperation dispatchTable[kMajorFunctionCount];
    KRecursiveLock portTableLock;

    // Port table and pairing.
    PortTableEntry *portTable;
    ULONG portTableSize;
    ULONG portTableSlots;  // entries allocated; every walk stays below portTableSize <= this
    volatile LONG lastPortNumber;
    KUnicodeString scannerKeyPath;
    LIST_ENTRY scannerList;
    KSPIN_LOCK scannerListLock;

    // Every live KIrpHolder.
    LIST_ENTRY irpHolderRegistry;
    KSPIN_LOCK irpHolderRegistryLock;
    SpinLockRoutine acquireSpinLockAtDpcLevel;
    SpinLockRoutine releaseSpinLockFromDpcLevel;
};

extern DriverGlobalsRecord DriverGlobals;

// Exit callbacks run in reverse order of registration at unload.
bool RegisterExitCallback(ExitCallback routine);
void RunExitCallbacks();
// The platform ordinal for a driver object (or none), from the WDM versions
// the platform offers.
LONG WdmOrdinalFor(PDRIVER_OBJECT driver);
// Sets the pool tag and runs the static initialisers.
void InitializeDriverLibrary();
