// The verifier: each kernel rule it enforces, broken on purpose through the
// real API, is reported once with the rule named; and the injected faults
// (pool, device creation, symbolic links) fail exactly the calls asked for.
#include "support/TestMachine.h"

#include <wdmsec.h>

#include "ex/Pool.h"
#include "ex/Raise.h"
#include "ob/Namespace.h"

namespace {

using test::Utf8;

const ULONG kTestTag = plat::TagFromText("VfTs");

using Name = plat::CountedString;

class VerifierTest : public test::MachineTest {
public:
    // What the test driver's dispatch routine does with each IRP.
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch;
    PIRP held = nullptr;

    // A device of a driver that is not a Plug and Play driver, made on first
    // use and deleted at the end of the test.
    PDEVICE_OBJECT Device()
    {
        if (!device_)
            device_ = Create(u"\\Device\\VerifierTest0");
        return device_;
    }
    PDEVICE_OBJECT Create(std::u16string_view name)
    {
        if (!driver_) {
            driver_ = plat::CreateDriverObject(u"\\Driver\\VerifierTest", u"VerifierTest");
            for (auto &entry : driver_->MajorFunction)
                entry = Dispatch;
        }
        Name n(name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, name.empty() ? nullptr : &n.string, FILE_DEVICE_UNKNOWN,
                                                 0, FALSE, &device));
        if (device)
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }
    PDRIVER_OBJECT Driver()
    {
        Device();
        return driver_;
    }
    // Shuts the machine down, which unloads every driver.
    void Shutdown() { machine.reset(); }

    // Sends one IRP_MJ_DEVICE_CONTROL to the test device and waits for it.
    plat::RequestResult Send()
    {
        plat::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        return plat::SendRequest(nullptr, request, Device());
    }

protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        current = this;
    }
    void TearDown() override
    {
        if (driver_) {
            while (driver_->DeviceObject)
                IoDeleteDevice(driver_->DeviceObject);
            plat::DeleteDriverObject(driver_);
        }
        current = nullptr;
        MachineTest::TearDown();
    }

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) { return current->dispatch(device, irp); }
    static inline VerifierTest *current = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID IgnoreCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

// ---------------------------------------------------------------------------
// Leaky and tidy driver images, loaded by Plug and Play for a root device.

PVOID leakedBlock = nullptr;

VOID KeepPoolAtUnload(PDRIVER_OBJECT) {}
VOID FreePoolAtUnload(PDRIVER_OBJECT)
{
    ExFreePoolWithTag(leakedBlock, plat::TagFromText("Leak"));
    leakedBlock = nullptr;
}

NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    leakedBlock = ExAllocatePoolWithTag(NonPagedPool, 24, plat::TagFromText("Leak"));
    driver->DriverUnload = KeepPoolAtUnload;
    return leakedBlock ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS TidyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status = LeakyEntry(driver, registryPath);
    driver->DriverUnload = FreePoolAtUnload;
    return status;
}

// Installs a service for the image and a root device node bound to it, so
// that Plug and Play loads the driver as it would any other.
void LoadThroughPlugAndPlay(VerifierTest &t, std::u16string_view service, std::u16string_view image,
                            PDRIVER_INITIALIZE entry)
{
    plat::RegisterDriverImage(image, entry);
    std::u16string key = std::u16string(plat::kServicesRoot) + u"\\" + std::u16string(service);
    plat::cm::Registry().Create(key);
    plat::cm::Registry().SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + std::u16string(image));
    plat::cm::Registry().SetDword(key, u"Type", 1);
    plat::cm::Registry().SetDword(key, u"Start", 3);
    plat::DeviceNodeSetup setup;
    setup.className = u"System";
    setup.hardwareIds = {u"root\\" + std::u16string(service)};
    setup.service = std::u16string(service);
    std::u16string instance = plat::Machine::Current()->AddRootDevice(service, setup);
    plat::DeviceNode *node = plat::PnpManager::Get().FindNode(instance);
    ASSERT_TRUE(node);
    ASSERT_TRUE(node->functionDriver) << "the driver did not load";
    ASSERT_NE(nullptr, leakedBlock);
}

