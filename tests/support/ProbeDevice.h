// A Plug and Play device of the driver's own class hierarchy for tests of the
// device base: the PnP and power managers drive it through the driver's
// dispatch routine like any port or scanner, while the test decides what its
// virtual operations answer and when its requests finish.
//
// A probe node is a root-enumerated node of service "VEXPROBE", whose image
// only has an AddDevice: it builds a ProbeDevice in the driver's own driver
// object, so every request reaches KPnpDevice through DriverDispatch.
#pragma once

#include "TestMachine.h"

#include "DriverGlobals.h"
#include "KPnpDevice.h"
#include "ke/Scheduler.h"

namespace test {

class ProbeDevice : public KPnpDevice {
public:
    ProbeDevice(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice) : KPnpDevice(creation, physicalDevice)
    {
    }
    ~ProbeDevice() override { *destroyed = true; }

    // Reads go to the single queue; the start routine keeps the request
    // current until Finish and notes the read length, which tells requests
    // apart.
    static void Start(KDeviceObject *owner, PIRP irp)
    {
        auto *self = static_cast<ProbeDevice *>(owner);
        self->current = irp;
        self->startedLengths.push_back(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length);
    }
    void Finish(NTSTATUS status = STATUS_SUCCESS)
    {
        PIRP irp = current;
        ASSERT_NE(nullptr, irp);
        current = nullptr;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        requestStartNext(0);
    }
    NTSTATUS DispatchRead(PIRP irp) override
    {
        IoMarkIrpPending(irp);
        Queue(0)->startPacket(irp);
        return STATUS_PENDING;
    }
    // With endCurrentOnCancel the current request is I/O the device has
    // under way, which a cancel ends.
    // Opens of the stack (by the PDO's name) succeed, so that a test can
    // hold a handle across a removal.
    NTSTATUS DispatchCreate(PIRP irp) override { return Succeed(irp); }
    NTSTATUS DispatchCleanup(PIRP irp) override { return Succeed(irp); }
    NTSTATUS DispatchClose(PIRP irp) override { return Succeed(irp); }
    static NTSTATUS Succeed(PIRP irp)
    {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    void CancelOutstandingIo() override
    {
        ++cancels;
        if (endCurrentOnCancel && current)
            Finish(STATUS_CANCELLED);
    }
    bool endCurrentOnCancel = false;
    // With forgetStartNext, power requests go down as from a driver that
    // never calls PoStartNextPowerIrp.
    NTSTATUS DispatchPower(PIRP irp) override
    {
        if (!forgetStartNext)
            return KPnpDevice::DispatchPower(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lowerDevice, irp);
    }
    bool forgetStartNext = false;

    NTSTATUS StartDevice(PCM_PARTIAL_RESOURCE_LIST raw, PCM_PARTIAL_RESOURCE_LIST translated) override
    {
        ++starts;
        startedWithLists = raw && translated;
        return startStatus;
    }
    void StopDevice(bool wasStarted) override { stops.push_back(wasStarted); }
    bool OkToStop(PIRP) override { return allowStop; }
    bool OkToRemove(PIRP) override { return allowRemove; }
    bool OkToChangePower(LONG, LONG to) override { return to <= deepestAllowed; }
    void AdjustCapabilities(PDEVICE_CAPABILITIES caps, bool before) override
    {
        (before ? seenBefore : seenAfter) = *caps;
    }

    PIRP current = nullptr;
    std::vector<ULONG> startedLengths;
    int cancels = 0;
    int starts = 0;
    bool startedWithLists = false;
    std::vector<bool> stops;
    NTSTATUS startStatus = STATUS_SUCCESS;
    bool allowStop = true;
    bool allowRemove = true;
    LONG deepestAllowed = PowerDeviceD3;
    DEVICE_CAPABILITIES seenBefore{};
    DEVICE_CAPABILITIES seenAfter{};
    // Outlives the object: tests read it after the device is gone.
    std::shared_ptr<bool> destroyed = std::make_shared<bool>(false);
};

// What the bus under a probe answers: a root device by default, or one with
// wake and a slow resume as a USB function has.
class ProbeBus : public plat::PhysicalDevice {
public:
    // One power request as the bus saw it.
    struct PowerSeen {
        UCHAR minor;
        bool system;
        LONG state;
        bool operator==(const PowerSeen &) const = default;
    };
    NTSTATUS Dispatch(PIRP irp) override
    {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction == IRP_MJ_PNP)
            pnp.push_back(sp->MinorFunction);
        if (sp->MajorFunction == IRP_MJ_POWER &&
            (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER)) {
            bool system = sp->Parameters.Power.Type == SystemPowerState;
            power.push_back({sp->MinorFunction, system,
                             system ? LONG(sp->Parameters.Power.State.SystemState)
                                    : LONG(sp->Parameters.Power.State.DeviceState)});
            NTSTATUS answer = system                                   ? STATUS_SUCCESS
                              : sp->MinorFunction == IRP_MN_QUERY_POWER ? queryStatus
                                                                        : deviceSetStatus;
            if (answer != STATUS_SUCCESS) {
                PoStartNextPowerIrp(irp);
                return Complete(irp, answer);
            }
        }
        return PhysicalDevice::Dispatch(irp);
    }
    std::vector<PowerSeen> power;
    // The Plug and Play minor codes that reached the bus, in order.
    std::vector<UCHAR> pnp;
    NTSTATUS queryStatus = STATUS_SUCCESS;
    // What device set-power requests answer, as from hardware that does not
    // reach the state.
    NTSTATUS deviceSetStatus = STATUS_SUCCESS;
    bool wakeCapable = false;
    void FillCapabilities(DEVICE_CAPABILITIES &caps) override
    {
        PhysicalDevice::FillCapabilities(caps);
        if (!wakeCapable)
            return;
        caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
        caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
        caps.DeviceWake = PowerDeviceD2;
        caps.SystemWake = PowerSystemSleeping3;
    }
    ULONG ResumeMilliseconds() const override { return wakeCapable ? 10 : 0; }
};

inline ProbeDevice *&LastProbe()
{
    static ProbeDevice *probe = nullptr;
    return probe;
}

// The destroyed flag of the last probe added, for tests whose probe goes
// before they can look at it.
inline std::shared_ptr<bool> &LastProbeDestroyed()
{
    static std::shared_ptr<bool> flag;
    return flag;
}

// What the next probe's StartDevice answers.
inline NTSTATUS &NextProbeStartStatus()
{
    static NTSTATUS status = STATUS_SUCCESS;
    return status;
}

inline NTSTATUS ProbeAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT pdo)
{
    KUnicodeString name;
    KDeviceCreation creation{};
    void *storage = CreateDeviceObject(sizeof(ProbeDevice), DriverGlobals.driverObject, name, creation);
    auto *probe = new (storage) ProbeDevice(creation, pdo);
    probe->startStatus = NextProbeStartStatus();
    NTSTATUS status = probe->CreateQueues(1, ProbeDevice::Start);
    if (NT_SUCCESS(status))
        status = probe->CompleteInitialization();
    if (!NT_SUCCESS(status)) {
        delete probe;
        return status;
    }
    LastProbe() = probe;
    LastProbeDestroyed() = probe->destroyed;
    return STATUS_SUCCESS;
}

