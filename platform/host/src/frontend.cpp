// The user-mode front end: what CreateFile, CloseHandle and DeviceIoControl make of a caller's
// names and buffers before the driver sees them, and what the caller gets back.
#include "faults.h"

#include <fmt/format.h>

#include <algorithm>
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
constexpr ULONG SystemBufferTag = 0x20206F49; // "Io  "

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

// "IOCTL 0x222059 (IRP 0x...)": a request as the front end's reports name it.
std::string RequestLabel(ULONG code, PIRP irp) {
    return fmt::format("IOCTL {:#x} (IRP {})", code, Hex(irp));
}

// The buffers the I/O manager hands a driver for one DeviceIoControl, as its transfer method
// says, and what it does with them when the request ends.
//
// Buffered: one system buffer of max(in, out) bytes, the input copied in; Information bytes of it
// go back to the caller unless the status is an error. Its bytes past the input are fresh pool,
// as on the platform, so a driver that reports more than it wrote is caught handing back pool.
// Direct: the input copied into a system buffer, and an MDL over the output. METHOD_OUT_DIRECT
// locks the caller's buffer for writing and the driver writes it in place. METHOD_IN_DIRECT
// locks it for read access only: the driver gets a copy in pages that are really read-only, so a
// write faults (and is reported) and the caller's buffer never changes.
// Neither: the caller's own pointers.
struct IoctlBuffers {
    IoctlBuffers(ULONG code, std::span<const std::uint8_t> input, std::span<std::uint8_t> output)
        : Code(code), Method(code & 3), InLength(static_cast<ULONG>(input.size())),
          OutLength(static_cast<ULONG>(output.size())), Output(output.data()) {
        if (Method == METHOD_BUFFERED && (InLength || OutLength)) {
            ULONG length = InLength > OutLength ? InLength : OutLength;
            SystemBuffer = PoolAllocate(NonPagedPool, length, SystemBufferTag, {}, true);
            if (InLength)
                std::memcpy(SystemBuffer, input.data(), InLength);
        } else if (Method == METHOD_IN_DIRECT || Method == METHOD_OUT_DIRECT) {
            if (InLength) {
                SystemBuffer = PoolAllocate(NonPagedPool, InLength, SystemBufferTag, {}, true);
                std::memcpy(SystemBuffer, input.data(), InLength);
            }
            if (OutLength && Method == METHOD_IN_DIRECT) {
                View = std::make_unique<ReadOnlyView>(output, output.data());
                Mdl = AllocateHostMdl(View->Data(), OutLength);
            } else if (OutLength) {
                Mdl = AllocateHostMdl(output.data(), OutLength);
                Mdl->MdlFlags |= MDL_WRITE_OPERATION;
            }
        }
    }

    // Puts the buffers where the driver looks for them.
    void HandOver(PIRP irp) const {
        irp->AssociatedIrp.SystemBuffer = SystemBuffer;
        irp->MdlAddress = Mdl;
        irp->UserBuffer = View ? View->Data() : Output;
    }

    // At the top of the completion walk: what goes back to the caller goes back, checked, and the
    // system buffer and the MDL go. The read-only view stays until the caller has looked at it.
    void Finish(PIRP irp, bool callerWaits) {
        NTSTATUS status = irp->IoStatus.Status;
        std::size_t information = irp->IoStatus.Information;
        std::string label = RequestLabel(Code, irp);
        CallSite completed = CompletionSiteOf(irp);
        if (callerWaits && Method == METHOD_BUFFERED && SystemBuffer && OutLength &&
            (static_cast<ULONG>(status) >> 30) != 3) {
            if (information > OutLength) {
                Violate(Check::BadArgument,
                        fmt::format("buffered request completed with Information {} past its "
                                    "output length {}",
                                    information, OutLength),
                        {});
                information = OutLength;
            }
            CheckUserOutput({static_cast<const std::uint8_t*>(SystemBuffer), information}, label,
                            completed);
            std::memcpy(Output, SystemBuffer, information);
        } else if (callerWaits && (Method == METHOD_OUT_DIRECT || Method == METHOD_NEITHER) &&
                   OutLength) {
            CheckUserOutput({Output, std::min<std::size_t>(information, OutLength)}, label,
                            completed);
        }
        if (SystemBuffer)
            PoolFree(SystemBuffer, {}, true);
        if (Mdl)
            FreeHostMdl(Mdl);
        SystemBuffer = nullptr;
        Mdl = nullptr;
    }

