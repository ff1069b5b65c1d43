// The I/O manager: IRPs through a small stack of test drivers (completion
// routines, STATUS_MORE_PROCESSING_REQUIRED, pending propagation, cancel),
// request builders, opening devices under a security descriptor, symbolic
// links and name collisions.
#include "support/TestMachine.h"

#include <wdmsec.h>

#include <cstring>
#include <map>

#include "ke/Dpc.h"
#include "ob/Namespace.h"

namespace {

using test::Utf8;

constexpr UCHAR Poison = 0x55;
const ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

using Name = plat::CountedString;

// What one completion routine saw.
struct Seen {
    std::string who;
    PDEVICE_OBJECT device;
    bool pendingReturned;
    NTSTATUS status;
    KIRQL irql;
    bool operator==(const Seen &) const = default;
};

class IoManagerTest : public test::MachineTest {
protected:
    using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    // A completion routine's settings, one per filter device.
    struct Completion {
        IoManagerTest *test;
        std::string who;
        bool propagatePending = true;
        NTSTATUS result = STATUS_SUCCESS;  // STATUS_MORE_PROCESSING_REQUIRED keeps the IRP
    };

    void SetUp() override
    {
        MachineTest::SetUp();
        current = this;
        lowerDriver = plat::CreateDriverObject(u"\\Driver\\IoTestLower", u"IoTestLower");
        filterDriver = plat::CreateDriverObject(u"\\Driver\\IoTestFilter", u"IoTestFilter");
        for (PDRIVER_OBJECT driver : {lowerDriver, filterDriver})
            for (auto &entry : driver->MajorFunction)
                entry = Dispatch;
    }

    void TearDown() override
    {
        // Top down: each filter comes off the device below it, then every
        // device goes.
        for (size_t i = stack.size(); i-- > 1;)
            if (stack[i - 1]->AttachedDevice)
                IoDetachDevice(stack[i - 1]);
        for (PDRIVER_OBJECT driver : {filterDriver, lowerDriver}) {
            while (driver->DeviceObject)
                IoDeleteDevice(driver->DeviceObject);
            plat::DeleteDriverObject(driver);
        }
        current = nullptr;
        MachineTest::TearDown();
    }

    PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, std::u16string_view name, const std::string &who)
    {
        Name n(name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, name.empty() ? nullptr : &n.string,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        if (device) {
            device->Flags |= DO_BUFFERED_IO;
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            names[device] = who;
        }
        return device;
    }

    // stack[0] is the lower (function) device "\Device\IoTestLower", the
    // others are unnamed filters attached above it in order.
    void BuildStack(int filters)
    {
        stack.push_back(CreateDevice(lowerDriver, u"\\Device\\IoTestLower", "lower"));
        behaviour[stack[0]] = CompleteNow(STATUS_SUCCESS, 7);
        for (int i = 0; i < filters; ++i) {
            std::string who = i == filters - 1 ? "top" : "middle";
            PDEVICE_OBJECT filter = CreateDevice(filterDriver, u"", who);
            PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(filter, stack[0]);
            EXPECT_EQ(stack.back(), below);
            stack.push_back(filter);
            completions[filter] = Completion{this, who};
            behaviour[filter] = PassDownWithCompletion();
        }
    }
    PDEVICE_OBJECT Lower() const { return stack.front(); }
    PDEVICE_OBJECT Top() const { return stack.back(); }
    PDEVICE_OBJECT Below(PDEVICE_OBJECT device) const { return plat::HeaderOf(device)->lower; }

    // Behaviours.
    static Behaviour CompleteNow(NTSTATUS status, ULONG_PTR information)
    {
        return [status, information](PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = information;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        };
    }
    // Marks the IRP pending and keeps it in `held` for the test to finish.
    Behaviour Hold()
    {
        return [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        };
    }
    Behaviour PassDownWithCompletion()
    {
        return [this](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Completed, &completions[device], TRUE, TRUE, TRUE);
            return IoCallDriver(Below(device), irp);
        };
    }

