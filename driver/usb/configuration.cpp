// Device configuration at start, interface selection, and the unconfigure at stop.
#include "usb/usb.h"
#include "firmware/firmware.h"

namespace {

// A configuration descriptor set is device data: every length in it is checked before it is
// used, so a device that lies about its lengths cannot make anyone read past the block.
#define CONFIGURATION_HEADER_BLOCK 25
#define CONFIGURATION_FIRST_READ 265
#define CONFIGURATION_SLACK 16

// Reads a descriptor from the device into Buffer. On success *Received holds the bytes that
// arrived, never more than were asked for.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ReadDescriptor(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb, _In_ UCHAR DescriptorType,
                   _Out_writes_bytes_to_(Length, *Received) PVOID Buffer, _In_ ULONG Length,
                   _Out_ ULONG* Received) {
    PAGED_CODE();
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;

    RtlZeroMemory(request, sizeof(*request));
    request->Hdr.Length = sizeof(*request);
    request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request->DescriptorType = DescriptorType;
    request->TransferBuffer = Buffer;
    // A set of up to 0xFFFF bytes is read into wTotalLength and some slack.
    request->TransferBufferLength =
        Length < CONTROL_TRANSFER_MAX_LENGTH ? Length : CONTROL_TRANSFER_MAX_LENGTH;

    NTSTATUS status = SubmitUrb(DeviceObject, Urb);
    *Received = request->TransferBufferLength < Length ? request->TransferBufferLength : Length;
    return status;
}

// Replaces the stored configuration handle and pipe table together, under the lock an interface
// selection holds from reading the handle to storing its own table: a selection never pairs one
// configuration's handle with another's table. The old block is freed once no reader can hold it.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    ReplacePipeTable(_Inout_ PDEVICE_EXTENSION Extension, _In_ USBD_CONFIGURATION_HANDLE Handle,
                     _In_opt_ PUSBD_INTERFACE_INFORMATION Table) {
    PAGED_CODE();
    PipeTableLockExclusive(Extension);
    PUSBD_INTERFACE_INFORMATION old = Extension->InterfaceInfo;
    Extension->ConfigurationHandle = Handle;
    Extension->InterfaceInfo = Table;
    PipeTableUnlock(Extension);
    FreePoolIfAllocated(old);
}

// The bus fills the interface information; its Length must describe exactly its pipes and fit
// the URB it came back in before we copy that many bytes.
BOOLEAN InterfaceInfoIsSound(const USBD_INTERFACE_INFORMATION* Info, ULONG Room) {
    if (Room < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        return FALSE;
    }
    return Info->NumberOfPipes <= (Room - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                                      sizeof(USBD_PIPE_INFORMATION) &&
           Info->Length == GET_USBD_INTERFACE_SIZE(Info->NumberOfPipes) && Info->Length <= Room;
}

// A pool copy of the interface information, or NULL when there is no pool.
PUSBD_INTERFACE_INFORMATION CopyInterfaceInfo(const USBD_INTERFACE_INFORMATION* Info) {
    PUSBD_INTERFACE_INFORMATION copy =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePool(NonPagedPool, Info->Length);
    if (copy != NULL) {
        RtlCopyMemory(copy, Info, Info->Length);
    }
    return copy;
}

} // namespace

_Use_decl_annotations_ BOOLEAN ConfigurationSetIsSound(const USB_CONFIGURATION_DESCRIPTOR* Set,
                                                       ULONG Received) {
    if (Received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Set->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return FALSE;
    }
    ULONG total = Set->wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > Received) {
        return FALSE;
    }
    const UCHAR* bytes = (const UCHAR*)Set;
    for (ULONG offset = 0; offset < total;) {
        if (total - offset < sizeof(USB_COMMON_DESCRIPTOR)) {
            return FALSE;
        }
        ULONG length = bytes[offset];
        UCHAR type = bytes[offset + 1];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > total - offset) {
            return FALSE;
        }
        // The parser hands out interface and endpoint descriptors whose fields are read whole.
        if ((type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) ||
            (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR))) {
            return FALSE;
        }
        offset += length;
    }
    return TRUE;
}

