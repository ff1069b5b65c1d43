// The power state machine of the device base, driven by the power manager:
// device requests the driver asks for, system sleep and wake, the context
// save/restore walk, queue stalls, and wait-wake arming with its races.
#include "support/ProbeDevice.h"

#include "KPowerIrpContext.h"
#include "po/PowerManager.h"

namespace {

using test::ProbeBus;
using test::ProbeDevice;
using Seen = ProbeBus::PowerSeen;

constexpr UCHAR kSet = IRP_MN_SET_POWER;
constexpr UCHAR kQuery = IRP_MN_QUERY_POWER;

// Records every context routine call; a routine can be told to finish later.
struct ContextLog {
    std::vector<std::string> calls;
    bool pendSave = false;
    static NTSTATUS Save(PVOID context, LONG from, LONG to)
    {
        auto *log = static_cast<ContextLog *>(context);
        log->calls.push_back("save D" + std::to_string(from - 1) + "->D" + std::to_string(to - 1));
        return log->pendSave ? STATUS_PENDING : STATUS_SUCCESS;
    }
    static NTSTATUS Restore(PVOID context, LONG from, LONG to)
    {
        auto *log = static_cast<ContextLog *>(context);
        log->calls.push_back("restore D" + std::to_string(from - 1) + "->D" + std::to_string(to - 1));
        return STATUS_SUCCESS;
    }
};

class PowerTest : public test::ProbeTest {
protected:
    ProbeDevice *AddProbeOn(bool wakeCapable)
    {
        auto bus = std::make_unique<ProbeBus>();
        bus->wakeCapable = wakeCapable;
        this->bus = bus.get();
        return AddProbe(std::move(bus));
    }
    // A device power request as the driver's own code asks for it, from a
    // thread of its own; the result arrives in *status.
    plat::SimThread *RequestPower(ProbeDevice *probe, LONG state, NTSTATUS *status)
    {
        *status = STATUS_PENDING;
        return Spawn("power", [=] { *status = probe->RequestPowerIrp(state, true); });
    }
    NTSTATUS RequestPowerNow(ProbeDevice *probe, LONG state)
    {
        NTSTATUS status;
        Join(RequestPower(probe, state, &status));
        return status;
    }
    // A device query, sent as the power manager sends what a driver asks for.
    NTSTATUS QueryPower(ProbeDevice *probe, LONG state)
    {
        struct Result {
            KEVENT done;
            NTSTATUS status;
        } result;
        KeInitializeEvent(&result.done, NotificationEvent, FALSE);
        POWER_STATE requested;
        requested.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        PoRequestPowerIrp(
            probe->pdo, IRP_MN_QUERY_POWER, requested,
            [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
                auto *r = static_cast<Result *>(context);
                r->status = io->Status;
                KeSetEvent(&r->done, 0, FALSE);
            },
            &result, nullptr);
        KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, nullptr);
        return result.status;
    }
    plat::PowerManager &Power() { return plat::PowerManager::Get(); }

    ProbeBus *bus = nullptr;
    ContextLog log;
};

// Cases that name the platform's WDM version (wdmMajor, wdmMinor) boot a
// machine that offers it.
template <typename Case> class PlatformCaseTest : public PowerTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override
    {
        options.wdmMajor = this->GetParam().wdmMajor;
        options.wdmMinor = this->GetParam().wdmMinor;
        PowerTest::SetUp();
    }
};

// Every path through the state machine, from the state the device is in to
// what the bus sees of the request, where the device ends and whether its
// queue runs afterwards.
enum class Start { InD0, InD3, AsleepInS3 };

struct PathCase {
    const char *name;
    Start start;
    bool system;
    UCHAR minor;
    LONG state;  // S-state for a system request, D-state otherwise
    std::vector<Seen> seen;
    LONG deviceStateAfter;
    LONG systemStateAfter;
    bool queueRunsAfter;
};

void PrintTo(const PathCase &c, std::ostream *os) { *os << c.name; }

