// The bus driver's per-device part: what answers requests sent to a physical
// device object. The base answers Plug and Play and power requests the way a
// root enumerator does; buses with more to say override.
#pragma once

#include <string>

#include <wdm.h>

namespace plat {

class PhysicalDevice {
public:
    PhysicalDevice();
    virtual ~PhysicalDevice();
    PhysicalDevice(const PhysicalDevice &) = delete;
    PhysicalDevice &operator=(const PhysicalDevice &) = delete;

    // Handles an IRP sent to the PDO; completes it or pends it.
    virtual NTSTATUS Dispatch(PIRP irp);
    virtual NTSTATUS InternalDeviceControl(PIRP irp);

    // What the bus knows of the device's power abilities: a root-enumerated
    // node has no hardware that could wake the system and sleeps in D3.
    virtual void FillCapabilities(DEVICE_CAPABILITIES &caps);
    // Virtual milliseconds a return to D0 takes on this bus.
    virtual ULONG ResumeMilliseconds() const { return 0; }
    // The device left, or its stack was removed: what the bus still holds
    // for it fails.
    virtual void Disconnect();

    // A wake signal from the hardware: completes a pending wait-wake
    // request with success. False when none was pending.
    bool SignalWake();
    // The same signal from a timer, ms virtual milliseconds from now.
    void SignalWakeAfter(ULONG ms);
    bool WaitWakePending() const { return waitWake_ != nullptr; }

    PDEVICE_OBJECT pdo = nullptr;
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    bool present = true;

protected:
    NTSTATUS Complete(PIRP irp, NTSTATUS status);

private:
    NTSTATUS Pnp(PIRP irp);
    NTSTATUS QueryId(PIRP irp);
    std::u16string Id(BUS_QUERY_ID_TYPE type) const;
    NTSTATUS Power(PIRP irp);
    NTSTATUS WaitWake(PIRP irp);
    void FinishWaitWake(NTSTATUS status);
    static VOID CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);
    static VOID ResumeDone(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID WakeSignalled(PKDPC dpc, PVOID context, PVOID, PVOID);

    PIRP waitWake_ = nullptr;
    PIRP resuming_ = nullptr;
    KTIMER resumeTimer_;
    KDPC resumeDpc_;
    KTIMER wakeTimer_;
    KDPC wakeDpc_;
};

}  // namespace plat
