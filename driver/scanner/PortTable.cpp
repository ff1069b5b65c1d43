// The add-device routine, slot choice, the pairing record in the registry,
// and the table side of destroying scanners and ports.
#include "PortTable.h"

#include "DriverGlobals.h"
#include "KControlDeviceObject.h"
#include "KScannerFunction.h"
#include "KVirtualSerialPort.h"
#include "Pool.h"
#include "RegistryHelpers.h"

namespace {

constexpr WCHAR kModemSerial[] = L"000000000000";
constexpr WCHAR kModemModelName[] = L"DIro Modem";
constexpr WCHAR kModemHardwareId[] = L"USB\\VID_E7A3&PID_0214&MI_01";
constexpr ULONG kClassNameBytes = 128;
constexpr ULONG kHardwareIdBytes = 512;
constexpr UCHAR kScannerBulkIn = 0x82;
constexpr UCHAR kScannerBulkOut = 0x04;
constexpr UCHAR kModemBulkIn = 0x86;
constexpr UCHAR kModemBulkOut = 0x06;

bool EqualNoCase(const UNICODE_STRING &a, PCWSTR b)
{
    UNICODE_STRING other;
    RtlInitUnicodeString(&other, b);
    return RtlCompareUnicodeString(&a, &other, TRUE) == 0;
}

bool SameName(const KUnicodeString &a, const KUnicodeString &b) { return RtlCompareUnicodeString(&a, &b, TRUE) == 0; }

// Local time now as "%d-%02d-%04d,%d:%02d:%02d" (day, month, year, hour,
// minute, second). String storage running out is returned; the text goes
// when the routine returns either way.
NTSTATUS FormatTimeStamp(KUnicodeString &stamp)
{
    LARGE_INTEGER systemTime, localTime;
    KeQuerySystemTime(&systemTime);
    ExSystemTimeToLocalTime(&systemTime, &localTime);
    TIME_FIELDS fields;
    RtlTimeToTimeFields(&localTime, &fields);
    KAnsiString text;
    return CallInFrame([&] {
        text.Format("%d-%02d-%04d,%d:%02d:%02d", fields.Day, fields.Month, fields.Year, fields.Hour, fields.Minute,
                    fields.Second);
        stamp.AssignAnsi(text.Buffer, text.Length);
        return STATUS_SUCCESS;
    });
}

// True when the node's hardware IDs name the composite model's modem
// interface. The list ends at its first empty entry.
bool IsModemInterface(PDEVICE_OBJECT physicalDevice)
{
    WCHAR ids[kHardwareIdBytes / sizeof(WCHAR)];
    ULONG length = 0;
    if (!NT_SUCCESS(IoGetDeviceProperty(physicalDevice, DevicePropertyHardwareID, sizeof ids, ids, &length)))
        return false;
    ULONG units = length / sizeof(WCHAR);
    for (ULONG at = 0; at < units && ids[at];) {
        ULONG end = at;
        while (end < units && ids[end])
            ++end;
        UNICODE_STRING id;
        id.Buffer = ids + at;
        id.Length = static_cast<USHORT>((end - at) * sizeof(WCHAR));
        id.MaximumLength = id.Length;
        if (EqualNoCase(id, kModemHardwareId))
            return true;
        at = end + 1;
    }
    return false;
}

// Writes constant text: no string storage, so nothing raises while a caller
// holds its key.
void WriteValue(HANDLE key, PCWSTR name, PCWSTR text, NTSTATUS *status = nullptr)
{
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, text);
    NTSTATUS result = WriteRegistryString(key, name, value);
    if (status)
        *status = result;
}

// The text as ASCII for the debugger, '?' for anything else.
void AsciiOf(const KUnicodeString &text, char *out, ULONG size)
{
    ULONG n = 0;
    for (; n + 1 < size && n < text.Chars(); ++n)
        out[n] = text.Buffer[n] >= 0x20 && text.Buffer[n] < 0x7F ? static_cast<char>(text.Buffer[n]) : '?';
    out[n] = 0;
}

