// The Plug and Play device base, driven by the PnP manager's requests: start,
// stop and its query, removal and its query, surprise removal, capabilities
// and the device-state report.
#include "support/ProbeDevice.h"

#include "verifier/Verifier.h"

namespace {

using test::ProbeDevice;

class PnpDeviceTest : public test::ProbeTest {};

TEST_F(PnpDeviceTest, AStartedStackWorksWithRunningQueuesAndRecordedCapabilities)
{
    ProbeDevice *probe = AddProbe();
    ASSERT_NE(nullptr, probe);
    EXPECT_EQ(plat::NodeState::Started, node->state);
    EXPECT_EQ(Working, probe->pnpState);
    EXPECT_TRUE(probe->started);
    EXPECT_EQ(1, probe->starts);
    EXPECT_FALSE(probe->startedWithLists);  // a device that needs no resources gets no lists
    // SurpriseRemovalOK is forced on before and after the lower drivers.
    EXPECT_EQ(1u, probe->seenBefore.SurpriseRemovalOK);
    EXPECT_EQ(1u, probe->seenAfter.SurpriseRemovalOK);
    EXPECT_EQ(1u, probe->capabilities.SurpriseRemovalOK);
    EXPECT_EQ(1, probe->capabilities.Version);
    EXPECT_EQ(PowerDeviceD3, probe->capabilities.DeviceState[PowerSystemSleeping3]);
    EXPECT_EQ(1u, node->capabilities.SurpriseRemovalOK);

    auto *read = Read(probe);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, read->Wait().status);
}

TEST_F(PnpDeviceTest, AFailedStartRemovesTheStackAndRecordsTheProblem)
{
    test::NextProbeStartStatus() = STATUS_DEVICE_CONFIGURATION_ERROR;
    AddProbe();
    EXPECT_EQ(plat::NodeState::Failed, node->state);
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, node->problem);
    EXPECT_TRUE(*test::LastProbeDestroyed());
    EXPECT_EQ(nullptr, node->Pdo()->AttachedDevice);
}

TEST_F(PnpDeviceTest, StopAfterASuccessfulQueryKeepsRequestsStalledUntilTheNextStart)
{
    ProbeDevice *probe = AddProbe();
    auto *first = Read(probe);
    auto *second = Read(probe);
    ASSERT_NE(nullptr, probe->current);

    // The query waits for the current request; the one behind it stays put.
    NTSTATUS query = STATUS_PENDING;
    auto *thread = Spawn("pnp", [&] { query = Send(IRP_MN_QUERY_STOP_DEVICE); });
    Pass(5);
    EXPECT_EQ(STATUS_PENDING, query);
    probe->Finish();
    Join(thread);
    EXPECT_EQ(STATUS_SUCCESS, query);
    EXPECT_EQ(PendingStop, probe->pnpState);
    EXPECT_LE(1, probe->cancels);
    EXPECT_EQ(STATUS_SUCCESS, first->Wait().status);
    EXPECT_EQ(nullptr, probe->current);

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(Stopped, probe->pnpState);
    EXPECT_EQ(std::vector<bool>{true}, probe->stops);
    Pass(5);
    EXPECT_FALSE(second->Done());
    EXPECT_EQ(nullptr, probe->current);

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_START_DEVICE));
    EXPECT_EQ(Working, probe->pnpState);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, second->Wait().status);
}

TEST_F(PnpDeviceTest, StopWithoutAQueryFailsWaitingAndNewRequestsUntilTheNextStart)
{
    ProbeDevice *probe = AddProbe();
    Read(probe);
    auto *waiting = Read(probe);
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(STATUS_DELETE_PENDING, waiting->Wait().status);
    EXPECT_EQ(STATUS_DELETE_PENDING, Read(probe)->Wait().status);
    probe->Finish();  // the current request is its owner's to finish

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_START_DEVICE));
    auto *later = Read(probe);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, later->Wait().status);
}

struct RefusalCase {
    const char *name;
    UCHAR query;
    bool allowStop;
    bool allowRemove;
};