    // Finishes the held IRP from a DPC, as an interrupt would.
    void CompleteHeldFromDpc(NTSTATUS status, ULONG_PTR information)
    {
        struct Finish {
            PIRP irp;
            NTSTATUS status;
            ULONG_PTR information;
        } finish{held, status, information};
        held = nullptr;
        KDPC dpc;
        KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
            auto *f = static_cast<Finish *>(context);
            f->irp->IoStatus.Status = f->status;
            f->irp->IoStatus.Information = f->information;
            IoCompleteRequest(f->irp, IO_NO_INCREMENT);
        }, &finish);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);  // at PASSIVE_LEVEL: runs at once
    }

    plat::Request DeviceControl() const
    {
        plat::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = kBufferedIoctl;
        return request;
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) { return current->behaviour.at(device)(device, irp); }

    static NTSTATUS Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context)
    {
        auto *c = static_cast<Completion *>(context);
        c->test->seen.push_back(
            Seen{c->who, device, irp->PendingReturned != FALSE, irp->IoStatus.Status, KeGetCurrentIrql()});
        if (c->propagatePending && irp->PendingReturned)
            IoMarkIrpPending(irp);
        if (c->result == STATUS_MORE_PROCESSING_REQUIRED)
            c->test->held = irp;
        return c->result;
    }

    static inline IoManagerTest *current = nullptr;
    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    std::vector<PDEVICE_OBJECT> stack;
    std::map<PDEVICE_OBJECT, Behaviour> behaviour;
    std::map<PDEVICE_OBJECT, Completion> completions;
    std::map<PDEVICE_OBJECT, std::string> names;
    std::vector<Seen> seen;
    PIRP held = nullptr;
};

// ---------------------------------------------------------------------------
// Completion

struct CompletionCase {
    const char *name;
    bool lowerPends;  // else it completes in its dispatch routine
};
void PrintTo(const CompletionCase &c, std::ostream *os) { *os << c.name; }

class CompletionOrderTest : public IoManagerTest, public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionOrderTest, RoutinesRunBottomUpEachWithItsOwnDevice)
{
    BuildStack(2);
    PDEVICE_OBJECT middle = stack[1], top = stack[2];
    bool pends = GetParam().lowerPends;
    if (pends)
        behaviour[Lower()] = Hold();

    plat::PendingRequest *request = plat::StartRequest(nullptr, DeviceControl(), Lower());
    EXPECT_EQ(pends, !request->Done());
    if (pends) {
        EXPECT_TRUE(seen.empty());
        CompleteHeldFromDpc(STATUS_SUCCESS, 7);
    }
    plat::RequestResult result = request->Wait();
    delete request;

