// The user-mode front end: what CreateFile, CloseHandle and DeviceIoControl make of a caller's
// names and buffers before the driver sees them, and what the caller gets back.
#include "internal.h"

#include <fmt/format.h>

#include <cstring>

// What the platform hands a driver as the file object of an open; the driver never looks
// inside, so the host keeps only what it needs.
struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
};

namespace host {
namespace detail {
namespace {

constexpr CSHORT IoTypeFile = 5;
constexpr unsigned char SystemBufferPattern =
    0xCD; // what a fresh system buffer holds past the input

struct HandleRecord {
    PDEVICE_OBJECT Target; // the top of the stack at open time: where this handle's requests go
    PDEVICE_OBJECT Pdo;
    std::unique_ptr<FILE_OBJECT> File;
};

struct FrontEndState {
    std::mutex Mutex;
    std::unordered_map<Handle, std::shared_ptr<HandleRecord>> Handles;
    Handle Next = 4;
};
FrontEndState& U() {
    static FrontEndState* state = new FrontEndState;
    return *state;
}

std::shared_ptr<HandleRecord> FindHandle(Handle h) {
    std::lock_guard lock(U().Mutex);
    auto it = U().Handles.find(h);
    return it == U().Handles.end() ? nullptr : it->second;
}

void RequirePassive(const char* routine) {
    ThreadState& t = Thread();
    if (t.Irql != PASSIVE_LEVEL || !t.Locks.empty())
        Violate(Check::IrqlMisuse,
                fmt::format(
                    "{} called from a thread at IRQL {} holding {} spin locks; user code runs at "
                    "PASSIVE_LEVEL",
                    routine, t.Irql, t.Locks.size()),
                {});
}

RequestResult SimpleRequest(const HandleRecord& handle, UCHAR major) {
    auto request = std::make_shared<HostRequest>();
    PIRP irp = AllocateHostIrp(handle.Target->StackSize, request, {});
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = handle.File.get();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = handle.File.get();
    return SendHostIrp(handle.Target, irp, request, {});
}

} // namespace
} // namespace detail

using namespace detail;

NTSTATUS FrontEnd::Open(std::u16string_view name, Handle* handle) {
    *handle = 0;
    RequirePassive("FrontEnd::Open");
    PDEVICE_OBJECT device = ResolveName(name);
    if (!device || !IsLiveDevice(device))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (device->Flags & DO_DEVICE_INITIALIZING)
        return STATUS_NO_SUCH_DEVICE;
    auto rec = std::make_shared<HandleRecord>();
    rec->Pdo = BottomOf(device);
    if (IsRemovalUnderway(rec->Pdo))
        return STATUS_DELETE_PENDING;
    rec->Target = AttachedTop(device);
    // The handle holds the device from here on: a remove may delete it, but not from under us.
    if (!ReferenceDevice(rec->Target))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (device->Flags & DO_EXCLUSIVE) {
        std::lock_guard lock(U().Mutex);
        for (auto& [h, other] : U().Handles) {
            if (other->Target == rec->Target) {
                DereferenceDevice(rec->Target);
                return STATUS_ACCESS_DENIED;
            }
        }
    }
    rec->File = std::make_unique<FILE_OBJECT>();
    rec->File->Type = IoTypeFile;
    rec->File->Size = sizeof(FILE_OBJECT);
    rec->File->DeviceObject = device;

    auto request = std::make_shared<HostRequest>();
    PIRP irp = AllocateHostIrp(rec->Target->StackSize, request, {});
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = rec->File.get();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CREATE;
    next->FileObject = rec->File.get();
    RequestResult result = SendHostIrp(rec->Target, irp, request, {});
    if (!NT_SUCCESS(result.Status)) {
        DereferenceDevice(rec->Target);
        return result.Status;
    }
    HandleOpened(rec->Pdo);
    std::lock_guard lock(U().Mutex);
    Handle h = U().Next;
    U().Next += 4;
    U().Handles[h] = std::move(rec);
    *handle = h;
    return result.Status;
}

NTSTATUS FrontEnd::Close(Handle handle) {
    RequirePassive("FrontEnd::Close");
    std::shared_ptr<HandleRecord> rec;
    {
        std::lock_guard lock(U().Mutex);
        auto it = U().Handles.find(handle);
        if (it == U().Handles.end())
            return STATUS_INVALID_HANDLE;
        rec = it->second;
        U().Handles.erase(it);
    }
    // A device deleted under an open handle still gets its cleanup and close, as on the
    // platform: the handle's reference kept it (and its extension) alive until now.
    SimpleRequest(*rec, IRP_MJ_CLEANUP);
    SimpleRequest(*rec, IRP_MJ_CLOSE);
    DereferenceDevice(rec->Target);
    HandleClosed(rec->Pdo);
    return STATUS_SUCCESS;
}

FrontEnd::IoctlResult FrontEnd::DeviceIoControl(Handle handle, ULONG code,
                                                std::span<const std::uint8_t> input,
                                                ULONG outputLength, std::uint8_t poison) {
    std::vector<std::uint8_t> output(outputLength, poison);
    IoctlResult result = DeviceIoControl(handle, code, input, std::span<std::uint8_t>(output));
    result.Output = std::move(output);
    return result;
}

FrontEnd::IoctlResult FrontEnd::DeviceIoControl(Handle handle, ULONG code,
                                                std::span<const std::uint8_t> input,
                                                std::span<std::uint8_t> output) {
    RequirePassive("FrontEnd::DeviceIoControl");
    IoctlResult result;
    auto rec = FindHandle(handle);
    if (!rec) {
        result.Status = result.Returned = STATUS_INVALID_HANDLE;
        return result;
    }
    // The request holds the device as the handle does, in case the handle is closed meanwhile.
    if (!ReferenceDevice(rec->Target, true)) {
        result.Status = result.Returned = STATUS_DEVICE_REMOVED;
        return result;
    }
    auto inLength = static_cast<ULONG>(input.size());
    auto outLength = static_cast<ULONG>(output.size());
    ULONG method = code & 3;
    void* systemBuffer = nullptr;
    PMDL mdl = nullptr;
    if (method == METHOD_BUFFERED && (inLength || outLength)) {
        ULONG length = inLength > outLength ? inLength : outLength;
        systemBuffer = PoolAllocate(NonPagedPool, length, 0x20206F49, {}, true);
        std::memset(systemBuffer, SystemBufferPattern, length);
        if (inLength)
            std::memcpy(systemBuffer, input.data(), inLength);
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (inLength) {
            systemBuffer = PoolAllocate(NonPagedPool, inLength, 0x20206F49, {}, true);
            std::memcpy(systemBuffer, input.data(), inLength);
        }
        if (outLength) {
            mdl = AllocateHostMdl(output.data(), outLength);
            if (method == METHOD_OUT_DIRECT)
                mdl->MdlFlags |= MDL_WRITE_OPERATION;
        }
    }

    auto request = std::make_shared<HostRequest>();
    std::uint8_t* out = output.data();
    HostRequest* self =
        request.get(); // alive while the request holds it, which is when Finish runs
    request->Finish = [self, method, systemBuffer, mdl, out, outLength](PIRP irp) {
        NTSTATUS status = irp->IoStatus.Status;
        bool callerWaits;
        {
            std::lock_guard lock(self->Mutex);
            callerWaits = !self->Abandoned;
        }
        if (callerWaits && method == METHOD_BUFFERED && systemBuffer && outLength &&
            (static_cast<ULONG>(status) >> 30) != 3) {
            std::size_t n = irp->IoStatus.Information;
            if (n > outLength) {
                Violate(
                    Check::BadArgument,
                    fmt::format(
                        "buffered request completed with Information {} past its output length {}",
                        n, outLength),
                    {});
                n = outLength;
            }
            std::memcpy(out, systemBuffer, n);
        }
        if (systemBuffer)
            PoolFree(systemBuffer, {}, true);
        if (mdl)
            FreeHostMdl(mdl);
    };
    PIRP irp = AllocateHostIrp(rec->Target->StackSize, request, {});
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = rec->File.get();
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    irp->MdlAddress = mdl;
    irp->UserBuffer = out;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->FileObject = rec->File.get();
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    if (method == METHOD_NEITHER)
        next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<std::uint8_t*>(input.data());

    RequestResult sent = SendHostIrp(rec->Target, irp, request, {});
    DereferenceDevice(rec->Target);
    result.Returned = sent.Returned;
    result.Status = sent.Status;
    result.Information = sent.Information;
    return result;
}

std::size_t FrontEnd::OpenHandles() {
    std::lock_guard lock(U().Mutex);
    return U().Handles.size();
}

} // namespace host