_Use_decl_annotations_ NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PUSB_DEVICE_DESCRIPTOR descriptor = NULL;
    NTSTATUS status;

    // The link already exists (and LinkCreated says so) from device creation on.
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                           URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    if (urb == NULL) {
        status = STATUS_NO_MEMORY;
    } else {
        PUSB_DEVICE_DESCRIPTOR block =
            (PUSB_DEVICE_DESCRIPTOR)ExAllocatePool(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR));
        if (block == NULL) {
            status = STATUS_NO_MEMORY;
        } else {
            ULONG received;
            RtlZeroMemory(block, sizeof(*block));
            status = ReadDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, block,
                                    sizeof(*block), &received);
            // A short answer would leave the identity we decide on unread.
            if (NT_SUCCESS(status) && received < sizeof(*block)) {
                status = STATUS_DEVICE_DATA_ERROR;
            }
            FreePoolIfAllocated(extension->DeviceDescriptor);
            extension->DeviceDescriptor = NULL;
            if (NT_SUCCESS(status)) {
                extension->DeviceDescriptor = block;
                descriptor = block;
            } else {
                ExFreePool(block);
            }
        }
        ExFreePool(urb);
    }

    if (NT_SUCCESS(status)) {
        status = ReadConfiguration(DeviceObject);
    }
    // The start delay is taken whatever happened; the download only for a known foreign
    // identity, and a download that failed fails the start.
    NTSTATUS firmware = LoadFirmwareAtStart(DeviceObject, descriptor);
    return NT_SUCCESS(status) && !NT_SUCCESS(firmware) ? firmware : status;
}

_Use_decl_annotations_ NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                           URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    PUCHAR header = (PUCHAR)ExAllocatePool(NonPagedPool, CONFIGURATION_HEADER_BLOCK);
    if (urb == NULL || header == NULL) {
        FreePoolIfAllocated(urb);
        FreePoolIfAllocated(header);
        return STATUS_NO_MEMORY;
    }

    ULONG received;
    RtlZeroMemory(header, CONFIGURATION_HEADER_BLOCK);
    NTSTATUS status = ReadDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                                     sizeof(USB_CONFIGURATION_DESCRIPTOR), &received);
    if (NT_SUCCESS(status) && received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        ExFreePool(header);
        return status;
    }

    ULONG total = ((PUSB_CONFIGURATION_DESCRIPTOR)header)->wTotalLength + CONFIGURATION_SLACK;
    ExFreePool(header);
    PUSB_CONFIGURATION_DESCRIPTOR set =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPool, total);
    if (set == NULL) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(set, total);
    status =
        ReadDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, set, total, &received);
    if (NT_SUCCESS(status)) {
        status = ConfigurationSetIsSound(set, received)
                     ? SelectConfiguration(DeviceObject, set, received)
                     : STATUS_DEVICE_DATA_ERROR;
    }
    ExFreePool(urb);
    ExFreePool(set);
    return status;
}

_Use_decl_annotations_ NTSTATUS
SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG Length) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    (void)Length;

    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    USBD_INTERFACE_LIST_ENTRY interfaces[2] = {{interfaceDescriptor, NULL}, {NULL, NULL}};
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaces);
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }

    // Pipe 2 carries whole images; the others only commands and small transfers.
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interfaceDescriptor->bNumEndpoints && i < info->NumberOfPipes; i++) {
        info->Pipes[i].MaximumTransferSize = (i == 2) ? 0x3FFFFF : 1024;
    }

    // The block's size as the library made it: the bus may rewrite the header, and what it
    // writes must not decide how far we read.
    ULONG room = urb->UrbHeader.Length - FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    NTSTATUS status = SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        if (!InterfaceInfoIsSound(info, room)) {
            status = STATUS_DEVICE_DATA_ERROR;
        } else {
            PUSBD_INTERFACE_INFORMATION copy = CopyInterfaceInfo(info);
            ReplacePipeTable(extension, urb->UrbSelectConfiguration.ConfigurationHandle, copy);
            if (copy == NULL) {
                status = STATUS_NO_MEMORY;
            }
        }
    }
    ExFreePool(urb);
    return status;
}

