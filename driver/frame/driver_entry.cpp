// Driver entry and unload. The driver keeps no driver-wide state beyond two variables, so there
// is nothing to set up here and nothing to release at unload.
#include "frame/frame.h"
#include "control/control.h"

extern "C" _Use_decl_annotations_ NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                       PUNICODE_STRING RegistryPath) {
    PAGED_CODE();
    (void)RegistryPath;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverUnload = Unload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID Unload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    (void)DriverObject;
}
