// A driver image for the import check's own test: it calls a routine Wine 8 has only as a stub
// (IoSetCompletionRoutineEx) and one whose Wine version does not do its work
// (MmBuildMdlForNonPagedPool). The lane has stand-ins for neither, so the check must fail it.
// Never loaded anywhere.
#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    PMDL mdl = IoAllocateMdl(DriverObject, 16, FALSE, FALSE, nullptr);
    if (mdl == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    MmBuildMdlForNonPagedPool(mdl);
    PIRP irp = IoAllocateIrp(1, FALSE);
    if (irp != nullptr) {
        IoSetCompletionRoutineEx(DriverObject->DeviceObject, irp, nullptr, nullptr, TRUE, TRUE,
                                 TRUE);
        IoFreeIrp(irp);
    }
    IoFreeMdl(mdl);
    return STATUS_UNSUCCESSFUL;
}
