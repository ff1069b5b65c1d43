// USB hub: scanner functions, their device nodes and URB answers.
#include "usb/Hub.h"

#include <algorithm>
#include <cstdio>

#include <usb.h>
#include <usbioctl.h>

#include "cm/Hive.h"
#include "ke/Scheduler.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

namespace plat {

struct UsbFunction::Transfer {
    UsbFunction *owner;
    PIRP irp;
    KTIMER timer;
    KDPC dpc;
    NTSTATUS status;
};

namespace {

std::u16string Hex4(USHORT v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v);
    return FromUtf8(text);
}

std::vector<UCHAR> DeviceDescriptor(const ScannerModel &m)
{
    USHORT product = m.modem ? kCompositeProduct : kScannerProduct;
    return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, static_cast<UCHAR>(m.modem ? 0xEF : 0), 0, 0, 64,
            static_cast<UCHAR>(kScannerVendor & 0xFF), static_cast<UCHAR>(kScannerVendor >> 8),
            static_cast<UCHAR>(product & 0xFF), static_cast<UCHAR>(product >> 8), 0x00, 0x01, 1, 2,
            static_cast<UCHAR>(m.noSerialString ? 0 : 3), 1};
}

std::vector<UCHAR> ConfigurationDescriptor(const ScannerModel &m, int interfaceNumber)
{
    bool modem = interfaceNumber == 1;
    UCHAR in = modem ? 0x86 : m.bulkInEndpoint;
    UCHAR out = modem ? 0x06 : m.bulkOutEndpoint;
    std::vector<UCHAR> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 50,
                            9, USB_INTERFACE_DESCRIPTOR_TYPE, static_cast<UCHAR>(interfaceNumber < 0 ? 0 : interfaceNumber), 0, 2, 0xFF, 0, 0, 0,
                            7, USB_ENDPOINT_DESCRIPTOR_TYPE, in, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
                            7, USB_ENDPOINT_DESCRIPTOR_TYPE, out, USB_ENDPOINT_TYPE_BULK, 64, 0, 0};
    return d;
}

std::vector<UCHAR> StringDescriptor(std::u16string_view text)
{
    std::vector<UCHAR> d = {static_cast<UCHAR>(2 + text.size() * 2), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t c : text) {
        d.push_back(static_cast<UCHAR>(c & 0xFF));
        d.push_back(static_cast<UCHAR>(c >> 8));
    }
    return d;
}

// The instance ID part of a scanner: its serial number, or, as Windows makes
// one for a device without a usable serial number, the hub's prefix and the
// port number.
std::u16string InstanceIdOf(const ScannerModel &model)
{
    if (UsableSerialNumber(model.serial))
        return model.serial;
    return u"5&1D2C3B4A&0&" + FromUtf8(std::to_string(model.hubPort));
}

}  // namespace

bool UsableSerialNumber(std::u16string_view serial)
{
    if (serial.empty())
        return false;
    for (char16_t c : serial)
        if (c <= 0x20 || c >= 0x7F || c == u',' || c == u'\\')
            return false;
    return true;
}

UsbFunction::UsbFunction(const ScannerModel &m, int number) : model(m), interfaceNumber(number) {}

UsbFunction::~UsbFunction()
{
    for (auto &t : transfers_)
        KeCancelTimer(&t->timer), KeRemoveQueueDpc(&t->dpc);
}

NTSTATUS UsbFunction::GetDescriptor(PURB urb)
{
    auto &request = urb->UrbControlDescriptorRequest;
    std::vector<UCHAR> data;
    switch (request.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        data = DeviceDescriptor(model);
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (request.Index != 0)
            return STATUS_UNSUCCESSFUL;
        data = ConfigurationDescriptor(model, interfaceNumber);
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        if (request.Index == 0) {
            data = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
            break;
        }
        // The device knows only US English strings; anything else stalls.
        if (request.LanguageId != 0x0409 || request.Index > 3)
            return STATUS_UNSUCCESSFUL;
        data = StringDescriptor(request.Index == 1 ? model.manufacturer
                                : request.Index == 2 ? model.product
                                                     : model.serial);
        break;
    default:
        return STATUS_UNSUCCESSFUL;
    }
    if (!request.TransferBuffer && request.TransferBufferLength)
        return STATUS_INVALID_PARAMETER;
    ULONG n = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(data.size()));
    memcpy(request.TransferBuffer, data.data(), n);
    request.TransferBufferLength = n;
    return STATUS_SUCCESS;
}

NTSTATUS UsbFunction::InternalDeviceControl(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return PhysicalDevice::InternalDeviceControl(irp);
    auto *urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
    if (!urb)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    ++urbCount;
    if (!present) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    }
    NTSTATUS status;
    if (ShouldFail(FaultSite::UsbTransfer) || model.failDescriptorReads) {
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        status = STATUS_UNSUCCESSFUL;
    } else if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        status = GetDescriptor(urb);
        urb->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    } else {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        status = STATUS_NOT_SUPPORTED;
    }
    // Hardware answers after a while: the machine's seed decides whether this answer
    // arrives before the submission returns or a millisecond later.
    if (!model.hangTransfers && Scheduler::Get().Random()() % 2 == 0)
        return Complete(irp, status);
    auto transfer = std::make_unique<Transfer>();
    Transfer *t = transfer.get();
    t->owner = this;
    t->irp = irp;
    t->status = status;
    transfers_.push_back(std::move(transfer));
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = t;
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        t->irp = nullptr;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    if (!model.hangTransfers) {
        KeInitializeTimerEx(&t->timer, NotificationTimer);
        KeInitializeDpc(&t->dpc, CompleteLater, t);
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimerEx(&t->timer, due, 0, &t->dpc);
    }
    return STATUS_PENDING;
}