class PowerPathTest : public PowerTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PowerPathTest, EndsWhereItsRequestAsks)
{
    const PathCase &c = GetParam();
    ProbeDevice *probe = AddProbeOn(false);
    if (c.start == Start::InD3) {
        ASSERT_EQ(STATUS_SUCCESS, RequestPowerNow(probe, PowerDeviceD3));
    }
    if (c.start == Start::AsleepInS3) {
        ASSERT_EQ(STATUS_SUCCESS, Power().SendSystemIrp(probe->pdo, kSet, PowerSystemSleeping3));
    }
    bus->power.clear();

    NTSTATUS status = c.system ? Power().SendSystemIrp(probe->pdo, c.minor, SYSTEM_POWER_STATE(c.state))
                      : c.minor == kSet ? RequestPowerNow(probe, c.state)
                                        : QueryPower(probe, c.state);
    Pass(5);  // a system request to S0 does not wait for the device's D0
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(c.seen, bus->power);
    EXPECT_EQ(c.deviceStateAfter, probe->currentDevicePowerState);
    EXPECT_EQ(c.systemStateAfter, probe->currentSystemPowerState);
    Read(probe);
    EXPECT_EQ(c.queueRunsAfter, probe->current != nullptr);
    if (probe->current)
        probe->Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PowerPathTest,
    ::testing::Values(
        PathCase{"DeviceSetDown", Start::InD0, false, kSet, PowerDeviceD3, {{kSet, false, PowerDeviceD3}},
                 PowerDeviceD3, PowerSystemWorking, false},
        PathCase{"DeviceSetSame", Start::InD0, false, kSet, PowerDeviceD0, {{kSet, false, PowerDeviceD0}},
                 PowerDeviceD0, PowerSystemWorking, true},
        PathCase{"DeviceSetUp", Start::InD3, false, kSet, PowerDeviceD0, {{kSet, false, PowerDeviceD0}},
                 PowerDeviceD0, PowerSystemWorking, true},
        // A granted down query keeps the queue stalled for the power-down.
        PathCase{"DeviceQueryDown", Start::InD0, false, kQuery, PowerDeviceD3, {{kQuery, false, PowerDeviceD3}},
                 PowerDeviceD0, PowerSystemWorking, false},
        PathCase{"DeviceQueryUp", Start::InD3, false, kQuery, PowerDeviceD0, {{kQuery, false, PowerDeviceD0}},
                 PowerDeviceD3, PowerSystemWorking, false},
        PathCase{"SystemSetDown", Start::InD0, true, kSet, PowerSystemSleeping3,
                 {{kSet, false, PowerDeviceD3}, {kSet, true, PowerSystemSleeping3}}, PowerDeviceD3,
                 PowerSystemSleeping3, false},
        PathCase{"SystemQueryDown", Start::InD0, true, kQuery, PowerSystemSleeping3,
                 {{kQuery, false, PowerDeviceD3}, {kQuery, true, PowerSystemSleeping3}}, PowerDeviceD0,
                 PowerSystemWorking, false},
        PathCase{"SystemSetUp", Start::AsleepInS3, true, kSet, PowerSystemWorking,
                 {{kSet, true, PowerSystemWorking}, {kSet, false, PowerDeviceD0}}, PowerDeviceD0,
                 PowerSystemWorking, true},
        // The device is in the state the system request maps to already.
        PathCase{"SystemSetSame", Start::InD0, true, kSet, PowerSystemWorking, {{kSet, true, PowerSystemWorking}},
                 PowerDeviceD0, PowerSystemWorking, true}),
    [](const auto &info) { return std::string(info.param.name); });

// A system set-power request may not fail: when the device request it asks
// for fails, the device stays where it is and the system request still goes
// down to the bus and succeeds. A system query fails with its device query.
struct FailedDeviceRequestCase {
    const char *name;
    UCHAR wdmMajor, wdmMinor;
    UCHAR minor;
    SYSTEM_POWER_STATE state;
    NTSTATUS expected;
    std::vector<Seen> seen;
};

void PrintTo(const FailedDeviceRequestCase &c, std::ostream *os) { *os << c.name; }

