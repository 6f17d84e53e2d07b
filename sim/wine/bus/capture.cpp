// The capture file: pcap records of every URB, queued from any thread and written by the worker.
//
// URBs are submitted and completed in any context (a completion routine of the driver above
// resubmits from the bus's own completions), where a file cannot be written; records therefore go
// into a queue in non-paged pool and the worker writes them out at PASSIVE_LEVEL. A full queue
// drops the record and counts it, so a capture that lost anything says so (the lane's tests
// require none lost). Records are written whole and in the order they were queued.
#include "wine/bus/bus.h"

namespace usbsim {

namespace {

// Enough for the bursts of a chunked frame read (its pieces complete back to back, 64 KiB each)
// while the worker is busy elsewhere.
constexpr ULONG kQueueBytes = 32u << 20;

struct CAPTURE {
    KSPIN_LOCK Lock;    // Head, Tail, Used, counters
    KEVENT WriterMutex; // one writer at a time (the worker, a flush request, a new file)
    HANDLE File;        // writer only
    PUCHAR Queue;       // kQueueBytes, a ring
    ULONG Head;         // next byte to write out
    ULONG Used;         // bytes queued
    BOOLEAN Active;
    NTSTATUS Error; // the first failure writing the file
    ULONG64 Records;
    ULONG64 Bytes;
    ULONG64 Dropped;
};

CAPTURE Capture;

class WriterHold {
  public:
    WriterHold() {
        KeWaitForSingleObject(&Capture.WriterMutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~WriterHold() { KeSetEvent(&Capture.WriterMutex, IO_NO_INCREMENT, FALSE); }
    WriterHold(const WriterHold&) = delete;
    WriterHold& operator=(const WriterHold&) = delete;
};

NTSTATUS WriteFile(const void* bytes, ULONG length) {
    IO_STATUS_BLOCK io;
    LARGE_INTEGER end;
    end.HighPart = -1;
    end.LowPart = FILE_WRITE_TO_END_OF_FILE;
    return ZwWriteFile(Capture.File, nullptr, nullptr, nullptr, &io, const_cast<void*>(bytes),
                       length, &end, nullptr);
}

// Writes what is queued. Writer hold taken.
void DrainLocked() {
    for (;;) {
        ULONG head;
        ULONG used;
        {
            KIRQL irql;
            KeAcquireSpinLock(&Capture.Lock, &irql);
            head = Capture.Head;
            used = Capture.Used;
            KeReleaseSpinLock(&Capture.Lock, irql);
        }
        if (used == 0)
            return;
        // The bytes from Head to the end of the ring or of what is queued, whichever comes first;
        // producers only write past Head + Used, so these stay put while the file takes them.
        const ULONG run = used < kQueueBytes - head ? used : kQueueBytes - head;
        if (Capture.File != nullptr && NT_SUCCESS(Capture.Error)) {
            const NTSTATUS status = WriteFile(Capture.Queue + head, run);
            if (!NT_SUCCESS(status))
                Capture.Error = status;
        }
        KIRQL irql;
        KeAcquireSpinLock(&Capture.Lock, &irql);
        Capture.Head = (head + run) % kQueueBytes;
        Capture.Used -= run;
        KeReleaseSpinLock(&Capture.Lock, irql);
    }
}

// Copies bytes to the end of the queue. Capture lock held, room checked.
void Append(std::span<const std::uint8_t> bytes) {
    const ULONG length = static_cast<ULONG>(bytes.size());
    const ULONG tail = (Capture.Head + Capture.Used) % kQueueBytes;
    const ULONG first = length < kQueueBytes - tail ? length : kQueueBytes - tail;
    RtlCopyMemory(Capture.Queue + tail, bytes.data(), first);
    RtlCopyMemory(Capture.Queue, bytes.data() + first, length - first);
    Capture.Used += length;
}

// An NT path for `name`: "\??\" before a DOS path, an NT path as it is.
bool NtPath(const USHORT* name, ULONG length, UNICODE_STRING& out, WCHAR* storage, ULONG room) {
    static const WCHAR prefix[] = L"\\??\\";
    ULONG at = 0;
    const bool nt =
        length >= 4 && name[0] == L'\\' && name[1] == L'?' && name[2] == L'?' && name[3] == L'\\';
    if (!nt) {
        for (ULONG i = 0; i < 4; ++i)
            storage[at++] = prefix[i];
    }
    if (at + length > room)
        return false;
    for (ULONG i = 0; i < length; ++i)
        storage[at++] = static_cast<WCHAR>(name[i]);
    out.Buffer = storage;
    out.Length = static_cast<USHORT>(at * sizeof(WCHAR));
    out.MaximumLength = static_cast<USHORT>(room * sizeof(WCHAR));
    return true;
}

void CloseLocked() {
    DrainLocked();
    if (Capture.File != nullptr)
        ZwClose(Capture.File);
    Capture.File = nullptr;
}

} // namespace

void InitialiseCapture() {
    KeInitializeSpinLock(&Capture.Lock);
    KeInitializeEvent(&Capture.WriterMutex, SynchronizationEvent, TRUE);
}

NTSTATUS SetCaptureFile(const USHORT* name, ULONG length) {
    WriterHold hold;
    {
        KIRQL irql;
        KeAcquireSpinLock(&Capture.Lock, &irql);
        Capture.Active = FALSE; // nothing more is queued for the old file
        KeReleaseSpinLock(&Capture.Lock, irql);
    }
    CloseLocked();
    if (length == 0)
        return STATUS_SUCCESS;

    if (Capture.Queue == nullptr) {
        Capture.Queue =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kQueueBytes, kPoolTag));
        if (Capture.Queue == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    WCHAR path[300];
    UNICODE_STRING ntName;
    if (!NtPath(name, length, ntName, path, sizeof(path) / sizeof(path[0])))
        return STATUS_NAME_TOO_LONG;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &ntName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE file = nullptr;
    NTSTATUS status = ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status))
        return status;
    Capture.File = file;
    Capture.Error = STATUS_SUCCESS;
    const auto header = sim::usbpcap::FileHeader(sim::usbpcap::DefaultSnapLength);
    status = WriteFile(header.data(), static_cast<ULONG>(header.size()));
    if (!NT_SUCCESS(status)) {
        ZwClose(file);
        Capture.File = nullptr;
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Capture.Lock, &irql);
    Capture.Head = 0;
    Capture.Used = 0;
    Capture.Records = 0;
    Capture.Bytes = sizeof(header);
    Capture.Dropped = 0;
    Capture.Active = TRUE;
    KeReleaseSpinLock(&Capture.Lock, irql);
    return STATUS_SUCCESS;
}

bool CaptureActive() {
    return ReadBooleanAcquire(&Capture.Active) != FALSE;
}

void CaptureRecord(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) {
    const SIZE_T length = header.size() + data.size();
    KIRQL irql;
    KeAcquireSpinLock(&Capture.Lock, &irql);
    if (Capture.Active) {
        if (length > kQueueBytes - Capture.Used) {
            ++Capture.Dropped;
        } else {
            Append(header);
            Append(data);
            ++Capture.Records;
            Capture.Bytes += length;
        }
    }
    KeReleaseSpinLock(&Capture.Lock, irql);
}

void CaptureLost(NTSTATUS status) {
    KIRQL irql;
    KeAcquireSpinLock(&Capture.Lock, &irql);
    if (Capture.Active) {
        ++Capture.Dropped;
        if (NT_SUCCESS(Capture.Error))
            Capture.Error = status;
    }
    KeReleaseSpinLock(&Capture.Lock, irql);
}

void DrainCapture() {
    WriterHold hold;
    DrainLocked();
}

void CaptureState(USBSIM_STATE& state) {
    KIRQL irql;
    KeAcquireSpinLock(&Capture.Lock, &irql);
    state.CaptureActive = Capture.Active;
    state.CaptureError = Capture.Error;
    state.CaptureRecords = Capture.Records;
    state.CaptureBytes = Capture.Bytes;
    state.CaptureDropped = Capture.Dropped;
    KeReleaseSpinLock(&Capture.Lock, irql);
}

} // namespace usbsim