inline NTSTATUS ProbeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = ProbeAddDevice;
    return STATUS_SUCCESS;
}

// A machine with the driver loaded (one port) and probe nodes on demand.
class ProbeTest : public MachineTest {
protected:
    void SetUp() override
    {
        plat::RegisterDriverImage(u"vexprobe.sys", ProbeDriverEntry);
        NextProbeStartStatus() = STATUS_SUCCESS;
        MachineTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    }
    void BeforeBoot() override
    {
        MachineTest::BeforeBoot();
        std::u16string key = std::u16string(plat::kServicesRoot) + u"\\VEXPROBE";
        plat::cm::Registry().Create(key);
        plat::cm::Registry().SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\vexprobe.sys");
    }
    void TearDown() override
    {
        // Requests still waiting end when the machine goes off: their
        // records must outlive it.
        machine.reset();
        for (auto *r : requests)
            delete r;
        MachineTest::TearDown();
    }

    // Reports a probe node; the PnP manager adds and starts it.
    ProbeDevice *AddProbe(std::unique_ptr<ProbeBus> bus = std::make_unique<ProbeBus>())
    {
        plat::DeviceNodeSetup setup;
        setup.className = u"Probe";
        setup.service = u"VEXPROBE";
        std::u16string instance = plat::PnpManager::NextRootInstance(u"PROBE");
        plat::PnpManager::WriteDeviceNodeKey(instance, setup);
        LastProbe() = nullptr;
        node = plat::PnpManager::Get().ReportDevice(instance, std::move(bus));
        return LastProbe();
    }
    plat::PendingRequest *Read(ProbeDevice *probe, ULONG length = 0)
    {
        plat::Request request;
        request.major = IRP_MJ_READ;
        request.outputLength = length;
        requests.push_back(plat::StartRequest(nullptr, request, probe->deviceObject));
        return requests.back();
    }
    NTSTATUS Send(UCHAR minor, ULONG_PTR *information = nullptr)
    {
        return plat::PnpManager::Get().SendPnpIrp(node, minor, {}, information);
    }
    // Runs body on a simulated thread of its own (a PnP request that waits
    // for the test to finish something); Join waits for it.
    plat::SimThread *Spawn(const std::string &name, std::function<void()> body)
    {
        return plat::Scheduler::Get().CreateThread(name, std::move(body));
    }
    void Join(plat::SimThread *thread) { plat::Scheduler::Get().Join(thread); }
    // Lets every other runnable thread, DPC and timer due within ms run.
    void Pass(LONGLONG ms)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -10000LL * ms;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

    plat::DeviceNode *node = nullptr;
    std::vector<plat::PendingRequest *> requests;
};

}  // namespace test