class FailedDeviceRequestTest : public PlatformCaseTest<FailedDeviceRequestCase> {};

TEST_P(FailedDeviceRequestTest, FailsOnlyASystemQuery)
{
    const FailedDeviceRequestCase &c = GetParam();
    ProbeDevice *probe = AddProbeOn(false);
    if (c.state == PowerSystemWorking) {
        ASSERT_EQ(STATUS_SUCCESS, Power().SendSystemIrp(probe->pdo, kSet, PowerSystemSleeping3));
    }
    LONG deviceStateBefore = probe->currentDevicePowerState;
    bus->power.clear();
    bus->queryStatus = STATUS_DEVICE_BUSY;
    bus->deviceSetStatus = STATUS_DEVICE_BUSY;

    EXPECT_EQ(c.expected, Power().SendSystemIrp(probe->pdo, c.minor, c.state));
    Pass(5);
    EXPECT_EQ(c.seen, bus->power);
    if (c.minor == kSet) {
        EXPECT_EQ(c.state, probe->currentSystemPowerState);
        if (c.state == PowerSystemWorking) {
            EXPECT_EQ(deviceStateBefore, probe->currentDevicePowerState);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FailedDeviceRequestTest,
    ::testing::Values(
        FailedDeviceRequestCase{"SetS3", 6, 0x00, kSet, PowerSystemSleeping3, STATUS_SUCCESS,
                                {{kSet, false, PowerDeviceD3}, {kSet, true, PowerSystemSleeping3}}},
        FailedDeviceRequestCase{"SetS0", 6, 0x00, kSet, PowerSystemWorking, STATUS_SUCCESS,
                                {{kSet, true, PowerSystemWorking}, {kSet, false, PowerDeviceD0}}},
        // The legacy platform holds the system request until the device's
        // D0 request has ended.
        FailedDeviceRequestCase{"SetS0Legacy", 1, 0x05, kSet, PowerSystemWorking, STATUS_SUCCESS,
                                {{kSet, true, PowerSystemWorking}, {kSet, false, PowerDeviceD0}}},
        FailedDeviceRequestCase{"QueryS3", 6, 0x00, kQuery, PowerSystemSleeping3, STATUS_DEVICE_BUSY,
                                {{kQuery, false, PowerDeviceD3}}}),
    [](const auto &info) { return std::string(info.param.name); });

// The device request a system set asks for cannot even be made (no IRP):
// the system request still goes down to the physical device and succeeds.
TEST_F(PowerTest, ASystemSetWhoseDeviceRequestCannotBeMadeStillReachesTheBus)
{
    ProbeDevice *probe = AddProbeOn(false);
    bus->power.clear();
    plat::FailPoolTag(plat::kIrpTag);
    EXPECT_EQ(STATUS_SUCCESS, Power().SendSystemIrp(probe->pdo, kSet, PowerSystemSleeping3));
    plat::ClearFaults();
    Pass(5);
    EXPECT_EQ((std::vector<Seen>{{kSet, true, PowerSystemSleeping3}}), bus->power);
    EXPECT_EQ(PowerSystemSleeping3, probe->currentSystemPowerState);
    EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);
}

TEST_F(PowerTest, PowerDownWaitsForTheCurrentRequestSavesContextAndKeepsTheQueuesStalledUntilD0)
{
    ProbeDevice *probe = AddProbeOn(false);
    probe->RegisterPowerContextCallbacks(ContextLog::Save, &log, ContextLog::Restore, &log);
    auto *first = Read(probe);
    auto *second = Read(probe);

    NTSTATUS down;
    auto *thread = RequestPower(probe, PowerDeviceD3, &down);
    Pass(5);
    EXPECT_EQ(STATUS_PENDING, down);  // the stall waits for the current read
    EXPECT_LE(1, probe->cancels);
    EXPECT_TRUE(probe->queuesStalledForPower);
    probe->Finish();
    Join(thread);
    EXPECT_EQ(STATUS_SUCCESS, down);
    EXPECT_EQ(STATUS_SUCCESS, first->Wait().status);
    EXPECT_EQ(PowerDeviceD3, probe->currentDevicePowerState);
    EXPECT_EQ(PowerDeviceD3, bus->devicePower);
    EXPECT_EQ(std::vector<std::string>{"save D0->D3"}, log.calls);
    Pass(5);
    EXPECT_EQ(nullptr, probe->current);
    EXPECT_FALSE(second->Done());

    EXPECT_EQ(STATUS_SUCCESS, RequestPowerNow(probe, PowerDeviceD0));
    EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);
    EXPECT_EQ((std::vector<std::string>{"save D0->D3", "restore D3->D0"}), log.calls);
    EXPECT_FALSE(probe->queuesStalledForPower);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, second->Wait().status);
}