// A system set-power request to S0, as the power manager sends it, to the
// top of the device's stack.
NTSTATUS SendSystemSet(PDEVICE_OBJECT device)
{
    return plat::SendPlatformRequest(device, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION sp) {
               sp->Parameters.Power.Type = SystemPowerState;
               sp->Parameters.Power.State.SystemState = PowerSystemWorking;
           }).Status;
}

// A two-device stack of the test driver: `lower` stands for the physical
// device at the bottom.
struct PowerStack {
    PDEVICE_OBJECT lower, upper;
    explicit PowerStack(VerifierTest &t)
        : lower(t.Create(u"\\Device\\VerifierLower")), upper(t.Create(u"\\Device\\VerifierUpper"))
    {
        IoAttachDeviceToDeviceStack(upper, lower);
    }
    ~PowerStack() { IoDetachDevice(lower); }
};

// ---------------------------------------------------------------------------
// Rule violations

struct Violation {
    const char *name;
    const char *rule;
    const char *detail;  // a fragment of the report
    void (*provoke)(VerifierTest &);
};
void PrintTo(const Violation &v, std::ostream *os) { *os << v.name; }

const Violation kViolations[] = {
    {"SpinLockAcquiredRecursively", "spin lock", "acquired recursively by thread 'main'",
     [](VerifierTest &) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLockAtDpcLevel(&lock);
         KeReleaseSpinLock(&lock, old);
     }},
    {"SpinLockReleasedThatWasNotHeld", "spin lock", "released by thread 'main' that does not hold it",
     [](VerifierTest &) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeReleaseSpinLock(&lock, old);
     }},
    {"SpinLockHeldOnReturnToPassiveLevel", "spin lock", "still held by thread 'main' on return to PASSIVE_LEVEL",
     [](VerifierTest &) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeLowerIrql(PASSIVE_LEVEL);
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     }},
    {"WaitWithTimeoutAtDispatchLevel", "wait", "non-zero timeout at IRQL 2 by thread 'main'",
     [](VerifierTest &) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         LARGE_INTEGER timeout;
         timeout.QuadPart = -10000000;
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
         KeLowerIrql(old);
     }},
    {"WaitWithoutTimeoutAtDispatchLevel", "wait", "non-zero timeout at IRQL 2",
     [](VerifierTest &) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
         KeLowerIrql(old);
     }},
    {"PagedPoolAllocatedAtDispatchLevel", "pool", "paged pool allocated at DISPATCH_LEVEL (tag 'VfTs')",
     [](VerifierTest &) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         PVOID p = ExAllocatePoolWithTag(PagedPool, 32, kTestTag);
         KeLowerIrql(old);
         ExFreePoolWithTag(p, kTestTag);
     }},
    {"PagedPoolFreedAtDispatchLevel", "pool", "paged pool freed at DISPATCH_LEVEL",
     [](VerifierTest &) {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 32, kTestTag);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExFreePoolWithTag(p, kTestTag);
         KeLowerIrql(old);
     }},
    {"IrpCompletedTwice", "IRP", "completed twice",
     [](VerifierTest &t) {
         t.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_SUCCESS);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         };
         EXPECT_EQ(STATUS_SUCCESS, t.Send().status);
     }},
    {"IrpCompletedWithACancelRoutine", "IRP", "IofCompleteRequest of an IRP that still has a cancel routine",
     [](VerifierTest &t) {
         t.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, IgnoreCancel);
             CompleteWith(irp, STATUS_SUCCESS);
             // What the driver should have done: clear the routine first.
             IoSetCancelRoutine(irp, nullptr);
             return CompleteWith(irp, STATUS_SUCCESS);
         };
         EXPECT_EQ(STATUS_SUCCESS, t.Send().status);
     }},
    {"PendingReturnedWithoutIoMarkIrpPending", "IRP",
     "dispatch routine of '\\Driver\\VerifierTest' returned STATUS_PENDING without marking the IRP pending",
     [](VerifierTest &t) {
         t.dispatch = [&t](PDEVICE_OBJECT, PIRP irp) {
             t.held = irp;
             return STATUS_PENDING;
         };
         plat::Request request;
         request.major = IRP_MJ_DEVICE_CONTROL;
         plat::PendingRequest *pending = plat::StartRequest(nullptr, request, t.Device());
         CompleteWith(t.held, STATUS_SUCCESS);
         EXPECT_EQ(STATUS_SUCCESS, pending->Wait().status);
         delete pending;
     }},
    {"DeviceDeletedWhileAttachedToALowerDevice", "device object",
     "device '\\Device\\VerifierUpper' deleted while still attached to a lower device",
     [](VerifierTest &t) {
         PDEVICE_OBJECT lower = t.Create(u"\\Device\\VerifierLower");
         PDEVICE_OBJECT upper = t.Create(u"\\Device\\VerifierUpper");
         IoAttachDeviceToDeviceStack(upper, lower);
         IoDeleteDevice(upper);
         // The stack left behind no longer leads to the deleted device.
         EXPECT_EQ(nullptr, lower->AttachedDevice);
         IoDeleteDevice(lower);
     }},
    {"DeviceDeletedWithAnotherAttachedToIt", "device object",
     "device '\\Device\\VerifierLower' deleted while another device is attached to it",
     [](VerifierTest &t) {
         PDEVICE_OBJECT lower = t.Create(u"\\Device\\VerifierLower");
         PDEVICE_OBJECT upper = t.Create(u"\\Device\\VerifierUpper");
         IoAttachDeviceToDeviceStack(upper, lower);
         IoDeleteDevice(lower);
         IoDeleteDevice(upper);
     }},
    {"PowerRequestPassedWithIoCallDriver", "power",
     "a power request was sent to '\\Device\\VerifierLower' with IoCallDriver instead of PoCallDriver",
     [](VerifierTest &t) {
         PowerStack stack(t);
         t.dispatch = [&stack](PDEVICE_OBJECT device, PIRP irp) {
             PoStartNextPowerIrp(irp);
             if (device == stack.lower)
                 return CompleteWith(irp, STATUS_SUCCESS);
             IoSkipCurrentIrpStackLocation(irp);
             return IoCallDriver(stack.lower, irp);
         };
         EXPECT_EQ(STATUS_SUCCESS, SendSystemSet(stack.upper));
     }},
    {"PoStartNextPowerIrpCalledTwice", "power", "PoStartNextPowerIrp called twice for one power request",
     [](VerifierTest &t) {
         t.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             PoStartNextPowerIrp(irp);
             return CompleteWith(irp, STATUS_SUCCESS);
         };
         EXPECT_EQ(STATUS_SUCCESS, SendSystemSet(t.Device()));
     }},
    {"SystemSetPowerFailed", "power", "a system set-power request was failed with status 0xC0000001",
     [](VerifierTest &t) {
         t.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             return CompleteWith(irp, STATUS_UNSUCCESSFUL);
         };
         SendSystemSet(t.Device());
     }},
    {"SystemSetPowerCompletedAboveThePhysicalDevice", "power",
     "a system set-power request was completed before it reached the physical device",
     [](VerifierTest &t) {
         PowerStack stack(t);
         t.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             return CompleteWith(irp, STATUS_SUCCESS);
         };
         EXPECT_EQ(STATUS_SUCCESS, SendSystemSet(stack.upper));
     }},
    {"TimerInitialisedAgainWhileSet", "timer", "KeInitializeTimerEx of a timer that is still set",
     [](VerifierTest &) {
         KTIMER timer;
         KDPC dpc;
         static int runs;
         runs = 0;
         KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++runs; }, nullptr);
         KeInitializeTimerEx(&timer, NotificationTimer);
         LARGE_INTEGER due;
         due.QuadPart = -10000;
         KeSetTimer(&timer, due, &dpc);
         KeInitializeTimerEx(&timer, NotificationTimer);
         // The machine goes on: the timer is no longer set and never fires.
         LARGE_INTEGER later;
         later.QuadPart = -50000;
         KeDelayExecutionThread(KernelMode, FALSE, &later);
         EXPECT_EQ(0, runs);
     }},
    {"PoolLeftAllocatedAtDriverUnload", "pool",
     "pool still allocated after driver 'VFLEAK' unloaded:\n  block #",
     [](VerifierTest &t) {
         LoadThroughPlugAndPlay(t, u"VFLEAK", u"vfleak.sys", LeakyEntry);
         t.Shutdown();
         leakedBlock = nullptr;
     }},
};

