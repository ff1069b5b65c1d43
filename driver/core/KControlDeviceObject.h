// The control device \Device\VEXLINKCDO that the service opens.
#pragma once

#include "KDeviceObject.h"

class KControlDeviceObject : public KDeviceObject {
public:
    explicit KControlDeviceObject(const KDeviceCreation &creation);
    ~KControlDeviceObject() override;

    KSymbolicLink controlLink;
    LONG openCount;
};

// Creates the control device and its link; DriverGlobals.controlDevice stays
// null when the device cannot be created (the failure is raised).
void CreateControlDevice();