    KIRQL irql = pends ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    EXPECT_EQ((std::vector<Seen>{{"middle", middle, pends, STATUS_SUCCESS, irql},
                                 {"top", top, pends, STATUS_SUCCESS, irql}}),
              seen);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(7u, result.information);
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

INSTANTIATE_TEST_SUITE_P(Timing, CompletionOrderTest,
                         ::testing::Values(CompletionCase{"Synchronous", false}, CompletionCase{"Pending", true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(IoManagerTest, CompletionRoutineRunsOnlyForTheOutcomesItAskedFor)
{
    BuildStack(1);
    struct Case {
        BOOLEAN onSuccess, onError;
        NTSTATUS status;
        bool runs;
    };
    const Case cases[] = {
        {TRUE, FALSE, STATUS_SUCCESS, true},
        {TRUE, FALSE, STATUS_INVALID_PARAMETER, false},
        {FALSE, TRUE, STATUS_INVALID_PARAMETER, true},
        {FALSE, TRUE, STATUS_SUCCESS, false},
    };
    for (const Case &c : cases) {
        seen.clear();
        behaviour[Lower()] = CompleteNow(c.status, 0);
        behaviour[Top()] = [this, c](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Completed, &completions[device], c.onSuccess, c.onError, FALSE);
            return IoCallDriver(Below(device), irp);
        };
        EXPECT_EQ(c.status, plat::SendRequest(nullptr, DeviceControl(), Lower()).status);
        EXPECT_EQ(c.runs ? 1u : 0u, seen.size()) << std::hex << c.status << " " << int(c.onSuccess);
    }
}

TEST_F(IoManagerTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain)
{
    BuildStack(2);
    PDEVICE_OBJECT middle = stack[1], top = stack[2];
    completions[middle].result = STATUS_MORE_PROCESSING_REQUIRED;
    // The middle filter owns the IRP after its routine takes it back, so it
    // marks it pending before passing it down.
    behaviour[middle] = [this, pass = PassDownWithCompletion()](PDEVICE_OBJECT device, PIRP irp) {
        IoMarkIrpPending(irp);
        pass(device, irp);
        return STATUS_PENDING;
    };

    plat::PendingRequest *request = plat::StartRequest(nullptr, DeviceControl(), Lower());
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("middle", seen[0].who);
    EXPECT_EQ(middle, seen[0].device);
    EXPECT_FALSE(request->Done());
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(STATUS_SUCCESS, held->IoStatus.Status);

    // The owner changes the result and completes the IRP a second time; the
    // walk goes on from where it stopped.
    PIRP irp = held;
    held = nullptr;
    irp->IoStatus.Information = 99;
    IoCompleteRequest(irp, IO_NO_INCREMENT);

    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ((Seen{"top", top, true, STATUS_SUCCESS, PASSIVE_LEVEL}), seen[1]);
    ASSERT_TRUE(request->Done());
    EXPECT_EQ(99u, request->Result().information);
    delete request;
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

TEST_F(IoManagerTest, MoreProcessingRequiredLetsADispatchRoutineWaitForTheLowerDriver)
{
    BuildStack(1);
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    behaviour[Lower()] = Hold();
    // The classic synchronous forward: the routine signals and keeps the IRP,
    // the dispatch routine waits and then finishes the request itself.
    behaviour[Top()] = [&lowerDone](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, &lowerDone, TRUE, TRUE, TRUE);
        if (IoCallDriver(plat::HeaderOf(device)->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        irp->IoStatus.Information += 1;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    // The caller's thread blocks inside the top dispatch routine; the lower
    // driver's completion comes from another thread.
    plat::SimThread *completer = plat::Scheduler::Get().CreateThread("completer", [this] {
        while (!held) {
            LARGE_INTEGER ms;
            ms.QuadPart = -plat::kTicksPerMillisecond;
            KeDelayExecutionThread(KernelMode, FALSE, &ms);
        }
        CompleteHeldFromDpc(STATUS_SUCCESS, 41);
    });

    plat::RequestResult result = plat::SendRequest(nullptr, DeviceControl(), Lower());
    plat::Scheduler::Get().Join(completer);

    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(42u, result.information);
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

// ---------------------------------------------------------------------------
// Pending propagation: a filter that passes a request down and returns the
// lower driver's STATUS_PENDING must mark its own location pending, from its
// completion routine or (without one) through the I/O manager.

enum class FilterKind { PropagatesInItsRoutine, ForgetsToPropagate, SetsNoRoutine };

struct PendingCase {
    const char *name;
    FilterKind filter;
    bool reported;
};
void PrintTo(const PendingCase &c, std::ostream *os) { *os << c.name; }

class PendingReturnedTest : public IoManagerTest, public ::testing::WithParamInterface<PendingCase> {};

TEST_P(PendingReturnedTest, LowerDriversPendingReachesTheCaller)
{
    BuildStack(1);
    behaviour[Lower()] = Hold();
    if (GetParam().filter == FilterKind::ForgetsToPropagate)
        completions[Top()].propagatePending = false;
    if (GetParam().filter == FilterKind::SetsNoRoutine)
        behaviour[Top()] = [this](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(Below(device), irp);
        };

    std::vector<std::string> reports;
    {
        plat::ScopedVerifierCapture capture;
        plat::PendingRequest *request = plat::StartRequest(nullptr, DeviceControl(), Lower());
        EXPECT_FALSE(request->Done());
        EXPECT_TRUE(capture.Messages().empty()) << "reported before completion: " << capture.Messages()[0];
        CompleteHeldFromDpc(STATUS_SUCCESS, 3);
        EXPECT_EQ(STATUS_SUCCESS, request->Wait().status);
        delete request;
        reports = capture.Messages();
    }

    if (GetParam().filter != FilterKind::SetsNoRoutine) {
        ASSERT_EQ(1u, seen.size());
        EXPECT_TRUE(seen[0].pendingReturned);
    }
    if (GetParam().reported) {
        ASSERT_EQ(1u, reports.size());
        EXPECT_EQ("VERIFIER: IRP: dispatch routine of '\\Driver\\IoTestFilter' returned STATUS_PENDING without "
                  "marking the IRP pending",
                  reports[0]);
    } else {
        EXPECT_TRUE(reports.empty()) << reports[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, PendingReturnedTest,
                         ::testing::Values(PendingCase{"PropagatesInItsRoutine", FilterKind::PropagatesInItsRoutine, false},
                                           PendingCase{"ForgetsToPropagate", FilterKind::ForgetsToPropagate, true},
                                           PendingCase{"SetsNoRoutine", FilterKind::SetsNoRoutine, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Cancel

struct CancelSeen {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    KIRQL cancelIrql = HIGH_LEVEL;
    size_t locksHeld = 0;
    size_t locksHeldAfterRelease = 0;
    bool cancelFlag = false;
    bool routineCleared = false;
};
CancelSeen cancelSeen;

VOID CancelQueued(PDEVICE_OBJECT device, PIRP irp)
{
    cancelSeen.calls++;
    cancelSeen.device = device;
    cancelSeen.irql = KeGetCurrentIrql();
    cancelSeen.cancelIrql = irp->CancelIrql;
    cancelSeen.locksHeld = plat::CurrentThread()->heldSpinLocks.size();
    cancelSeen.cancelFlag = irp->Cancel != FALSE;
    cancelSeen.routineCleared = irp->CancelRoutine == nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    cancelSeen.locksHeldAfterRelease = plat::CurrentThread()->heldSpinLocks.size();
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class CancelTest : public IoManagerTest, public ::testing::WithParamInterface<KIRQL> {};

TEST_P(CancelTest, CancelRoutineRunsWithTheCancelSpinLockHeldAndCancelIrqlSet)
{
    cancelSeen = {};
    BuildStack(1);
    // The lower driver queues the request with a cancel routine.
    behaviour[Lower()] = [this](PDEVICE_OBJECT, PIRP irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp, CancelQueued);
        IoMarkIrpPending(irp);
        held = irp;
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    };
    plat::PendingRequest *request = plat::StartRequest(nullptr, DeviceControl(), Lower());
    ASSERT_NE(nullptr, held);

    KIRQL callerIrql = GetParam();
    KIRQL old;
    KeRaiseIrql(callerIrql, &old);
    EXPECT_TRUE(IoCancelIrp(held));
    EXPECT_EQ(callerIrql, KeGetCurrentIrql());
    KeLowerIrql(old);

    EXPECT_EQ(1, cancelSeen.calls);
    EXPECT_EQ(Lower(), cancelSeen.device);
    EXPECT_EQ(DISPATCH_LEVEL, cancelSeen.irql);
    EXPECT_EQ(callerIrql, cancelSeen.cancelIrql);
    EXPECT_EQ(1u, cancelSeen.locksHeld);
    EXPECT_EQ(0u, cancelSeen.locksHeldAfterRelease);
    EXPECT_TRUE(cancelSeen.cancelFlag);
    EXPECT_TRUE(cancelSeen.routineCleared);
    ASSERT_TRUE(request->Done());
    EXPECT_EQ(STATUS_CANCELLED, request->Result().status);
    // The filter's routine was asked to run on cancel too.
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(STATUS_CANCELLED, seen[0].status);
    delete request;
}

INSTANTIATE_TEST_SUITE_P(CallerIrql, CancelTest, ::testing::Values(PASSIVE_LEVEL, DISPATCH_LEVEL),
                         [](const auto &info) { return info.param == PASSIVE_LEVEL ? "Passive" : "Dispatch"; });

TEST_F(IoManagerTest, CancellingAnIrpWithoutACancelRoutineOnlySetsItsCancelFlag)
{
    BuildStack(0);
    behaviour[Lower()] = Hold();
    plat::PendingRequest *request = plat::StartRequest(nullptr, DeviceControl(), Lower());
    ASSERT_NE(nullptr, held);

    EXPECT_FALSE(IoCancelIrp(held));
    EXPECT_TRUE(held->Cancel);
    EXPECT_FALSE(request->Done());

    CompleteHeldFromDpc(STATUS_CANCELLED, 0);
    EXPECT_EQ(STATUS_CANCELLED, request->Wait().status);
    delete request;
}

// ---------------------------------------------------------------------------
// IoBuildDeviceIoControlRequest

struct BuiltCase {
    const char *name;
    bool lowerPends;
    NTSTATUS status;
};
void PrintTo(const BuiltCase &c, std::ostream *os) { *os << c.name; }

class BuiltIoctlTest : public IoManagerTest, public ::testing::WithParamInterface<BuiltCase> {};

TEST_P(BuiltIoctlTest, BufferedOutputIsCopiedBackAndTheEventSignalled)
{
    BuildStack(1);
    const BuiltCase &c = GetParam();
    std::string inputSeen;
    ULONG outputLengthSeen = 0;
    // Reads "ping" from the system buffer, answers "pong!" in the same buffer.
    Behaviour answer = [&, c](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        auto *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
        inputSeen.assign(buffer, sp->Parameters.DeviceIoControl.InputBufferLength);
        outputLengthSeen = sp->Parameters.DeviceIoControl.OutputBufferLength;
        std::memcpy(buffer, "pong!", 5);
        irp->IoStatus.Status = c.status;
        irp->IoStatus.Information = NT_ERROR(c.status) ? 0 : 5;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return c.status;
    };
    if (c.lowerPends)
        behaviour[Lower()] = Hold();
    else
        behaviour[Lower()] = answer;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    std::memset(&iosb, Poison, sizeof iosb);
    char input[4] = {'p', 'i', 'n', 'g'};
    UCHAR output[16];
    std::memset(output, Poison, sizeof output);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, Top(), input, sizeof input, output, sizeof output, FALSE,
                                             &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(Top()->StackSize, irp->StackCount);

    NTSTATUS status = IoCallDriver(Top(), irp);
    if (c.lowerPends) {
        EXPECT_EQ(STATUS_PENDING, status);
        EXPECT_EQ(0, KeReadStateEvent(&event));
        PIRP queued = held;
        held = nullptr;
        answer(Lower(), queued);
    }
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));

    EXPECT_EQ("ping", inputSeen);
    EXPECT_EQ(16u, outputLengthSeen);
    EXPECT_EQ(c.status, iosb.Status);
    if (!NT_ERROR(c.status)) {
        EXPECT_EQ(5u, iosb.Information);
        EXPECT_EQ(0, std::memcmp(output, "pong!", 5));
        for (size_t i = 5; i < sizeof output; ++i)
            EXPECT_EQ(Poison, output[i]) << i;
    } else {
        EXPECT_EQ(0u, iosb.Information);
        for (size_t i = 0; i < sizeof output; ++i)
            EXPECT_EQ(Poison, output[i]) << "a failed request wrote the caller's buffer at " << i;
    }
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, BuiltIoctlTest,
                         ::testing::Values(BuiltCase{"Synchronous", false, STATUS_SUCCESS},
                                           BuiltCase{"Pending", true, STATUS_SUCCESS},
                                           // A warning still returns data: the part that fitted.
                                           BuiltCase{"Warning", false, STATUS_BUFFER_OVERFLOW},
                                           BuiltCase{"Failed", false, STATUS_INVALID_PARAMETER}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Opening devices

struct OpenCase {
    const char *name;
    plat::CallerIdentity identity;
    NTSTATUS expected;
};
void PrintTo(const OpenCase &c, std::ostream *os) { *os << c.name; }

class SecureOpenTest : public IoManagerTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(SecureOpenTest, SecurityDescriptorDecidesWhoMayOpen)
{
    Name name(u"\\Device\\IoTestSecure"), sddl(u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    GUID classGuid{0x5e2c1a40, 0x7b1d, 0x4c3e, {0x9a, 0x11, 0x20, 0x31, 0x42, 0x53, 0x64, 0x75}};
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDeviceSecure(lowerDriver, 0, &name.string, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                                   &sddl.string, &classGuid, &device));
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    int creates = 0;
    behaviour[device] = [&creates](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
            ++creates;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Name link(u"\\DosDevices\\IOTESTSECURE");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.string, &name.string));

    plat::CurrentThread()->identity = GetParam().identity;
    // By its name and through a link alike: a link is no way around the check.
    for (std::u16string_view path : {u"\\Device\\IoTestSecure", u"\\??\\IOTESTSECURE"}) {
        PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(0x5555555555555555ull);
        EXPECT_EQ(GetParam().expected, plat::OpenDevice(path, &file)) << Utf8(std::u16string(path));
        if (NT_SUCCESS(GetParam().expected)) {
            ASSERT_NE(nullptr, file);
            EXPECT_EQ(device, file->DeviceObject);
            EXPECT_EQ(STATUS_SUCCESS, plat::CloseDevice(file));
        } else {
            EXPECT_EQ(nullptr, file);
        }
    }
    plat::CurrentThread()->identity = plat::CallerIdentity::System;

    EXPECT_EQ(NT_SUCCESS(GetParam().expected) ? 2 : 0, creates) << "IRP_MJ_CREATE reached the driver";
    IoDeleteSymbolicLink(&link.string);
}

INSTANTIATE_TEST_SUITE_P(Callers, SecureOpenTest,
                         ::testing::Values(OpenCase{"System", plat::CallerIdentity::System, STATUS_SUCCESS},
                                           OpenCase{"Administrator", plat::CallerIdentity::Administrator,
                                                    STATUS_SUCCESS},
                                           OpenCase{"User", plat::CallerIdentity::User, STATUS_ACCESS_DENIED}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(IoManagerTest, DeviceWithoutASecurityDescriptorIsOpenToAUser)
{
    BuildStack(0);
    behaviour[Lower()] = CompleteNow(STATUS_SUCCESS, 0);
    plat::CurrentThread()->identity = plat::CallerIdentity::User;
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, plat::OpenDevice(u"\\Device\\IoTestLower", &file));
    plat::CurrentThread()->identity = plat::CallerIdentity::System;
    ASSERT_NE(nullptr, file);
    plat::CloseDevice(file);
}

TEST_F(IoManagerTest, OpenFailsForAnUnknownNameAndForADeviceStillInitialising)
{
    BuildStack(0);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, plat::OpenDevice(u"\\Device\\NoSuchDevice", &file));
    Lower()->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, plat::OpenDevice(u"\\Device\\IoTestLower", &file));
    EXPECT_EQ(nullptr, file);
    Lower()->Flags &= ~DO_DEVICE_INITIALIZING;
}

TEST_F(IoManagerTest, CreateFailedByTheDriverLeavesNoFileObject)
{
    BuildStack(0);
    behaviour[Lower()] = CompleteNow(STATUS_DEVICE_BUSY, 0);
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(0x5555555555555555ull);
    EXPECT_EQ(STATUS_DEVICE_BUSY, plat::OpenDevice(u"\\Device\\IoTestLower", &file));
    EXPECT_EQ(nullptr, file);
}

// ---------------------------------------------------------------------------
// Names

TEST_F(IoManagerTest, SymbolicLinksResolveUnderEveryDosPrefixAndOpenTheTopOfTheStack)
{
    BuildStack(1);
    std::vector<std::string> creates;
    for (PDEVICE_OBJECT device : stack)
        behaviour[device] = [this, &creates](PDEVICE_OBJECT device, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
                creates.push_back(names[device]);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
    Name link(u"\\DosDevices\\IOTEST1"), target(u"\\Device\\IoTestLower");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.string, &target.string));

    for (std::u16string_view path : {u"\\DosDevices\\IOTEST1", u"\\??\\IOTEST1", u"\\GLOBAL??\\IOTEST1",
                                     u"\\??\\iotest1"})
        EXPECT_EQ(Lower(), plat::ResolveDevice(path)) << Utf8(std::u16string(path));

    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, plat::OpenDevice(u"\\??\\IOTEST1", &file));
    EXPECT_EQ((std::vector<std::string>{"top"}), creates) << "IRP_MJ_CREATE goes to the top of the named stack";
    plat::CloseDevice(file);

    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&link.string));
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\??\\IOTEST1"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, plat::OpenDevice(u"\\??\\IOTEST1", &file));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(&link.string));
}

TEST_F(IoManagerTest, LinkToALinkResolvesAndALinkToNothingDoesNot)
{
    BuildStack(0);
    Name first(u"\\DosDevices\\IOTESTA"), second(u"\\DosDevices\\IOTESTB"), device(u"\\Device\\IoTestLower"),
        dangling(u"\\DosDevices\\IOTESTC"), nothing(u"\\Device\\NotThere");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&first.string, &device.string));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&second.string, &first.string));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&dangling.string, &nothing.string));