void UsbFunction::FillCapabilities(DEVICE_CAPABILITIES &caps)
{
    PhysicalDevice::FillCapabilities(caps);
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.DeviceD2 = 1;
    caps.DeviceWake = PowerDeviceD2;
    caps.SystemWake = PowerSystemSleeping3;
    caps.Removable = 1;
    caps.SurpriseRemovalOK = 0;
    caps.UniqueID = UsableSerialNumber(model.serial) ? 1 : 0;
    caps.Address = static_cast<ULONG>(interfaceNumber < 0 ? 0 : interfaceNumber);
}

// The transfer's request is owned here once its cancel routine is taken back.
void UsbFunction::FinishTransfer(Transfer *t, NTSTATUS status)
{
    PIRP irp = t->irp;
    if (!irp || !IoSetCancelRoutine(irp, nullptr))
        return;  // done, or cancelled: the cancel routine completes it
    t->irp = nullptr;
    KeCancelTimer(&t->timer);
    if (!NT_SUCCESS(status)) {
        auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void UsbFunction::Disconnect()
{
    PhysicalDevice::Disconnect();
    for (auto &t : transfers_)
        FinishTransfer(t.get(), STATUS_NO_SUCH_DEVICE);
}

VOID UsbFunction::CompleteLater(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *t = static_cast<Transfer *>(context);
    t->owner->FinishTransfer(t, t->status);
}

VOID UsbFunction::CancelTransfer(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto *t = static_cast<Transfer *>(irp->Tail.Overlay.DriverContext[0]);
    t->irp = nullptr;
    KeCancelTimer(&t->timer);
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

UsbHub &UsbHub::Get()
{
    static UsbHub hub;
    return hub;
}

std::vector<std::u16string> UsbHub::Report(const ScannerModel &model)
{
    std::vector<std::u16string> reported;
    std::vector<int> functions = model.modem ? std::vector<int>{0, 1} : std::vector<int>{-1};
    USHORT product = model.modem ? kCompositeProduct : kScannerProduct;
    std::u16string base = u"USB\\VID_" + Hex4(kScannerVendor) + u"&PID_" + Hex4(product);
    for (int number : functions) {
        std::u16string id = base;
        if (number >= 0)
            id += number == 0 ? u"&MI_00" : u"&MI_01";
        std::u16string instance = id + u"\\" + InstanceIdOf(model) + (number >= 0 ? (number == 0 ? u"&0" : u"&1") : u"");
        DeviceNodeSetup setup;
        setup.className = u"USB";
        setup.classGuid = u"{36FC9E60-C465-11CF-8056-444553540000}";
        std::u16string withRevision = base + u"&REV_0100" + (number >= 0 ? id.substr(base.size()) : u"");
        setup.hardwareIds = {withRevision, id};
        if (!model.hardwareIds.empty() && number <= 0)
            setup.hardwareIds = model.hardwareIds;
        setup.service = u"VEXLINK";
        setup.description = model.product;
        PnpManager::WriteDeviceNodeKey(instance, setup);
        PnpManager::Get().ReportDevice(instance, std::make_unique<UsbFunction>(model, number));
        reported.push_back(instance);
    }
    return reported;
}

UCHAR UsbHub::FreePort() const
{
    for (int port = 1; port <= kHubPortCount; ++port)
        if (std::none_of(attached_.begin(), attached_.end(), [port](const ScannerModel &m) { return m.hubPort == port; }))
            return static_cast<UCHAR>(port);
    return 0;
}

bool UsbHub::IsAttached(std::u16string_view serial) const
{
    return std::any_of(attached_.begin(), attached_.end(), [&](const ScannerModel &m) { return m.serial == serial; });
}

void UsbHub::SetAttached(std::vector<ScannerModel> models)
{
    attached_.clear();
    for (auto &m : models) {
        if (!m.hubPort)
            m.hubPort = FreePort();
        attached_.push_back(std::move(m));
    }
}

std::vector<std::u16string> UsbHub::Plug(const ScannerModel &model)
{
    UCHAR port = FreePort();
    if (!port)
        return {};
    attached_.push_back(model);
    attached_.back().hubPort = port;
    return Report(attached_.back());
}

bool UsbHub::Unplug(std::u16string_view serial)
{
    // Every record of the serial goes with every device it reported, so that
    // none comes back at the next boot.
    if (!std::erase_if(attached_, [&](const ScannerModel &m) { return m.serial == serial; }))
        return false;
    std::vector<DeviceNode *> gone;
    for (const auto &n : PnpManager::Get().Nodes())
        if (auto *function = dynamic_cast<UsbFunction *>(n->bus.get()); function && function->model.serial == serial)
            gone.push_back(n.get());
    for (DeviceNode *n : gone)
        PnpManager::Get().DeviceGone(n);
    return true;
}

void UsbHub::ReportAttached()
{
    std::vector<ScannerModel> order = attached_;
    std::shuffle(order.begin(), order.end(), Scheduler::Get().Random());
    for (const auto &model : order)
        Report(model);
}

}  // namespace plat