_Use_decl_annotations_ PUSB_CONFIGURATION_DESCRIPTOR
ReadFullConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                           URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    if (urb == NULL) {
        return NULL;
    }

    ULONG size = CONFIGURATION_FIRST_READ;
    // One enlargement at most: a device whose wTotalLength keeps growing gets no second chance.
    for (ULONG attempt = 0; attempt < 2; attempt++) {
        PUSB_CONFIGURATION_DESCRIPTOR set =
            (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePool(NonPagedPool, size);
        if (set == NULL) {
            break;
        }
        ULONG received;
        RtlZeroMemory(set, size);
        NTSTATUS status = ReadDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, set,
                                         size, &received);
        if (!NT_SUCCESS(status) || received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            set->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            ExFreePool(set);
            break;
        }
        if (set->wTotalLength > size) {
            size = set->wTotalLength;
            ExFreePool(set);
            continue;
        }
        if (!ConfigurationSetIsSound(set, received)) {
            ExFreePool(set);
            break;
        }
        ExFreePool(urb);
        return set;
    }
    ExFreePool(urb);
    return NULL;
}

_Use_decl_annotations_ NTSTATUS SelectAlternateInterface(PDEVICE_OBJECT DeviceObject,
                                                         UCHAR InterfaceNumber,
                                                         UCHAR AlternateSetting) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    PUSB_CONFIGURATION_DESCRIPTOR set = ReadFullConfigurationDescriptor(DeviceObject);
    if (set == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status;
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        set, set, InterfaceNumber, AlternateSetting, -1, -1, -1);
    if (interfaceDescriptor == NULL) {
        ExFreePool(set);
        return STATUS_UNSUCCESSFUL;
    }

    ULONG pipes = interfaceDescriptor->bNumEndpoints;
    // The select-interface request for n pipes: 80 + 24 × (n − 1) bytes, 56 for none.
    ULONG size = sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) +
                 pipes * sizeof(USBD_PIPE_INFORMATION);
    PURB urb = AllocateUrb(size, URB_FUNCTION_SELECT_INTERFACE);
    // The new table's block is taken before the bus switches: once it has, the old table names
    // pipes that are closed, and a device left with no table at all would refuse every pipe
    // request until the next selection.
    ULONG room = size - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
    PUSBD_INTERFACE_INFORMATION table =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePool(NonPagedPool, room);
    if (urb == NULL || table == NULL) {
        FreePoolIfAllocated(urb);
        FreePoolIfAllocated(table);
        ExFreePool(set);
        return STATUS_NO_MEMORY;
    }
    struct _URB_SELECT_INTERFACE* select = &urb->UrbSelectInterface;
    select->Interface.Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes);
    select->Interface.InterfaceNumber = InterfaceNumber;
    select->Interface.AlternateSetting = AlternateSetting;
    for (ULONG i = 0; i < pipes; i++) {
        select->Interface.Pipes[i].MaximumTransferSize = 0xFFFF;
    }

    // Held exclusive across the selection: the pipes the table names close when the bus
    // replaces the interface, so no transfer may be using them meanwhile.
    PipeTableLockExclusive(extension);
    // The handle is read under the lock: a start storing a new configuration stores its handle
    // and its table together.
    select->ConfigurationHandle = extension->ConfigurationHandle;
    // A stream keeps its URBs on a pipe of the current table for as long as it runs.
    status = StreamExists(extension) ? STATUS_DEVICE_BUSY : SubmitUrb(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION old = extension->InterfaceInfo;
        extension->InterfaceInfo = NULL;
        if (InterfaceInfoIsSound(&select->Interface, room)) {
            // The new table's block was sized for the request the bus answered into.
            NT_ASSERT(select->Interface.Length <= room);
            RtlCopyMemory(table, &select->Interface, select->Interface.Length);
            extension->InterfaceInfo = table;
            table = NULL;
        } else {
            status = STATUS_DEVICE_DATA_ERROR;
        }
        FreePoolIfAllocated(old);
    }
    PipeTableUnlock(extension);

    FreePoolIfAllocated(table);
    ExFreePool(urb);
    ExFreePool(set);
    return status;
}

_Use_decl_annotations_ NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PURB urb =
        AllocateUrb(sizeof(struct _URB_SELECT_CONFIGURATION), URB_FUNCTION_SELECT_CONFIGURATION);
    if (urb == NULL) {
        return STATUS_NO_MEMORY;
    }
    // No configuration descriptor: the device goes to the unconfigured state.
    urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    SubmitUrb(DeviceObject, urb);
    ExFreePool(urb);
    return STATUS_SUCCESS;
}