    EXPECT_EQ(Lower(), plat::ResolveDevice(u"\\??\\IOTESTB"));
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\??\\IOTESTC"));
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, plat::OpenDevice(u"\\??\\IOTESTC", &file));

    for (Name *link : {&first, &second, &dangling})
        IoDeleteSymbolicLink(&link->string);
}

TEST_F(IoManagerTest, NameCollisionsAreRefusedWithoutTouchingTheExistingObject)
{
    BuildStack(0);
    Name sameName(u"\\Device\\IOTESTLOWER");  // names compare without case
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(0x5555555555555555ull);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              IoCreateDevice(lowerDriver, 0, &sameName.string, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    EXPECT_EQ(nullptr, device);
    EXPECT_EQ(Lower(), plat::ResolveDevice(u"\\Device\\IoTestLower"));
    EXPECT_EQ(Lower(), lowerDriver->DeviceObject);
    EXPECT_EQ(nullptr, Lower()->NextDevice);

    Name link(u"\\DosDevices\\IOTEST1"), sameLink(u"\\??\\IoTest1"), target(u"\\Device\\IoTestLower"),
        other(u"\\Device\\Other");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.string, &target.string));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&sameLink.string, &other.string));
    std::u16string linkTarget;
    ASSERT_TRUE(plat::LinkExists(u"\\??\\IOTEST1", &linkTarget));
    EXPECT_EQ("\\Device\\IoTestLower", Utf8(linkTarget));
    // A link may not take a device's name either.
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&target.string, &other.string));
    IoDeleteSymbolicLink(&link.string);
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Device object lifetime