// Records the pairing under scannerKeyPath. Nothing here raises.
void persistPairing(const KUnicodeString &portName, const KUnicodeString &timeStamp)
{
    HANDLE key = OpenRegistryKey(DriverGlobals.scannerKeyPath, KEY_WRITE);
    if (!key) {
        // A serial number that is no key name (a leading or doubled
        // backslash) has no key to keep the pairing in.
        char port[16], path[160];
        AsciiOf(portName, port, sizeof port);
        AsciiOf(DriverGlobals.scannerKeyPath, path, sizeof path);
        DbgPrint("vexlink.sys: the pairing with %s cannot be recorded: key %s cannot be opened\n", port, path);
    } else {
        WriteValue(key, L"OpenCount", L"0");
        WriteRegistryString(key, L"PortName", portName);
        WriteRegistryString(key, L"TimeStamp", timeStamp);
        KVirtualSerialPort *staticPort = DriverGlobals.portTableSize ? DriverGlobals.portTable[0].port : nullptr;
        bool isStatic = staticPort && SameName(staticPort->portName, portName);
        NTSTATUS flagStatus;
        WriteValue(key, L"PortType", isStatic ? L"Static" : L"Dynamic");
        WriteValue(key, L"Flag", isStatic ? L"N/A" : L"Associated", &flagStatus);
        ZwClose(key);
        if (!NT_SUCCESS(flagStatus))
            DbgPrint("failed to write registry value");
    }
}

// The pairing holds in memory even when it cannot be recorded: string
// storage running out counts like a key that cannot be opened.
void PersistPairingOf(KVirtualSerialPort *port, const KUnicodeString &timeStamp)
{
    KERNEL_TRY {
        DriverGlobals.scannerKeyPath.AssignConfigurationSubkey(port->pairedScanner->serialNumber);
    } KERNEL_EXCEPT {
        DbgPrint("failed to write registry value");
        return;
    }
    persistPairing(port->portName, timeStamp);
}

// A registry key handle closed when it goes out of scope: only for code that
// cannot raise while it holds the key, since a raise runs no destructor.
class ScopedKey {
public:
    explicit ScopedKey(HANDLE key = nullptr) : key_(key) {}
    ~ScopedKey() { Reset(nullptr); }
    ScopedKey(const ScopedKey &) = delete;
    ScopedKey &operator=(const ScopedKey &) = delete;
    void Reset(HANDLE key)
    {
        if (key_)
            ZwClose(key_);
        key_ = key;
    }
    HANDLE Get() const { return key_; }

private:
    HANDLE key_;
};

// Chooses the scanner's slot; PortTableEntry or null when it stays out.
PortTableEntry *ChooseScannerSlot(KScannerFunction *scanner, HANDLE key)
{
    PortTableEntry *table = DriverGlobals.portTable;
    if (DriverGlobals.portTableSize == 0)
        return nullptr;
    if (scanner->serialNumber.CompareNoCase(kModemSerial) == 0)
        return &table[0];
    KUnicodeString remembered;
    ReadRegistryString(key, L"PortName", remembered);
    if (!remembered.IsEmpty())
        for (ULONG slot = 1; slot < DriverGlobals.portTableSize; ++slot) {
            PortTableEntry &entry = table[slot];
            if (entry.port && !entry.scanner && SameName(entry.port->portName, remembered))
                return &entry;
        }
    for (ULONG slot = 1; slot < DriverGlobals.portTableSize; ++slot)
        if (!table[slot].scanner)
            return &table[slot];
    return nullptr;
}