class RefusedQueryTest : public test::ProbeTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedQueryTest, FailsWithUnsuccessfulAndTouchesNeitherStateNorQueues)
{
    ProbeDevice *probe = AddProbe();
    probe->allowStop = GetParam().allowStop;
    probe->allowRemove = GetParam().allowRemove;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Send(GetParam().query));
    EXPECT_EQ(Working, probe->pnpState);
    EXPECT_EQ(0, probe->cancels);
    auto *read = Read(probe);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, read->Wait().status);

    // Through the manager the refusal is cancelled and reported.
    NTSTATUS status = GetParam().query == IRP_MN_QUERY_STOP_DEVICE
                          ? plat::PnpManager::Get().Rebalance(node)
                          : plat::PnpManager::Get().RequestRemoval(node, true);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(Working, probe->pnpState);
    EXPECT_EQ(plat::NodeState::Started, node->state);
    EXPECT_FALSE(*probe->destroyed);
}

INSTANTIATE_TEST_SUITE_P(Queries, RefusedQueryTest,
                         ::testing::Values(RefusalCase{"Stop", IRP_MN_QUERY_STOP_DEVICE, false, true},
                                           RefusalCase{"Remove", IRP_MN_QUERY_REMOVE_DEVICE, true, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PnpDeviceTest, RebalanceStopsAndStartsTheStackAgain)
{
    ProbeDevice *probe = AddProbe();
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().Rebalance(node));
    EXPECT_EQ(2, probe->starts);
    EXPECT_EQ(std::vector<bool>{true}, probe->stops);
    EXPECT_EQ(Working, probe->pnpState);
    auto *read = Read(probe);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, read->Wait().status);
}

TEST_F(PnpDeviceTest, RemovalQueryWhileStoppedNeitherStallsNorUnstallsAndItsCancelReturnsToStopped)
{
    ProbeDevice *probe = AddProbe();
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    auto *waiting = Read(probe);
    int cancels = probe->cancels;

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(PendingRemove, probe->pnpState);
    EXPECT_EQ(Stopped, probe->previousPnpState);
    EXPECT_EQ(cancels, probe->cancels);
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(Stopped, probe->pnpState);
    // A stopped device keeps its requests until it starts again...
    EXPECT_EQ(nullptr, probe->current);
    EXPECT_FALSE(waiting->Done());
    // ...and the start runs them (the queues are not left stalled twice).
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_START_DEVICE));
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait().status);
}

TEST_F(PnpDeviceTest, RemovalQueryWhileWorkingStallsAndItsCancelRestarts)
{
    ProbeDevice *probe = AddProbe();
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(PendingRemove, probe->pnpState);
    auto *waiting = Read(probe);
    EXPECT_EQ(nullptr, probe->current);
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(Working, probe->pnpState);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait().status);
}

// The PnP manager may query a removal again before it decides; the cancel
// that follows returns to where the device was before the first query.
struct RepeatedQueryCase {
    const char *name;
    bool stoppedFirst;
};

void PrintTo(const RepeatedQueryCase &c, std::ostream *os) { *os << c.name; }

class RepeatedRemovalQueryTest : public test::ProbeTest, public ::testing::WithParamInterface<RepeatedQueryCase> {};

TEST_P(RepeatedRemovalQueryTest, CancelReturnsToTheStateBeforeTheFirstQuery)
{
    ProbeDevice *probe = AddProbe();
    if (GetParam().stoppedFirst) {
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_STOP_DEVICE));
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    }
    LONG before = probe->pnpState;
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_REMOVE_DEVICE));
    auto *waiting = Read(probe);
    EXPECT_EQ(nullptr, probe->current);
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(before, probe->pnpState);
    // Queues run again exactly when the device is working again.
    EXPECT_EQ(!GetParam().stoppedFirst, probe->current != nullptr);
    if (GetParam().stoppedFirst) {
        EXPECT_FALSE(waiting->Done());
        EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_START_DEVICE));
    }
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait().status);
}

