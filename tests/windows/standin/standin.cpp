// A driver-shaped stand-in for tovrik.sys: just enough to import from ntoskrnl.exe and USBD.SYS
// the way the driver does. Built in good and deliberately broken forms, it shows that the image
// checks pass a loadable driver and name each fault in one that the kernel would not load.
#include "platform/kernel.h"

#if defined(STANDIN_USER_MODE_IMPORTS)
// A user-mode C runtime call and a Win32 call: the mistakes a stray library or a missing
// -nostdlib brings in.
extern "C" __attribute__((dllimport)) void* __cdecl malloc(unsigned long long Size);
extern "C" __attribute__((dllimport)) unsigned long __stdcall GetTickCount(void);
#endif

#if defined(STANDIN_GLOBAL_CONSTRUCTOR)
// A static object with a constructor: the linker lists it for a C runtime that the kernel
// does not have, so the constructor would never run.
struct POOL_HOLDER {
    POOL_HOLDER() { Block = ExAllocatePool(NonPagedPool, 16); }
    PVOID Block;
};
POOL_HOLDER GlobalHolder;
#endif

static DRIVER_UNLOAD StandInUnload;
static VOID NTAPI StandInUnload(PDRIVER_OBJECT DriverObject) {
    (void)DriverObject;
}

static DRIVER_DISPATCH StandInDispatch;
static NTSTATUS NTAPI StandInDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// A routine with the entry point's shape that is not DriverEntry, for the image whose entry
// point was set to the wrong symbol.
extern "C" NTSTATUS NTAPI StandInOtherEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath) {
    (void)DriverObject;
    (void)RegistryPath;
    return STATUS_UNSUCCESSFUL;
}

extern "C" DRIVER_INITIALIZE DriverEntry;
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    DriverObject->DriverUnload = StandInUnload;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = StandInDispatch;

    USBD_VERSION_INFORMATION Version;
    USBD_GetUSBDIVersion(&Version);
    PVOID Block = ExAllocatePool(NonPagedPool, Version.USBDI_Version ? 64 : 32);
    if (Block == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    ExFreePool(Block);

#if defined(STANDIN_USER_MODE_IMPORTS)
    if (malloc(GetTickCount()) == NULL)
        return STATUS_NO_MEMORY;
#endif
#if defined(STANDIN_GLOBAL_CONSTRUCTOR)
    if (GlobalHolder.Block == NULL)
        return STATUS_NO_MEMORY;
#endif
    return STATUS_SUCCESS;
}