TEST_F(IoManagerTest, ADeletedDeviceWithAnOpenFileLosesItsNameAtOnceAndGoesAtTheClose)
{
    BuildStack(0);
    std::vector<UCHAR> majors;
    behaviour[Lower()] = [&majors](PDEVICE_OBJECT device, PIRP irp) {
        majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return CompleteNow(STATUS_SUCCESS, 0)(device, irp);
    };
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, plat::OpenDevice(u"\\Device\\IoTestLower", &file));
    PDEVICE_OBJECT lower = Lower();
    stack.clear();
    IoDeleteDevice(lower);

    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, plat::OpenDevice(u"\\Device\\IoTestLower", &second));
    EXPECT_EQ(lower, lowerDriver->DeviceObject) << "the open file no longer keeps its device";
    // Requests on the open file still reach the driver, which must expect them.
    plat::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(STATUS_SUCCESS, plat::SendRequest(file, request).status);
    plat::CloseDevice(file);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), majors);
    EXPECT_EQ(nullptr, lowerDriver->DeviceObject) << "the last close did not free the deleted device";
}

TEST_F(IoManagerTest, APointerReferenceKeepsADeletedDeviceUntilItIsDropped)
{
    BuildStack(0);
    PDEVICE_OBJECT lower = Lower();
    stack.clear();
    ObReferenceObject(lower);
    IoDeleteDevice(lower);
    EXPECT_EQ(lower, lowerDriver->DeviceObject);
    ObDereferenceObject(lower);
    EXPECT_EQ(nullptr, lowerDriver->DeviceObject);
}