TEST_F(PowerTest, AContextSaveThatFinishesLaterHoldsThePowerDownBack)
{
    ProbeDevice *probe = AddProbeOn(false);
    log.pendSave = true;
    probe->RegisterPowerContextCallbacks(ContextLog::Save, &log, ContextLog::Restore, &log);
    NTSTATUS down;
    auto *thread = RequestPower(probe, PowerDeviceD2, &down);
    Pass(5);
    EXPECT_EQ(STATUS_PENDING, down);
    EXPECT_EQ(PowerDeviceD0, bus->devicePower);
    probe->ResumeContextWalk();
    Join(thread);
    EXPECT_EQ(STATUS_SUCCESS, down);
    EXPECT_EQ(PowerDeviceD2, bus->devicePower);
    EXPECT_EQ(nullptr, probe->contextOwner);
}

TEST_F(PowerTest, ASetToTheCurrentStatePassesThroughAndRestartsTheQueuesItStalled)
{
    ProbeDevice *probe = AddProbeOn(false);
    Read(probe);
    auto *waiting = Read(probe);
    NTSTATUS same;
    auto *thread = RequestPower(probe, PowerDeviceD0, &same);
    Pass(5);
    probe->Finish();
    Join(thread);
    EXPECT_EQ(STATUS_SUCCESS, same);
    EXPECT_EQ((std::vector<Seen>{{kSet, false, PowerDeviceD0}}), bus->power);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait().status);
}

TEST_F(PowerTest, ASecondPowerDownDoesNotStallTheQueuesAgain)
{
    ProbeDevice *probe = AddProbeOn(false);
    EXPECT_EQ(STATUS_SUCCESS, RequestPowerNow(probe, PowerDeviceD2));
    EXPECT_EQ(STATUS_SUCCESS, RequestPowerNow(probe, PowerDeviceD3));
    auto *read = Read(probe);
    EXPECT_EQ(STATUS_SUCCESS, RequestPowerNow(probe, PowerDeviceD0));
    // One restart undoes the one stall: the read runs.
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, read->Wait().status);
}

// The power manager lets one device set-power request at a time reach the
// device: a D0 request made while a power-down waits for its stall is held
// until the power-down is done, then brings the device back and its queue
// with it.
TEST_F(PowerTest, ASetToD0MadeWhileAPowerDownWaitsForItsStallIsHeldUntilTheDownIsDone)
{
    ProbeDevice *probe = AddProbeOn(false);
    Read(probe);
    auto *waiting = Read(probe);
    NTSTATUS down, up;
    auto *downThread = RequestPower(probe, PowerDeviceD3, &down);
    Pass(5);
    ASSERT_EQ(STATUS_PENDING, down);
    auto *upThread = RequestPower(probe, PowerDeviceD0, &up);
    Pass(5);
    EXPECT_EQ(STATUS_PENDING, up);
    EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);  // the down is still waiting
    probe->Finish();
    Join(downThread);
    EXPECT_EQ(STATUS_SUCCESS, down);
    Join(upThread);
    EXPECT_EQ(STATUS_SUCCESS, up);
    EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);
    EXPECT_EQ((std::vector<Seen>{{kSet, false, PowerDeviceD3}, {kSet, false, PowerDeviceD0}}), bus->power);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait().status);
}