INSTANTIATE_TEST_SUITE_P(States, RepeatedRemovalQueryTest,
                         ::testing::Values(RepeatedQueryCase{"Working", false}, RepeatedQueryCase{"Stopped", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// A stop that no query prepared and a surprise removal end what the device
// has under way and fail what waits; nothing starts after them.
struct AbortCase {
    const char *name;
    UCHAR minor;
};

void PrintTo(const AbortCase &c, std::ostream *os) { *os << c.name; }

class AbortingRequestTest : public test::ProbeTest, public ::testing::WithParamInterface<AbortCase> {};

TEST_P(AbortingRequestTest, EndsTheRequestUnderWayAndFailsTheWaitingOnes)
{
    ProbeDevice *probe = AddProbe();
    probe->endCurrentOnCancel = true;
    auto *underWay = Read(probe, 1);
    auto *waiting = Read(probe, 2);
    EXPECT_EQ(STATUS_SUCCESS, Send(GetParam().minor));
    ASSERT_TRUE(underWay->Done());
    EXPECT_EQ(STATUS_CANCELLED, underWay->Result().status);
    ASSERT_TRUE(waiting->Done());
    EXPECT_EQ(STATUS_DELETE_PENDING, waiting->Result().status);
    EXPECT_EQ(std::vector<ULONG>{1}, probe->startedLengths);
    EXPECT_EQ(nullptr, probe->current);
}

INSTANTIATE_TEST_SUITE_P(Requests, AbortingRequestTest,
                         ::testing::Values(AbortCase{"StopWithoutQuery", IRP_MN_STOP_DEVICE},
                                           AbortCase{"SurpriseRemoval", IRP_MN_SURPRISE_REMOVAL}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PnpDeviceTest, RemoveWaitsForEveryHolderOfTheRemoveLock)
{
    ProbeDevice *probe = AddProbe();
    auto destroyed = probe->destroyed;
    ASSERT_EQ(STATUS_SUCCESS, probe->AcquireRemoveLock());
    ASSERT_EQ(STATUS_SUCCESS, probe->AcquireRemoveLock());
    NTSTATUS removal = STATUS_PENDING;
    auto *thread = Spawn("pnp", [&] { removal = plat::PnpManager::Get().RequestRemoval(node, true); });
    Pass(5);
    EXPECT_FALSE(*destroyed);
    // Removal has begun: new holders are refused.
    EXPECT_EQ(STATUS_DELETE_PENDING, probe->AcquireRemoveLock());
    probe->ReleaseRemoveLock();
    Pass(5);
    EXPECT_FALSE(*destroyed);
    probe->ReleaseRemoveLock();
    Join(thread);
    EXPECT_TRUE(*destroyed);
    EXPECT_EQ(STATUS_SUCCESS, removal);
}

TEST_F(PnpDeviceTest, RequestsArrivingAfterRemovalBeganFailWithDeletePending)
{
    ProbeDevice *probe = AddProbe();
    ASSERT_EQ(STATUS_SUCCESS, probe->AcquireRemoveLock());
    auto *thread = Spawn("pnp", [&] { plat::PnpManager::Get().RequestRemoval(node, true); });
    Pass(5);
    // A PnP request that gets through to the device now fails at the lock.
    PIRP irp = IoAllocateIrp(probe->deviceObject->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    NTSTATUS finished = STATUS_PENDING;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
            *static_cast<NTSTATUS *>(context) = done->IoStatus.Status;
            IoFreeIrp(done);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &finished, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(STATUS_DELETE_PENDING, IofCallDriver(probe->deviceObject, irp));
    EXPECT_EQ(STATUS_DELETE_PENDING, finished);
    probe->ReleaseRemoveLock();
    Join(thread);
}

TEST_F(PnpDeviceTest, SurpriseRemovalFailsRequestsStopsTheDeviceAndTheRemovalDestroysIt)
{
    ProbeDevice *probe = AddProbe();
    auto destroyed = probe->destroyed;
    Read(probe);
    auto *waiting = Read(probe);
    probe->Finish();  // the waiting one becomes current
    auto *queued = Read(probe);
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_EQ(SurpriseRemoved, probe->pnpState);
    EXPECT_EQ(STATUS_DELETE_PENDING, queued->Wait().status);
    EXPECT_EQ(std::vector<bool>{true}, probe->stops);
    EXPECT_FALSE(waiting->Done());
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait().status);

    plat::PnpManager::Get().DeviceGone(node);
    EXPECT_TRUE(*destroyed);
}

TEST_F(PnpDeviceTest, CapabilitiesOfVersionZeroPassDownUntouchedAndAreNotRecorded)
{
    ProbeDevice *probe = AddProbe();
    DEVICE_CAPABILITIES before = probe->capabilities;
    probe->seenBefore = {};
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 0;
    NTSTATUS status = plat::PnpManager::Get().SendPnpIrp(node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);  // the bus answers version 1 only
    EXPECT_EQ(0u, caps.SurpriseRemovalOK);
    EXPECT_EQ(0, probe->seenBefore.Size);
    EXPECT_EQ(0, memcmp(&before, &probe->capabilities, sizeof before));
}

TEST_F(PnpDeviceTest, TheDeviceStateQueryReportsARemovalOnceWithTheOtherBitsLeftAlone)
{
    ProbeDevice *probe = AddProbe();
    {
        // The manager's own query, queued by the report, waits until ours are done.
        test::SystemWorkerHold hold(options.workerThreads);
        probe->ReportDeviceRemoved();
        ULONG_PTR information = PNP_DEVICE_DONT_DISPLAY_IN_UI;
        EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_PNP_DEVICE_STATE, &information));
        EXPECT_EQ(ULONG_PTR(PNP_DEVICE_DONT_DISPLAY_IN_UI | PNP_DEVICE_REMOVED), information);
        information = PNP_DEVICE_DONT_DISPLAY_IN_UI;
        EXPECT_EQ(STATUS_NOT_SUPPORTED, Send(IRP_MN_QUERY_PNP_DEVICE_STATE, &information));
        EXPECT_EQ(ULONG_PTR(PNP_DEVICE_DONT_DISPLAY_IN_UI), information);
    }
    // ... and finds nothing new.
    plat::PnpManager::Get().Settle();
    EXPECT_EQ(plat::NodeState::Started, node->state);
}

TEST_F(PnpDeviceTest, AReportedRemovalMakesTheManagerRemoveTheStackEvenWhenReportedTwice)
{
    ProbeDevice *probe = AddProbe();
    auto destroyed = probe->destroyed;
    probe->ReportDeviceRemoved();
    probe->ReportDeviceRemoved();
    plat::PnpManager::Get().Settle();
    EXPECT_TRUE(*destroyed);
    EXPECT_EQ(plat::NodeState::Failed, node->state);
    EXPECT_EQ(STATUS_DEVICE_REMOVED, node->problem);
    EXPECT_NE(0u, node->deviceState & PNP_DEVICE_REMOVED);
}

TEST_F(PnpDeviceTest, RemoveLockReleasedMoreOftenThanAcquiredIsReported)
{
    ProbeDevice *probe = AddProbe();
    plat::ScopedVerifierCapture capture;
    probe->ReleaseRemoveLock();
    probe->ReleaseRemoveLock();  // the initial count is gone: now below zero
    EXPECT_TRUE(capture.Contains("count >= 0"));
    probe->AcquireRemoveLock();
    probe->AcquireRemoveLock();
}

TEST_F(PnpDeviceTest, ADeviceDestroyedWhileItsRemoveLockIsHeldIsReported)
{
    // A driver that deletes a removed device without waiting for the holders.
    ProbeDevice *probe = AddProbe();
    probe->AcquireRemoveLock();
    probe->removeLock.removing = true;
    plat::ScopedVerifierCapture capture;
    delete probe;
    EXPECT_TRUE(capture.Contains("removeLock.count == 0")) << ::testing::PrintToString(capture.Messages());
}

TEST_F(PnpDeviceTest, ADeviceDeletedWhileARequestIsStillAtItIsReported)
{
    ProbeDevice *probe = AddProbe();
    Read(probe);
    PIRP orphan = probe->current;
    {
        plat::ScopedVerifierCapture capture;
        plat::PnpManager::Get().DeviceGone(node);
        EXPECT_TRUE(capture.Contains("deleted while 1 request(s) are still at it"));
    }
    orphan->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(orphan, IO_NO_INCREMENT);
}

struct FixUpCase {
    const char *name;
    LONG wdmOrdinal;
    SYSTEM_POWER_STATE systemWake;
    DEVICE_POWER_STATE deviceWake;
    DEVICE_POWER_STATE states[6];  // S0..S5
    ULONG expectedFlagBits;        // of DeviceD1 0x1, DeviceD2 0x2, WakeFromD0..D3 0x400..0x2000
    SYSTEM_POWER_STATE expectedSystemWake;
};

class FixUpTest : public ::testing::TestWithParam<FixUpCase> {};

ULONG FlagBits(const DEVICE_CAPABILITIES &caps)
{
    ULONG word;
    memcpy(&word, reinterpret_cast<const UCHAR *>(&caps) + 4, sizeof word);
    return word & 0x3C03;
}

TEST_P(FixUpTest, ImpliedBitsAndSystemWake)
{
    const FixUpCase &c = GetParam();
    LONG ordinal = DriverGlobals.wdmOrdinal;
    DriverGlobals.wdmOrdinal = c.wdmOrdinal;
    DEVICE_CAPABILITIES caps{};
    caps.SystemWake = c.systemWake;
    caps.DeviceWake = c.deviceWake;
    for (int s = 0; s < 6; ++s)
        caps.DeviceState[s + 1] = c.states[s];
    FixUpCapabilities(&caps);
    DriverGlobals.wdmOrdinal = ordinal;
    EXPECT_EQ(c.expectedFlagBits, FlagBits(caps));
    EXPECT_EQ(c.expectedSystemWake, caps.SystemWake);
}

constexpr auto D0 = PowerDeviceD0, D1 = PowerDeviceD1, D2 = PowerDeviceD2, D3 = PowerDeviceD3,
               Dx = PowerDeviceUnspecified;

INSTANTIATE_TEST_SUITE_P(
    Capabilities, FixUpTest,
    ::testing::Values(
        // Wake from D2, S1 mapped to D2: the deepest wake state gives S1.
        FixUpCase{"WakeFromD2DerivesS1", 6, PowerSystemUnspecified, D2, {D0, D2, D3, D3, D3, D3}, 0x1002,
                  PowerSystemSleeping1},
        FixUpCase{"SleepStateInD1SetsDeviceD1", 6, PowerSystemUnspecified, Dx, {D0, D1, D3, D3, D3, D3}, 0x1,
                  PowerSystemUnspecified},
        FixUpCase{"GivenSystemWakeAddsItsStatesBits", 6, PowerSystemSleeping3, D2, {D0, D2, D2, D3, D3, D3}, 0x3002,
                  PowerSystemSleeping3},
        FixUpCase{"WakeFromD3FindsS3", 6, PowerSystemUnspecified, D3, {D0, D3, D3, D3, D3, D3}, 0x2000,
                  PowerSystemSleeping3},
        FixUpCase{"WakeFromD0NeedsNoSleepState", 6, PowerSystemUnspecified, D0, {D0, D3, D3, D3, D3, D3}, 0x400,
                  PowerSystemUnspecified},
        FixUpCase{"OldPlatformLeavesEverything", 1, PowerSystemUnspecified, D2, {D0, D2, D3, D3, D3, D3}, 0,
                  PowerSystemUnspecified}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Windows sends the removal of a surprise-removed stack only once every
// handle to it is closed; meanwhile the stack takes no new opens.
TEST_F(PnpDeviceTest, ASurpriseRemovedStackWithAnOpenHandleIsRemovedWhenTheHandleCloses)
{
    ProbeDevice *probe = AddProbe();
    std::u16string pdoName = plat::HeaderOf(node->Pdo())->name;
    std::u16string instance = node->instancePath;
    auto destroyed = probe->destroyed;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, plat::OpenDevice(pdoName, &file));

    plat::PnpManager::Get().DeviceGone(node);
    plat::PnpManager::Get().Settle();
    EXPECT_FALSE(*destroyed) << "removed while a handle was open";
    EXPECT_EQ(plat::NodeState::SurpriseRemoved, node->state);
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, plat::OpenDevice(pdoName, &second));

    plat::CloseDevice(file);
    plat::PnpManager::Get().Settle();
    EXPECT_TRUE(*destroyed);
    EXPECT_EQ(nullptr, plat::PnpManager::Get().FindNode(instance));
}

}  // namespace

namespace {

// The order Windows keeps: the bus alone is asked for the IDs and the
// capabilities before AddDevice; every successful start is followed by the
// stack's capabilities, its bus relations and (the first time) its state; a
// removal query by the stack's removal relations.
TEST_F(PnpDeviceTest, TheManagerAsksTheBusAloneBeforeAddDeviceAndTheStackAfterEachStart)
{
    auto owned = std::make_unique<test::ProbeBus>();
    test::ProbeBus *bus = owned.get();
    ProbeDevice *probe = AddProbe(std::move(owned));
    ASSERT_NE(nullptr, probe);
    const std::vector<UCHAR> firstStart = {IRP_MN_QUERY_ID,           IRP_MN_QUERY_ID,
                                           IRP_MN_QUERY_ID,           IRP_MN_QUERY_ID,
                                           IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE,
                                           IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_RELATIONS,
                                           IRP_MN_QUERY_PNP_DEVICE_STATE};
    EXPECT_EQ(firstStart, bus->pnp);
    EXPECT_EQ("ROOT\\PROBE", test::Utf8(node->deviceId));
    EXPECT_EQ(test::Utf8(node->instancePath.substr(node->instancePath.rfind(u'\\') + 1)),
              test::Utf8(node->instanceId));
    EXPECT_EQ(1u, probe->seenBefore.SurpriseRemovalOK) << "the stack was not asked after its start";

    bus->pnp.clear();
    probe->seenBefore = {};
    ASSERT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().Rebalance(node));
    const std::vector<UCHAR> restart = {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                        IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_RELATIONS};
    EXPECT_EQ(restart, bus->pnp);
    EXPECT_EQ(1u, probe->seenBefore.SurpriseRemovalOK) << "the stack was not asked after its restart";

    // A removal the user asks for is preceded by the removal relations (the
    // driver refuses this one itself: the query never reaches the bus).
    bus->pnp.clear();
    probe->allowRemove = false;
    EXPECT_NE(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(node, false));
    const std::vector<UCHAR> refusedRemoval = {IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_CANCEL_REMOVE_DEVICE};
    EXPECT_EQ(refusedRemoval, bus->pnp);
}

// A physical device answers its target relation with itself, referenced for
// the asker, and its IDs from the node's key.
TEST_F(PnpDeviceTest, ThePhysicalDeviceAnswersItsTargetRelationAndItsHardwareIds)
{
    AddProbe();
    ULONG_PTR information = 0;
    ASSERT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().SendPnpIrp(node, IRP_MN_QUERY_DEVICE_RELATIONS,
                                                                 [](PIO_STACK_LOCATION sp) {
                                                                     sp->Parameters.QueryDeviceRelations.Type =
                                                                         TargetDeviceRelation;
                                                                 },
                                                                 &information));
    auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    ASSERT_NE(nullptr, relations);
    ASSERT_EQ(1u, relations->Count);
    EXPECT_EQ(node->Pdo(), relations->Objects[0]);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);

    plat::cm::Registry().SetMultiString(node->EnumKeyPath(), u"HardwareID", {u"root\\vexprobe", u"vexprobe"});
    information = 0;
    ASSERT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().SendPnpIrp(node, IRP_MN_QUERY_ID,
                                                                 [](PIO_STACK_LOCATION sp) {
                                                                     sp->Parameters.QueryId.IdType =
                                                                         BusQueryHardwareIDs;
                                                                 },
                                                                 &information));
    auto *ids = reinterpret_cast<const char16_t *>(information);
    ASSERT_NE(nullptr, ids);
    EXPECT_EQ(std::u16string(u"root\\vexprobe\0vexprobe\0\0", 24), std::u16string(ids, 24));
    ExFreePool(const_cast<char16_t *>(ids));
}

}  // namespace
