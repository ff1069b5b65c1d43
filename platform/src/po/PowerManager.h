// Power manager of the simulated machine: power requests for device stacks
// (PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp) and the system's
// transitions between working, sleeping and hibernating.
#pragma once

#include <wdm.h>

namespace plat {

class PowerManager {
public:
    static PowerManager &Get();

    SYSTEM_POWER_STATE SystemState() const { return systemState_; }
    // From a simulated thread at PASSIVE_LEVEL. Every started stack is asked
    // with IRP_MN_QUERY_POWER, deepest first; a refusal sends the working
    // state to the stacks already asked and is returned. Then every stack
    // gets IRP_MN_SET_POWER in the same order.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    // Back to PowerSystemWorking, parents first. Returns once every system
    // request has completed (device requests may still be running).
    NTSTATUS Wake();
    // Sends one system power request to the top of the PDO's stack and
    // waits for it.
    NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

    void Boot() { systemState_ = PowerSystemWorking; }

private:
    SYSTEM_POWER_STATE systemState_ = PowerSystemWorking;
};

}  // namespace plat