// Identity, registry key and slot of a constructed scanner; any failure,
// returned or raised, leaves the scanner for the caller to destroy. Nothing
// that can raise runs while a key is open.
NTSTATUS IdentifyAndPlaceScanner(KScannerFunction *scanner, bool modem, const KUnicodeString &timeStamp)
{
    NTSTATUS status = scanner->CompleteInitialization();
    if (!NT_SUCCESS(status))
        return status;

    // Identity: the modem interface reads no descriptors. Index 0 names no
    // string (it is the language table).
    if (modem) {
        scanner->serialNumber.Assign(kModemSerial, ARRAYSIZE(kModemSerial) - 1);
        scanner->modelName.Assign(kModemModelName, ARRAYSIZE(kModemModelName) - 1);
    } else if (PUSB_DEVICE_DESCRIPTOR descriptor = scanner->readDeviceDescriptor()) {
        UCHAR serialIndex = descriptor->iSerialNumber;
        UCHAR productIndex = descriptor->iProduct;
        FreePool(descriptor);
        if (serialIndex)
            status = scanner->readStringDescriptor(serialIndex, scanner->serialNumber);
        if (NT_SUCCESS(status) && (!productIndex ||
                                   !NT_SUCCESS(scanner->readStringDescriptor(productIndex, scanner->modelName))))
            scanner->modelName.Free();
    }
    if (!NT_SUCCESS(status))
        return status;
    // Without a serial number the scanner has no key of its own: its values
    // would land in the Configuration key itself.
    if (scanner->serialNumber.IsEmpty())
        return STATUS_DEVICE_DATA_ERROR;

    DriverGlobals.scannerKeyPath.AssignConfigurationSubkey(scanner->serialNumber);
    ScopedKey key(OpenRegistryKey(DriverGlobals.scannerKeyPath, KEY_READ));
    if (!key.Get())
        key.Reset(CreateRegistryKeyPath(DriverGlobals.scannerKeyPath, KEY_ALL_ACCESS));
    if (!key.Get())
        return STATUS_UNSUCCESSFUL;
    // The key may have been opened for reading only; the add-time values go
    // through a handle that may write.
    {
        ScopedKey writable(OpenRegistryKey(DriverGlobals.scannerKeyPath, KEY_WRITE));
        if (writable.Get()) {
            WriteRegistryString(writable.Get(), L"ModelType", scanner->modelName);
            WriteValue(writable.Get(), L"Flag", L"Enumerated");
        }
    }

    PortTableEntry *slot = ChooseScannerSlot(scanner, key.Get());
    key.Reset(nullptr);
    if (!slot)
        return STATUS_SUCCESS;
    // Slot 0 is taken unconditionally; the scanner it held loses its port.
    if (slot->scanner && slot->scanner->pairedPort == slot->port)
        slot->scanner->pairedPort = nullptr;
    slot->scanner = scanner;
    scanner->pairedPort = slot->port;
    if (slot->port) {
        slot->port->pairedScanner = scanner;
        slot->port->scannerSerial = scanner->serialNumber;
        PersistPairingOf(slot->port, timeStamp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS AddScanner(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice, const KUnicodeString &timeStamp)
{
    bool modem = IsModemInterface(physicalDevice);
    KUnicodeString noName;  // holds no storage, so the creation's raise leaves none
    KDeviceCreation creation{};
    void *storage = CreateDeviceObject(sizeof(KScannerFunction), driver, noName, creation);
    auto *scanner = new (storage) KScannerFunction(creation, physicalDevice, modem ? kModemBulkIn : kScannerBulkIn,
                                                   modem ? kModemBulkOut : kScannerBulkOut);
    NTSTATUS status;
    KERNEL_TRY {
        status = IdentifyAndPlaceScanner(scanner, modem, timeStamp);
    } KERNEL_EXCEPT {
        status = KernelExceptionCode();
    }
    // The destructor takes the scanner out of any slot it reached.
    if (!NT_SUCCESS(status))
        delete scanner;
    return status;
}

NTSTATUS AddPort(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice, const KUnicodeString &timeStamp)
{
    if (static_cast<ULONG>(DriverGlobals.livePortCount) == DriverGlobals.portTableSize)
        return STATUS_UNSUCCESSFUL;
    // The names and the port are the add's until the port is placed; the lock
    // is released after the frame on each way out, whether the creation
    // raised or not.
    KAnsiString ansiName;
    KUnicodeString name;
    KVirtualSerialPort *port = nullptr;
    DriverGlobals.portTableLock.Acquire();
    NTSTATUS status = CallInFrame([&] {
        LONG number = InterlockedIncrement(&DriverGlobals.lastPortNumber);
        ansiName.Format("\\Device\\VXVIRTPORT%d", number);
        name.AssignAnsi(ansiName.Buffer, ansiName.Length);
        KDeviceCreation creation{};
        void *storage = CreateDeviceObject(sizeof(KVirtualSerialPort), driver, name, creation);
        port = new (storage) KVirtualSerialPort(creation, physicalDevice);
        return port->CompleteInitialization();
    });
    if (!NT_SUCCESS(status)) {
        if (port)
            delete port;
        DriverGlobals.portTableLock.Release();
        return status;
    }

    PortTableEntry *table = DriverGlobals.portTable;
    for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot) {
        PortTableEntry &entry = table[slot];
        if (entry.port)
            continue;
        entry.port = port;
        port->pairedScanner = entry.scanner;
        KScannerFunction *scanner = entry.scanner;
        if (scanner && !scanner->pairedPort) {
            scanner->pairedPort = port;
            KERNEL_TRY {
                port->scannerSerial = scanner->serialNumber;
            } KERNEL_EXCEPT {
                // The port's open bookkeeping then updates no key.
                port->scannerSerial.Free();
            }
            PersistPairingOf(port, timeStamp);
        }
        break;
    }
    DriverGlobals.portTableLock.Release();
    return status;
}

NTSTATUS AddDeviceLocked(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice, const KUnicodeString &timeStamp)
{
    WCHAR className[kClassNameBytes / sizeof(WCHAR)];
    ULONG length = 0;
    NTSTATUS status = IoGetDeviceProperty(physicalDevice, DevicePropertyClassName, sizeof className, className, &length);
    if (!NT_SUCCESS(status))
        return status;

    HANDLE configuration = OpenRegistryKey(DriverGlobals.configurationKeyPath, KEY_READ);
    if (!configuration) {
        DbgPrint("Driver Entry Open to registry failed");
        return STATUS_UNSUCCESSFUL;
    }
    ULONG portCount = 0;
    if (!NT_SUCCESS(ReadRegistryDword(configuration, L"PortCount", &portCount)))
        portCount = 0;
    ZwClose(configuration);
    // The slot count, PortCount + 1, must not wrap to no slots at all.
    if (!DriverGlobals.portTable && portCount == 0xFFFFFFFFul) {
        DbgPrint("vexlink.sys: PortCount %u is more ports than a table can count; no port table\n", static_cast<unsigned>(portCount));
        return STATUS_UNSUCCESSFUL;
    }
    // A table in existence keeps the size it was made with: a walk that
    // stopped short of its end would leave freed devices in the slots it
    // misses, and one past its end would leave the table.
    DriverGlobals.portTableSize = DriverGlobals.portTable ? DriverGlobals.portTableSlots : portCount + 1;

    if (!DriverGlobals.portTable) {
        auto table = static_cast<PortTableEntry *>(AllocateZeroedPool(SIZE_T(DriverGlobals.portTableSize) * sizeof(PortTableEntry)));
        if (!table) {
            DbgPrint("vexlink.sys: no pool for a port table of %u slots\n", static_cast<unsigned>(DriverGlobals.portTableSize));
            return STATUS_UNSUCCESSFUL;
        }
        DriverGlobals.portTable = table;
        DriverGlobals.portTableSlots = DriverGlobals.portTableSize;
        if (!DriverGlobals.controlDevice) {
            CreateControlDevice();
            if (DriverGlobals.controlDevice)
                DriverGlobals.controlDevice->deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }

    UNICODE_STRING name;
    name.Buffer = className;
    name.Length = static_cast<USHORT>(length >= sizeof(WCHAR) ? length - sizeof(WCHAR) : 0);
    name.MaximumLength = name.Length;
    if (EqualNoCase(name, L"Ports"))
        return AddPort(driver, physicalDevice, timeStamp);
    return AddScanner(driver, physicalDevice, timeStamp);
}

}  // namespace

// PASSIVE_LEVEL, Plug and Play context; calls never overlap.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    // Outside the frame, so that it goes however the add ends.
    KUnicodeString timeStamp;
    NTSTATUS status = FormatTimeStamp(timeStamp);
    if (!NT_SUCCESS(status))
        return status;
    return CallInFrame([&] { return AddDeviceLocked(driver, physicalDevice, timeStamp); });
}

void UnlinkScanner(KScannerFunction *scanner)
{
    bool paired = false;
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&DriverGlobals.scannerListLock);
    if (DriverGlobals.portTable)
        for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot) {
            PortTableEntry &entry = DriverGlobals.portTable[slot];
            if (entry.scanner != scanner)
                continue;
            if (entry.port) {
                entry.port->pairedScanner = nullptr;
                paired = true;
            }
            entry.scanner = nullptr;
            scanner->pairedPort = nullptr;
            break;
        }
    RemoveEntryList(&scanner->scannerListEntry);
    KeReleaseSpinLock(&DriverGlobals.scannerListLock, old);

    if (paired && !scanner->serialNumber.IsEmpty()) {
        // Runs in a destructor: running out of string storage only leaves the
        // record as it was.
        KUnicodeString path;
        NTSTATUS status = CallInFrame([&] {
            path.AssignConfigurationSubkey(scanner->serialNumber);
            return STATUS_SUCCESS;
        });
        ScopedKey key(NT_SUCCESS(status) ? OpenRegistryKey(path, KEY_WRITE) : nullptr);
        if (key.Get())
            WriteValue(key.Get(), L"Flag", L"");
    }
}

void ReleasePortTable()
{
    FreePool(DriverGlobals.portTable);
    DriverGlobals.portTable = nullptr;
    DriverGlobals.portTableSlots = 0;
}

void ReleasePortSlot(KVirtualSerialPort *port)
{
    if (InterlockedDecrement(&DriverGlobals.livePortCount) == 0) {
        ReleasePortTable();
        port->pairedScanner = nullptr;
        if (DriverGlobals.controlDevice) {
            delete DriverGlobals.controlDevice;
            DriverGlobals.controlDevice = nullptr;
        }
    } else if (DriverGlobals.portTable) {
        for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot)
            if (DriverGlobals.portTable[slot].port == port) {
                DriverGlobals.portTable[slot].port = nullptr;
                break;
            }
    }
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&DriverGlobals.scannerListLock);
    for (PLIST_ENTRY e = DriverGlobals.scannerList.Flink; e != &DriverGlobals.scannerList; e = e->Flink) {
        auto *scanner = CONTAINING_RECORD(e, KScannerFunction, scannerListEntry);
        if (scanner->pairedPort == port)
            scanner->pairedPort = nullptr;
    }
    KeReleaseSpinLock(&DriverGlobals.scannerListLock, old);
}