class ViolationTest : public VerifierTest, public ::testing::WithParamInterface<Violation> {};

TEST_P(ViolationTest, IsReportedOnceNamingTheRule)
{
    std::vector<std::string> messages;
    {
        plat::ScopedVerifierCapture capture;
        GetParam().provoke(*this);
        messages = capture.Messages();
    }
    std::string all;
    for (const auto &m : messages)
        all += m + "\n";
    ASSERT_EQ(1u, messages.size()) << all;
    EXPECT_EQ(0u, messages[0].rfind(std::string("VERIFIER: ") + GetParam().rule + ": ", 0)) << messages[0];
    EXPECT_NE(std::string::npos, messages[0].find(GetParam().detail)) << messages[0];
    // The fixture's handler is back now, so anything the provocation left
    // behind (a held lock, a live IRP or device) fails the test at shutdown.
}

INSTANTIATE_TEST_SUITE_P(Rules, ViolationTest, ::testing::ValuesIn(kViolations),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(VerifierTest, LeakReportNamesTheBlocksTagAndSize)
{
    std::vector<std::string> messages;
    {
        plat::ScopedVerifierCapture capture;
        LoadThroughPlugAndPlay(*this, u"VFLEAK", u"vfleak.sys", LeakyEntry);
        machine.reset();
        leakedBlock = nullptr;
        messages = capture.Messages();
    }
    ASSERT_EQ(1u, messages.size());
    EXPECT_NE(std::string::npos, messages[0].find("tag 'Leak', 24 bytes, non-paged")) << messages[0];
}

TEST_F(VerifierTest, DriverThatFreesItsPoolAtUnloadIsNotReported)
{
    plat::ScopedVerifierCapture capture;
    LoadThroughPlugAndPlay(*this, u"VFTIDY", u"vftidy.sys", TidyEntry);
    machine.reset();
    EXPECT_TRUE(capture.Messages().empty()) << capture.Messages()[0];
    EXPECT_EQ(nullptr, leakedBlock);
}

// What the rules allow must not be reported.
TEST_F(VerifierTest, LegalUsesAreNotReported)
{
    plat::ScopedVerifierCapture capture;
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);  // two different locks, nested
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
    ExFreePoolWithTag(p, kTestTag);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);

    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_PENDING;  // marked: legal even though already completed
    };
    EXPECT_EQ(STATUS_SUCCESS, Send().status);

    EXPECT_TRUE(capture.Messages().empty()) << capture.Messages()[0];
}