TEST_F(IoManagerTest, DeletingADeviceTwiceOrDroppingAReferenceNeverTakenIsReported)
{
    BuildStack(0);
    PDEVICE_OBJECT lower = Lower();
    stack.clear();
    plat::ScopedVerifierCapture capture;
    ObDereferenceObject(lower);
    ObReferenceObject(lower);
    IoDeleteDevice(lower);
    IoDeleteDevice(lower);
    ObDereferenceObject(lower);
    ASSERT_EQ(2u, capture.Messages().size());
    EXPECT_TRUE(capture.Contains("ObDereferenceObject of '\\Device\\IoTestLower' without a reference to drop"));
    EXPECT_TRUE(capture.Contains("IoDeleteDevice of '\\Device\\IoTestLower' a second time"));
    EXPECT_EQ(nullptr, lowerDriver->DeviceObject);
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Details a driver can observe

TEST_F(IoManagerTest, ASynchronousReadWritesItsStatusBlockAndSetsItsEventOnlyWhenItCompletes)
{
    BuildStack(0);
    behaviour[Lower()] = Hold();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    std::memset(&iosb, Poison, sizeof iosb);
    char buffer[8] = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Lower(), buffer, sizeof buffer, nullptr, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(Lower(), irp));
    EXPECT_EQ(0, KeReadStateEvent(&event));
    EXPECT_EQ(static_cast<NTSTATUS>(0x55555555), iosb.Status) << "the status block was written before completion";

    PIRP queued = held;
    held = nullptr;
    queued->IoStatus.Status = STATUS_SUCCESS;
    queued->IoStatus.Information = 3;
    IoCompleteRequest(queued, IO_NO_INCREMENT);
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(3u, iosb.Information);
}