TEST_F(PowerTest, ARefusedDownQueryFailsWithoutGoingDownAndLeavesTheQueuesRunning)
{
    ProbeDevice *probe = AddProbeOn(false);
    probe->deepestAllowed = PowerDeviceD2;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, QueryPower(probe, PowerDeviceD3));
    EXPECT_TRUE(bus->power.empty());
    EXPECT_FALSE(probe->queuesStalledForPower);
    EXPECT_EQ(STATUS_SUCCESS, QueryPower(probe, PowerDeviceD2));
    EXPECT_EQ((std::vector<Seen>{{kQuery, false, PowerDeviceD2}}), bus->power);
    // A granted query keeps the queues stalled for the power-down to come.
    EXPECT_TRUE(probe->queuesStalledForPower);
}

TEST_F(PowerTest, ADownQueryTheBusCallsInvalidSucceeds)
{
    ProbeDevice *probe = AddProbeOn(false);
    bus->queryStatus = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(STATUS_SUCCESS, QueryPower(probe, PowerDeviceD3));
    bus->queryStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(STATUS_SUCCESS, RequestPowerNow(probe, PowerDeviceD0));  // ends the granted query's stall
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryPower(probe, PowerDeviceD3));
    EXPECT_FALSE(probe->queuesStalledForPower);
}

TEST_F(PowerTest, SleepQueriesThenSetsEachStackAndWakeReturnsToD0)
{
    ProbeDevice *probe = AddProbeOn(false);
    EXPECT_EQ(STATUS_SUCCESS, Power().Sleep(PowerSystemSleeping3));
    EXPECT_EQ(PowerSystemSleeping3, Power().SystemState());
    EXPECT_EQ(PowerSystemSleeping3, probe->currentSystemPowerState);
    EXPECT_EQ(PowerDeviceD3, probe->currentDevicePowerState);
    // A device request ahead of each system request on the way down.
    EXPECT_EQ((std::vector<Seen>{{kQuery, false, PowerDeviceD3},
                                 {kQuery, true, PowerSystemSleeping3},
                                 {kSet, false, PowerDeviceD3},
                                 {kSet, true, PowerSystemSleeping3}}),
              bus->power);
    bus->power.clear();
    EXPECT_EQ(STATUS_SUCCESS, Power().Wake());
    Pass(1);
    // On the way up the system request goes first.
    EXPECT_EQ((std::vector<Seen>{{kSet, true, PowerSystemWorking}, {kSet, false, PowerDeviceD0}}), bus->power);
    EXPECT_EQ(PowerSystemWorking, probe->currentSystemPowerState);
    EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);
}

TEST_F(PowerTest, ASystemRequestWhoseDeviceStateIsTheCurrentOneSendsNoDeviceRequest)
{
    ProbeDevice *probe = AddProbeOn(false);
    EXPECT_EQ(STATUS_SUCCESS, RequestPowerNow(probe, PowerDeviceD3));
    bus->power.clear();
    EXPECT_EQ(STATUS_SUCCESS, Power().Sleep(PowerSystemHibernate));
    EXPECT_EQ((std::vector<Seen>{{kQuery, true, PowerSystemHibernate}, {kSet, true, PowerSystemHibernate}}),
              bus->power);
}

TEST_F(PowerTest, AVetoedSleepLeavesEveryDeviceWorkingWithItsQueuesRunning)
{
    ProbeDevice *willing = AddProbeOn(false);
    ProbeDevice *refusing = AddProbeOn(false);
    refusing->deepestAllowed = PowerDeviceD2;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Power().Sleep(PowerSystemSleeping3));
    EXPECT_EQ(PowerSystemWorking, Power().SystemState());
    for (ProbeDevice *probe : {willing, refusing}) {
        EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);
        EXPECT_FALSE(probe->queuesStalledForPower);
        auto *read = Read(probe);
        ASSERT_NE(nullptr, probe->current);
        probe->Finish();
        EXPECT_EQ(STATUS_SUCCESS, read->Wait().status);
    }
}

struct WakeOrderCase {
    const char *name;
    UCHAR wdmMajor, wdmMinor;
    bool systemDoneBeforeDevice;
};