TEST_F(VerifierTest, CaptureGivesTheFixturesHandlerBack)
{
    std::vector<std::string> outer;
    plat::SetVerifierHandler([&outer](const std::string &m) { outer.push_back(m); });
    {
        plat::ScopedVerifierCapture capture;
        plat::VerifierFail("test", "inside");
        EXPECT_EQ(1u, capture.Messages().size());
    }
    plat::VerifierFail("test", "after");
    EXPECT_EQ((std::vector<std::string>{"VERIFIER: test: after"}), outer);
    plat::SetVerifierHandler([](const std::string &message) { ADD_FAILURE() << message; });
}

// ---------------------------------------------------------------------------
// Fault injection

struct NthCase {
    int nth;
    int count;
};

class PoolFaultTest : public VerifierTest, public ::testing::WithParamInterface<NthCase> {};

TEST_P(PoolFaultTest, OnlyTheChosenAllocationsFail)
{
    plat::InjectFault(plat::FaultSite::PoolAllocation, GetParam().nth, GetParam().count);
    std::string pattern, expected;
    std::vector<PVOID> blocks;
    for (int call = 1; call <= 6; ++call) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
        pattern += p ? '+' : 'x';
        expected += call >= GetParam().nth && call < GetParam().nth + GetParam().count ? 'x' : '+';
        if (p)
            blocks.push_back(p);
    }
    EXPECT_EQ(expected, pattern);
    for (PVOID p : blocks)
        ExFreePoolWithTag(p, kTestTag);
}

