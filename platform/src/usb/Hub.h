// The simulated USB host controller and hub, and the scanner models plugged
// into it. Each plugged scanner function is a physical device object that
// answers URBs the way the USB bus driver does.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include <usb.h>

#include "pnp/PnpManager.h"

namespace plat {

struct ScannerModel {
    std::u16string serial;
    std::u16string product = u"VX Barcode Scanner";
    std::u16string manufacturer = u"VX Devices";
    bool modem = false;  // the composite model 0214 with its modem interface
    // Replaces the hardware IDs the hub reports for the (first) function.
    std::vector<std::u16string> hardwareIds;
    UCHAR bulkInEndpoint = 0x82;
    UCHAR bulkOutEndpoint = 0x04;
    // A device descriptor without a serial-number string (iSerialNumber 0).
    bool noSerialString = false;
    // Faults of the device itself.
    bool failDescriptorReads = false;
    bool hangTransfers = false;  // URBs pend and never complete until cancelled
    // The hub port it is plugged into, 1 and up; 0 until the hub gives it one.
    UCHAR hubPort = 0;
};

// Whether the hub can use this serial number in an instance ID: every
// character above 0x20 and below 0x7F, none a comma or backslash. A device
// whose serial number fails is told apart by its hub port instead, and its
// instance ID is unique to the hub only.
bool UsableSerialNumber(std::u16string_view serial);

// One host controller addresses at most 127 devices.
constexpr int kHubPortCount = 127;

constexpr USHORT kScannerVendor = 0xE7A3;
constexpr USHORT kScannerProduct = 0x0204;
constexpr USHORT kCompositeProduct = 0x0214;

class UsbFunction : public PhysicalDevice {
public:
    UsbFunction(const ScannerModel &model, int interfaceNumber);
    ~UsbFunction() override;
    NTSTATUS InternalDeviceControl(PIRP irp) override;
    // A USB function sleeps in D2, can wake the system from S3 through its
    // remote-wakeup feature, and is removable.
    void FillCapabilities(DEVICE_CAPABILITIES &caps) override;
    // Resume signalling and recovery before the device answers again.
    ULONG ResumeMilliseconds() const override { return 10; }
    // Transfers still outstanding fail as from a device that is gone.
    void Disconnect() override;

    ScannerModel model;
    int interfaceNumber;  // -1 for a non-composite device
    size_t urbCount = 0;

private:
    struct Transfer;
    NTSTATUS GetDescriptor(PURB urb);
    static VOID CompleteLater(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
    void FinishTransfer(Transfer *t, NTSTATUS status);
    std::list<std::unique_ptr<Transfer>> transfers_;
};

class UsbHub {
public:
    static UsbHub &Get();

    // Attaches a scanner to the lowest free hub port and reports its
    // function(s) to Plug and Play at once. Returns the instance paths of the
    // reported nodes; none when every port is taken. The simulator refuses a
    // serial number that is attached already; the hub itself lets a test
    // attach one twice.
    std::vector<std::u16string> Plug(const ScannerModel &model);
    bool IsAttached(std::u16string_view serial) const;
    // Detaches the scanner (every one with that serial number): each of its
    // functions disappears (surprise removal, then removal). False when no
    // such scanner is attached.
    bool Unplug(std::u16string_view serial);
    // Reports every attached scanner, in an order the machine's seed chooses, as at
    // boot.
    void ReportAttached();
    const std::vector<ScannerModel> &Attached() const { return attached_; }
    // The scanners attached while the machine was off; any without a port
    // gets the lowest free one.
    void SetAttached(std::vector<ScannerModel> models);

private:
    std::vector<std::u16string> Report(const ScannerModel &model);
    UCHAR FreePort() const;
    std::vector<ScannerModel> attached_;
};

}  // namespace plat
