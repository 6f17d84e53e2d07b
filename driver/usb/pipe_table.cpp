// The pipe table and the rules every operation applies before it addresses a pipe by index.
#include "usb/usb.h"

VOID PipeTableLockShared(PDEVICE_EXTENSION Extension) {
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&Extension->PipeTableLock, TRUE);
}

VOID PipeTableLockSharedStarveExclusive(PDEVICE_EXTENSION Extension) {
    KeEnterCriticalRegion();
    ExAcquireSharedStarveExclusive(&Extension->PipeTableLock, TRUE);
}

VOID PipeTableLockExclusive(PDEVICE_EXTENSION Extension) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Extension->PipeTableLock, TRUE);
}

VOID PipeTableUnlock(PDEVICE_EXTENSION Extension) {
    ExReleaseResourceLite(&Extension->PipeTableLock);
    KeLeaveCriticalRegion();
}

NTSTATUS PipeByIndex(PDEVICE_EXTENSION Extension, ULONG PipeIndex, PUSBD_PIPE_INFORMATION* Pipe) {
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

NTSTATUS DataPipeByIndex(PDEVICE_EXTENSION Extension, ULONG PipeIndex, BOOLEAN Isochronous,
                         PUSBD_PIPE_INFORMATION* Pipe) {
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
