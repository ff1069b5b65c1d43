// The kernel's WMI library: a provider describes its data blocks and
// handlers in a WMILIB_CONTEXT, and WmiSystemControl turns each
// IRP_MJ_SYSTEM_CONTROL request into a call of one of those handlers.
#pragma once

#include "wdm.h"
#include "wmistr.h"

// Minor functions of IRP_MJ_SYSTEM_CONTROL.
#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0b

// Parameters.WMI.DataPath of IRP_MN_REGINFO and IRP_MN_REGINFO_EX.
#define WMIREGISTER 0
#define WMIUPDATE 1

typedef struct {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;  // WMIREG_FLAG_*
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef enum {
    WmiEventControl,
    WmiDataBlockControl,
} WMIENABLEDISABLECONTROL, *PWMIENABLEDISABLECONTROL;

// Registration details the library cannot know. The handler does not
// complete the request.
typedef NTSTATUS WMI_QUERY_REGINFO_CALLBACK(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                            PUNICODE_STRING InstanceName, PUNICODE_STRING *RegistryPath,
                                            PUNICODE_STRING MofResourceName, PDEVICE_OBJECT *Pdo);
typedef WMI_QUERY_REGINFO_CALLBACK *PWMI_QUERY_REGINFO;

// The handlers below finish with WmiCompleteRequest. InstanceLengthArray of a
// query is null when the buffer cannot even hold the instance table.
typedef NTSTATUS WMI_QUERY_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                              ULONG InstanceIndex, ULONG InstanceCount,
                                              PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK *PWMI_QUERY_DATABLOCK;

typedef NTSTATUS WMI_SET_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                            ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATABLOCK_CALLBACK *PWMI_SET_DATABLOCK;

typedef NTSTATUS WMI_SET_DATAITEM_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                           ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                           PUCHAR Buffer);
typedef WMI_SET_DATAITEM_CALLBACK *PWMI_SET_DATAITEM;

typedef NTSTATUS WMI_EXECUTE_METHOD_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                             ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                             ULONG OutBufferSize, PUCHAR Buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK *PWMI_EXECUTE_METHOD;

typedef NTSTATUS WMI_FUNCTION_CONTROL_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                               WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK *PWMI_FUNCTION_CONTROL;

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;  // GuidIndex of the handlers indexes this list
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;      // optional
    PWMI_SET_DATAITEM SetWmiDataItem;        // optional
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;    // optional
    PWMI_FUNCTION_CONTROL WmiFunctionControl;  // optional
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

typedef enum {
    IrpProcessed,     // handled; a handler completed it or will
    IrpNotCompleted,  // status set in the request; the caller completes it
    IrpNotWmi,        // not a WMI request
    IrpForward,       // for another provider, or a block this one does not have
} SYSCTL_IRP_DISPOSITION, *PSYSCTL_IRP_DISPOSITION;

extern "C" {
// PASSIVE_LEVEL.
NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition);
// Fills the WNODE of the request from what the handler reported and completes
// it; a handler's STATUS_BUFFER_TOO_SMALL becomes a WNODE_TOO_SMALL answer.
// Any IRQL up to DISPATCH_LEVEL.
NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost);
}