TEST_F(IoManagerTest, AnAllocatedIrpRecordsHowItWasAllocatedAndIoReuseIrpKeepsIt)
{
    PIRP plain = IoAllocateIrp(2, FALSE);
    PIRP charged = IoAllocateIrp(2, TRUE);
    ASSERT_NE(nullptr, plain);
    ASSERT_NE(nullptr, charged);
    EXPECT_EQ(IRP_ALLOCATED_FIXED_SIZE, plain->AllocationFlags);
    EXPECT_EQ(IRP_ALLOCATED_FIXED_SIZE | IRP_QUOTA_CHARGED, charged->AllocationFlags);
    IoReuseIrp(charged, STATUS_SUCCESS);
    EXPECT_EQ(IRP_ALLOCATED_FIXED_SIZE | IRP_QUOTA_CHARGED, charged->AllocationFlags);
    IoFreeIrp(plain);
    IoFreeIrp(charged);
}

TEST_F(IoManagerTest, DispatcherHeadersAreInitialisedInFullWhateverTheMemoryHeldBefore)
{
    KEVENT event;
    KSEMAPHORE semaphore;
    KTIMER timer;
    std::memset(&event, Poison, sizeof event);
    std::memset(&semaphore, Poison, sizeof semaphore);
    std::memset(&timer, Poison, sizeof timer);
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    KeInitializeSemaphore(&semaphore, 2, 5);
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    struct Expected {
        DISPATCHER_HEADER *header;
        size_t size;
        LONG signalState;
    };
    for (const Expected &e : {Expected{&event.Header, sizeof event, 1}, Expected{&semaphore.Header, sizeof semaphore, 2},
                              Expected{&timer.Header, sizeof timer, 0}}) {
        EXPECT_EQ(e.size / sizeof(LONG), e.header->Size);
        EXPECT_EQ(0, e.header->Signalling);
        EXPECT_EQ(0, e.header->Reserved1);
        EXPECT_EQ(e.signalState, e.header->SignalState);
        EXPECT_TRUE(IsListEmpty(&e.header->WaitListHead));
    }
}

}  // namespace