INSTANTIATE_TEST_SUITE_P(Calls, PoolFaultTest,
                         ::testing::Values(NthCase{1, 1}, NthCase{3, 1}, NthCase{6, 1}, NthCase{2, 3}),
                         [](const auto &info) {
                             return "Call" + std::to_string(info.param.nth) + "Count" +
                                    std::to_string(info.param.count);
                         });

TEST_F(VerifierTest, FailedAllocationThatMustRaiseRaisesInsufficientResources)
{
    plat::InjectFault(plat::FaultSite::PoolAllocation, 1);
    NTSTATUS raised = STATUS_SUCCESS;
    try {
        ExAllocatePoolWithTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE), 16, kTestTag);
    } catch (const plat::RaisedStatus &status) {
        raised = status.Status;
    }
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, raised);
}

TEST_F(VerifierTest, FailPoolTagFailsEveryAllocationWithThatTagUntilCleared)
{
    const ULONG other = plat::TagFromText("Othr");
    plat::FailPoolTag(kTestTag);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
    PVOID unaffected = ExAllocatePoolWithTag(NonPagedPool, 16, other);
    EXPECT_NE(nullptr, unaffected);
    ExFreePoolWithTag(unaffected, other);

    plat::ClearFaults();
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    EXPECT_NE(nullptr, p);
    ExFreePoolWithTag(p, kTestTag);
}

TEST_F(VerifierTest, FailingTheIrpTagFailsIrpAllocation)
{
    plat::FailPoolTag(plat::TagFromText("Irp "));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(nullptr, IoAllocateIrp(2, FALSE));
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(0x222000, Device(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
    plat::ClearFaults();
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(nullptr, irp);
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, CreateDeviceFaultFailsOnlyThatCallAndLeavesTheNameFree)
{
    PDRIVER_OBJECT driver = Driver();
    plat::InjectFault(plat::FaultSite::CreateDevice, 2);
    Name first(u"\\Device\\FaultFirst"), second(u"\\Device\\FaultSecond");
    PDEVICE_OBJECT a = nullptr, b = reinterpret_cast<PDEVICE_OBJECT>(0x5555555555555555ull), c = nullptr;

    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, &first.string, FILE_DEVICE_UNKNOWN, 0, FALSE, &a));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              IoCreateDevice(driver, 0, &second.string, FILE_DEVICE_UNKNOWN, 0, FALSE, &b));
    EXPECT_EQ(nullptr, b);
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\Device\\FaultSecond"));
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, &second.string, FILE_DEVICE_UNKNOWN, 0, FALSE, &c));
    EXPECT_EQ(c, plat::ResolveDevice(u"\\Device\\FaultSecond"));
}

TEST_F(VerifierTest, CreateDeviceFaultAlsoFailsSecureCreation)
{
    PDRIVER_OBJECT driver = Driver();
    plat::InjectFault(plat::FaultSite::CreateDevice, 1);
    Name name(u"\\Device\\FaultSecure"), sddl(u"D:P(A;;GA;;;SY)");
    GUID classGuid{0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoCreateDeviceSecure(driver, 0, &name.string, FILE_DEVICE_UNKNOWN, 0,
                                                                  FALSE, &sddl.string, &classGuid, &device));
    EXPECT_EQ(nullptr, device);
}

TEST_F(VerifierTest, CreateSymbolicLinkFaultFailsOnlyThatCall)
{
    Device();
    plat::InjectFault(plat::FaultSite::CreateSymbolicLink, 1);
    Name link(u"\\DosDevices\\VFTEST"), target(u"\\Device\\VerifierTest0");

    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoCreateSymbolicLink(&link.string, &target.string));
    EXPECT_FALSE(plat::LinkExists(u"\\DosDevices\\VFTEST"));
    EXPECT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.string, &target.string));
    EXPECT_EQ(Device(), plat::ResolveDevice(u"\\??\\VFTEST"));
    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&link.string));
}

}  // namespace