class WakeOrderTest : public PlatformCaseTest<WakeOrderCase> {};

TEST_P(WakeOrderTest, TheSystemRequestToS0CompletesBeforeTheSlowD0OnlyOnNewerPlatforms)
{
    ProbeDevice *probe = AddProbeOn(true);
    ASSERT_EQ(GetParam().wdmMajor == 1, DriverGlobals.legacyPlatform);
    auto *queued = Read(probe);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, queued->Wait().status);
    ASSERT_EQ(STATUS_SUCCESS, Power().Sleep(PowerSystemSleeping3));
    EXPECT_EQ(PowerDeviceD3, probe->currentDevicePowerState);  // not armed for wake: D3
    auto *waiting = Read(probe);
    ASSERT_EQ(STATUS_SUCCESS, Power().Wake());
    // The bus needs 10 ms to resume the device.
    EXPECT_EQ(GetParam().systemDoneBeforeDevice, probe->currentDevicePowerState == PowerDeviceD3);
    EXPECT_EQ(GetParam().systemDoneBeforeDevice, bus->devicePower == PowerDeviceD3);
    Pass(20);
    EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);
    ASSERT_NE(nullptr, probe->current);
    probe->Finish();
    EXPECT_EQ(STATUS_SUCCESS, waiting->Wait().status);
}

INSTANTIATE_TEST_SUITE_P(Platforms, WakeOrderTest,
                         ::testing::Values(WakeOrderCase{"Current", 6, 0x00, true},
                                           WakeOrderCase{"Legacy", 1, 0x05, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PowerTest, SelectedDeviceStateIsTheDeeperOfTheMappingAndTheWakeState)
{
    ProbeDevice *probe = AddProbeOn(true);
    probe->wakeEnabled = true;
    probe->capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    EXPECT_EQ(PowerDeviceD3, probe->SelectDevicePowerState(PowerSystemSleeping3));
    probe->capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD1;
    EXPECT_EQ(PowerDeviceD2, probe->SelectDevicePowerState(PowerSystemSleeping3));
    EXPECT_EQ(PowerDeviceD3, probe->SelectDevicePowerState(PowerSystemHibernate));  // deeper than SystemWake
    probe->wakeEnabled = false;
    EXPECT_EQ(PowerDeviceD3, probe->SelectDevicePowerState(PowerSystemSleeping3));
    EXPECT_EQ(PowerDeviceD0, probe->SelectDevicePowerState(PowerSystemWorking));
}

TEST_F(PowerTest, AnArmedDeviceSleepsInItsWakeStateAndAWakeSignalBringsItBackAndRearms)
{
    ProbeDevice *probe = AddProbeOn(true);
    ASSERT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeEnable));
    Pass(1);
    ASSERT_TRUE(bus->WaitWakePending());
    EXPECT_EQ(1, probe->waitWakePending);
    ASSERT_EQ(STATUS_SUCCESS, Power().Sleep(PowerSystemSleeping3));
    EXPECT_EQ(PowerDeviceD2, probe->currentDevicePowerState);

    // The device wakes the machine: S0 first, then the wait-wake result
    // powers the device up and arms it again.
    ASSERT_EQ(STATUS_SUCCESS, Power().Wake());
    EXPECT_TRUE(bus->SignalWake());
    Pass(20);
    EXPECT_EQ(PowerDeviceD0, probe->currentDevicePowerState);
    EXPECT_TRUE(bus->WaitWakePending());
    EXPECT_EQ(1, probe->waitWakePending);

    // Disarming cancels the outstanding request.
    EXPECT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeDisable));
    Pass(1);
    EXPECT_FALSE(bus->WaitWakePending());
    EXPECT_EQ(0, probe->waitWakePending);
    EXPECT_EQ(nullptr, probe->waitWakeIrp);
}