namespace {

// A completion routine whose owner completes the IRP again before it
// returns (a power callback that fires at once does): the IRP goes on up from
// there, exactly once, when the routine then takes it back with
// STATUS_MORE_PROCESSING_REQUIRED; letting the first completion go on as
// well is a second completion.
struct NestedCase {
    const char *name;
    NTSTATUS routineResult;
    size_t reports;
};
void PrintTo(const NestedCase &c, std::ostream *os) { *os << c.name; }

class NestedCompletionTest : public IoManagerTest, public ::testing::WithParamInterface<NestedCase> {};

NTSTATUS CompleteAgainFromTheRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return *static_cast<NTSTATUS *>(context);
}

TEST_P(NestedCompletionTest, TheIrpFinishesOnceOrTheSecondCompletionIsReported)
{
    BuildStack(1);
    NTSTATUS result = GetParam().routineResult;
    behaviour[Top()] = [this, &result](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CompleteAgainFromTheRoutine, &result, TRUE, TRUE, TRUE);
        return IoCallDriver(Lower(), irp);
    };
    plat::ScopedVerifierCapture capture;
    plat::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(STATUS_SUCCESS, plat::SendRequest(nullptr, request, Top()).status);
    EXPECT_EQ(GetParam().reports, capture.Messages().size());
    if (GetParam().reports) {
        EXPECT_TRUE(capture.Contains("completed twice"));
    }
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

INSTANTIATE_TEST_SUITE_P(RoutineResults, NestedCompletionTest,
                         ::testing::Values(NestedCase{"TakenBack", STATUS_MORE_PROCESSING_REQUIRED, 0},
                                           NestedCase{"LetGoOn", STATUS_SUCCESS, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