    // A write into the read-only output of a METHOD_IN_DIRECT request, said once it has ended.
    void ReportReadOnlyWrite(const std::string& label) const {
        if (!View)
            return;
        auto write = View->FirstWrite();
        if (!write)
            return;
        auto offset = static_cast<std::ptrdiff_t>(write->Address -
                                                  reinterpret_cast<std::uintptr_t>(View->Data()));
        std::string where =
            offset < 0 ? fmt::format("{} bytes before it, in its first page", -offset)
            : static_cast<std::size_t>(offset) >= OutLength
                ? fmt::format("{} bytes past its end, in its last page", offset - OutLength + 1)
                : fmt::format("byte {} of {}", offset, OutLength);
        std::string who =
            write->InDriverRoutine
                ? fmt::format("the {} of {}", RoutineName(write->Kind), DeviceLabel(write->Device))
                : std::string("a thread running no driver routine the host called "
                              "(a bus driver's own thread)");
        Violate(Check::WriteToReadOnlyBuffer,
                fmt::format("{} (METHOD_IN_DIRECT) wrote into its output buffer, which the "
                            "platform locks for read access only: the first write hit {} (address "
                            "{:#x}), from {}; the caller's buffer is unchanged",
                            label, where, write->Address, who),
                SiteOfInstruction(write->Instruction));
    }

    static const char* RoutineName(FrameKind kind) {
        return kind == FrameKind::Dispatch     ? "dispatch routine"
               : kind == FrameKind::Completion ? "completion routine"
                                               : "cancel routine";
    }

    const ULONG Code;
    const ULONG Method;
    const ULONG InLength;
    const ULONG OutLength;
    std::uint8_t* const Output; // the caller's output buffer
    void* SystemBuffer = nullptr;
    PMDL Mdl = nullptr;
    std::unique_ptr<ReadOnlyView> View; // METHOD_IN_DIRECT: the output as the driver sees it
};

} // namespace

const char* FileObjectAddressKind(std::uintptr_t value) {
    std::lock_guard lock(U().Mutex);
    for (const auto& [handle, rec] : U().Handles)
        if (reinterpret_cast<std::uintptr_t>(rec->File.get()) == value)
            return "a file object";
    return nullptr;
}

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
    NoteKernelMemory(rec->File.get(), sizeof(FILE_OBJECT));
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
    auto buffers = std::make_shared<IoctlBuffers>(code, input, output);
    auto request = std::make_shared<HostRequest>();
    HostRequest* self =
        request.get(); // alive while the request holds it, which is when Finish runs
    request->Finish = [self, buffers](PIRP irp) {
        bool callerWaits;
        {
            std::lock_guard lock(self->Mutex);
            callerWaits = !self->Abandoned;
        }
        buffers->Finish(irp, callerWaits);
    };
    PIRP irp = AllocateHostIrp(rec->Target->StackSize, request, {});
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = rec->File.get();
    buffers->HandOver(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->FileObject = rec->File.get();
    next->Parameters.DeviceIoControl.OutputBufferLength = buffers->OutLength;
    next->Parameters.DeviceIoControl.InputBufferLength = buffers->InLength;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    if (buffers->Method == METHOD_NEITHER)
        next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<std::uint8_t*>(input.data());
    std::string label = RequestLabel(code, irp);

    RequestResult sent = SendHostIrp(rec->Target, irp, request, {});
    DereferenceDevice(rec->Target);
    bool finished;
    {
        std::lock_guard lock(self->Mutex);
        finished = self->Done;
    }
    if (finished)
        buffers->ReportReadOnlyWrite(label);
    result.Returned = sent.Returned;
    result.Status = sent.Status;
    result.Information = sent.Information;
    return result;
}

PDEVICE_OBJECT FrontEnd::PdoOf(Handle handle) {
    std::shared_ptr<HandleRecord> rec = FindHandle(handle);
    return rec ? rec->Pdo : nullptr;
}

std::size_t FrontEnd::OpenHandles() {
    std::lock_guard lock(U().Mutex);
    return U().Handles.size();
}

} // namespace host
