// The pipe table and the rules every operation applies before it addresses a pipe by index.
#include "usb/usb.h"

_Use_decl_annotations_ VOID PipeTableLockShared(PDEVICE_EXTENSION Extension) {
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&Extension->PipeTableLock, TRUE);
}

_Use_decl_annotations_ VOID PipeTableLockSharedStarveExclusive(PDEVICE_EXTENSION Extension) {
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireSharedStarveExclusive(&Extension->PipeTableLock, TRUE);
}

_Use_decl_annotations_ VOID PipeTableLockExclusive(PDEVICE_EXTENSION Extension) {
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Extension->PipeTableLock, TRUE);
}

_Use_decl_annotations_ VOID PipeTableUnlock(PDEVICE_EXTENSION Extension) {
    PAGED_CODE();
    ExReleaseResourceLite(&Extension->PipeTableLock);
    KeLeaveCriticalRegion();
}

_Use_decl_annotations_ NTSTATUS PipeByIndex(PDEVICE_EXTENSION Extension, ULONG PipeIndex,
                                            PUSBD_PIPE_INFORMATION* Pipe) {
    PUSBD_INTERFACE_INFORMATION table = Extension->InterfaceInfo;

    *Pipe = NULL;
    if (table == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (PipeIndex >= table->NumberOfPipes) {
        return STATUS_INVALID_PARAMETER;
    }
    *Pipe = &table->Pipes[PipeIndex];
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS DataPipeByIndex(PDEVICE_EXTENSION Extension, ULONG PipeIndex,
                                                BOOLEAN Isochronous, PUSBD_PIPE_INFORMATION* Pipe) {
    PUSBD_PIPE_INFORMATION pipe;

    *Pipe = NULL;
    NTSTATUS status = PipeByIndex(Extension, PipeIndex, &pipe);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BOOLEAN typeFits = Isochronous ? pipe->PipeType == UsbdPipeTypeIsochronous
                                   : (pipe->PipeType == UsbdPipeTypeBulk ||
                                      pipe->PipeType == UsbdPipeTypeInterrupt);
    if (!typeFits) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pipe->PipeHandle == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    *Pipe = pipe;
    return STATUS_SUCCESS;
}
