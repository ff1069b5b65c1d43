// The table that pairs scanners with virtual ports, and the add-device
// routine that fills it.
#pragma once

#include "Portability.h"

class KScannerFunction;
class KVirtualSerialPort;

struct PortTableEntry {
    KScannerFunction *scanner;
    KVirtualSerialPort *port;
};

// PASSIVE_LEVEL, Plug and Play context.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// Start of the scanner destructor: the scanner leaves its slot and its port.
void UnlinkScanner(KScannerFunction *scanner);
// Start of the port destructor: the port leaves its slot; the last port
// takes the table and the control device with it.
void ReleasePortSlot(KVirtualSerialPort *port);
// Frees the table if it exists (driver unload).
void ReleasePortTable();