TEST_F(PowerTest, RearmingWhileWakeIsNotWantedCancelsInsteadOfArming)
{
    ProbeDevice *probe = AddProbeOn(true);
    ASSERT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeEnable));
    Pass(1);
    ASSERT_TRUE(bus->WaitWakePending());
    probe->wakeEnabled = false;
    EXPECT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeRearm));
    Pass(1);
    EXPECT_FALSE(bus->WaitWakePending());
    EXPECT_EQ(0, probe->waitWakePending);
}

TEST_F(PowerTest, ADeviceThatCannotWakeIsNeverArmed)
{
    ProbeDevice *probe = AddProbeOn(false);
    EXPECT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeEnable));
    EXPECT_TRUE(probe->wakeEnabled);
    EXPECT_EQ(0, probe->waitWakePending);
    EXPECT_EQ(nullptr, probe->waitWakeIrp);
}

TEST_F(PowerTest, AnArmedDeviceIsDisarmedWhenItIsRemoved)
{
    ProbeDevice *probe = AddProbeOn(true);
    auto destroyed = probe->destroyed;
    ASSERT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeEnable));
    Pass(1);
    ASSERT_TRUE(bus->WaitWakePending());
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(node, true));
    EXPECT_TRUE(*destroyed);
}

TEST_F(PowerTest, AnArmedDeviceEndsItsWaitWakeRequestWhenTheMachineGoesOff)
{
    ProbeDevice *probe = AddProbeOn(true);
    auto destroyed = probe->destroyed;
    ASSERT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeEnable));
    Pass(1);
    ASSERT_TRUE(bus->WaitWakePending());
    // Shutdown removes every stack; a request left at a device, or an IRP
    // left allocated, is reported.
    machine.reset();
    EXPECT_TRUE(*destroyed);
}

TEST_F(PowerTest, APowerRequestPassedOnWithoutPoStartNextPowerIrpIsReported)
{
    ProbeDevice *probe = AddProbeOn(false);
    probe->forgetStartNext = true;
    plat::ScopedVerifierCapture capture;
    Power().SendSystemIrp(probe->pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3);
    EXPECT_TRUE(capture.Contains("without PoStartNextPowerIrp")) << ::testing::PrintToString(capture.Messages());
}

TEST_F(PowerTest, APowerRequestSentAbovePassiveToPageablePowerCodeIsReported)
{
    ProbeDevice *probe = AddProbeOn(false);
    ASSERT_NE(0u, probe->deviceObject->Flags & DO_POWER_PAGABLE);
    PIRP irp = IoAllocateIrp(probe->deviceObject->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = IRP_MN_POWER_SEQUENCE;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
            IoFreeIrp(done);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    plat::ScopedVerifierCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PoCallDriver(probe->deviceObject, irp);
    KeLowerIrql(old);
    EXPECT_TRUE(capture.Contains("above PASSIVE_LEVEL")) << ::testing::PrintToString(capture.Messages());
}

// The bus signals wake from a timer at the moment the driver cancels: under
// each seed the two meet at another point, and the request must still end
// exactly once (the verifier reports a second completion, shutdown one that
// never ended).
class WaitWakeRaceTest : public PowerTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        options.seed = static_cast<uint64_t>(GetParam());
        PowerTest::SetUp();
    }
};

TEST_P(WaitWakeRaceTest, CancelRacingCompletionEndsTheRequestExactlyOnce)
{
    ProbeDevice *probe = AddProbeOn(true);
    ASSERT_EQ(STATUS_SUCCESS, probe->SetWakeArming(WakeEnable));
    Pass(1);
    ASSERT_TRUE(bus->WaitWakePending());
    bus->SignalWakeAfter(1);
    Pass(1);
    probe->SetWakeArming(WakeCancel);
    Pass(20);
    plat::PnpManager::Get().Settle();
    // Either the wake won and the device armed itself again, or the cancel
    // won and nothing is armed; the driver's view agrees with the bus's.
    EXPECT_EQ(bus->WaitWakePending(), probe->waitWakePending == 1);
    EXPECT_EQ(bus->WaitWakePending(), probe->waitWakeIrp != nullptr);
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(node, true));
}

INSTANTIATE_TEST_SUITE_P(Seeds, WaitWakeRaceTest, test::Seeds(24));

}  // namespace
