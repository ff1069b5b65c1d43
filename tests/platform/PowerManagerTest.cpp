// The power manager's serialisation of power requests per device object: one
// system request and one device set-power request at a time, the next let go
// by PoStartNextPowerIrp; device queries pass freely; PoSetPowerState
// reports the previous state.
#include "support/TestMachine.h"

#include <vector>

#include "ke/Scheduler.h"

namespace {

class PowerManagerTest : public test::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        current = this;
        driver = plat::CreateDriverObject(u"\\Driver\\PowerTest", u"PowerTest");
        for (auto &entry : driver->MajorFunction)
            entry = Dispatch;
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override
    {
        for (PIRP irp : held)
            Finish(irp);
        IoDeleteDevice(device);
        plat::DeleteDriverObject(driver);
        current = nullptr;
        MachineTest::TearDown();
    }

    // Every request is held, unstarted, until the test finishes it.
    static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        IoMarkIrpPending(irp);
        current->held.push_back(irp);
        return STATUS_PENDING;
    }
    static void Finish(PIRP irp)
    {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    void Request(UCHAR minor, DEVICE_POWER_STATE state)
    {
        POWER_STATE s;
        s.DeviceState = state;
        ASSERT_EQ(STATUS_PENDING, PoRequestPowerIrp(device, minor, s, nullptr, nullptr, nullptr));
    }
    void Settle()
    {
        LARGE_INTEGER ms{};
        ms.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &ms);
    }
    DEVICE_POWER_STATE StateOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState; }
    PIRP Take(size_t i)
    {
        PIRP irp = held.at(i);
        held.erase(held.begin() + static_cast<long>(i));
        return irp;
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::vector<PIRP> held;
    static inline PowerManagerTest *current = nullptr;
};

TEST_F(PowerManagerTest, ASecondDeviceSetWaitsUntilTheFirstIsStartedNextNotUntilItCompletes)
{
    Request(IRP_MN_SET_POWER, PowerDeviceD3);
    Request(IRP_MN_SET_POWER, PowerDeviceD2);
    Settle();
    // The power manager may pass either on first (each goes down from a
    // worker or at once, by seed); the other waits.
    ASSERT_EQ(1u, held.size());
    PIRP first = Take(0);
    DEVICE_POWER_STATE other = StateOf(first) == PowerDeviceD3 ? PowerDeviceD2 : PowerDeviceD3;
    PoStartNextPowerIrp(first);
    Settle();
    ASSERT_EQ(1u, held.size()) << "PoStartNextPowerIrp did not let the waiting request go";
    EXPECT_EQ(other, StateOf(held[0]));
    PoStartNextPowerIrp(held[0]);
    Finish(first);
    Finish(Take(0));
}

TEST_F(PowerManagerTest, DeviceQueriesAndSystemRequestsDoNotWaitBehindAHeldDeviceSet)
{
    Request(IRP_MN_SET_POWER, PowerDeviceD3);
    Request(IRP_MN_QUERY_POWER, PowerDeviceD3);
    Settle();
    EXPECT_EQ(2u, held.size());

    bool systemDone = false;
    plat::SimThread *system = plat::Scheduler::Get().CreateThread("system set", [&] {
        plat::SendPlatformRequest(device, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION sp) {
            sp->Parameters.Power.Type = SystemPowerState;
            sp->Parameters.Power.State.SystemState = PowerSystemWorking;
        });
        systemDone = true;
    });
    Settle();
    ASSERT_EQ(3u, held.size()) << "the system request waited behind a device request";
    for (PIRP irp : held)
        PoStartNextPowerIrp(irp);
    while (!held.empty())
        Finish(Take(0));
    plat::Scheduler::Get().Join(system);
    EXPECT_TRUE(systemDone);
}

TEST_F(PowerManagerTest, PoSetPowerStateReturnsThePreviousStateOfEachKind)
{
    POWER_STATE d2, s3;
    d2.DeviceState = PowerDeviceD2;
    s3.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(PowerDeviceD0, PoSetPowerState(device, DevicePowerState, d2).DeviceState);
    EXPECT_EQ(PowerDeviceD2, PoSetPowerState(device, DevicePowerState, d2).DeviceState);
    EXPECT_EQ(PowerSystemWorking, PoSetPowerState(device, SystemPowerState, s3).SystemState);
    EXPECT_EQ(PowerSystemSleeping3, PoSetPowerState(device, SystemPowerState, s3).SystemState);
    EXPECT_EQ(PowerDeviceD2, PoSetPowerState(device, DevicePowerState, d2).DeviceState);
}

}  // namespace
