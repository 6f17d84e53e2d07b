// The lane's stand-ins for kernel routines that Wine's kernel lacks.
//
// Wine 8's ntoskrnl.exe exports IoBuildPartialMdl as a winebuild stub (a call raises an exception
// that ends winedevice.exe, and every driver in it with it), and its MmMapLockedPagesSpecifyCache
// maps nothing: it returns NULL for every MDL (sim/wine/wine-gaps.txt). tovrik.sys imports both:
// every chunked transfer builds a partial MDL per piece, and MmGetSystemAddressForMdlSafe maps an
// MDL that carries no mapping yet. Windows has real versions; the driver keeps calling them. Only
// in this lane, when Wine loads tovrik.sys, the bus replaces those import slots of the image with
// the versions below, written from the routines' documented behaviour, before DriverEntry runs.
// Nothing else in the image is touched, and Windows never runs them.
//
// They count their calls, so a test can see that a transfer really went through them
// (USBSIM_STATE.PartialMdlCalls and MapLockedPagesCalls).
#include "wine/bus/bus.h"

#include <ntimage.h>

namespace usbsim {

namespace {

LONG StandInSlots;
LONG64 PartialMdlCalls;
LONG64 MapLockedPagesCalls;

// TARGET_MDL_TOO_SMALL: Windows stops the machine when the target MDL cannot hold the subrange.
constexpr ULONG kTargetMdlTooSmall = 0x40;
// What Windows does when a driver hands it an MDL range it never described.
constexpr ULONG kDriverCorruptedMmPool = 0xD0;
// NO_MORE_SYSTEM_PTES: a mapping that was required to succeed could not be made.
constexpr ULONG kNoMoreSystemPtes = 0x3F;
// The size of one page number in the MDLs Wine's IoAllocateMdl makes (its PFN_NUMBER is a ULONG).
constexpr ULONG kWinePageNumberBytes = 4;

// Builds TargetMdl as the part of SourceMdl's buffer that starts at VirtualAddress and is Length
// bytes long (0: up to the end of the source). The target describes the same pages as the
// source and is marked MDL_PARTIAL; a part of a non-paged pool buffer keeps that flag and its
// system address (the source's plus the offset), any other part is not mapped yet, whatever the
// source's mapping, so whoever needs its bytes maps it. The subrange must lie inside the source
// and the target must be large enough for its pages, as Windows requires: either mistake stops
// the machine there, here the whole winedevice process.
VOID NTAPI StandInIoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                    ULONG Length) {
    InterlockedIncrement64(&PartialMdlCalls);
    const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(SourceMdl));
    const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    const ULONG sourceBytes = MmGetMdlByteCount(SourceMdl);
    if (address < base || address - base > sourceBytes)
        KeBugCheckEx(kDriverCorruptedMmPool, address, base, sourceBytes, 0);
    const ULONG offset = static_cast<ULONG>(address - base);
    if (Length == 0)
        Length = sourceBytes - offset;
    if (Length > sourceBytes - offset)
        KeBugCheckEx(kDriverCorruptedMmPool, address, Length, sourceBytes, 1);

    // The target must have room for the subrange's pages. Wine's IoAllocateMdl sizes an MDL for
    // 4-byte page numbers (x64 Windows: 8) and never fills them (nothing under Wine does DMA), so
    // the room is counted in Wine's units and no page number is copied.
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    const ULONG size = static_cast<USHORT>(TargetMdl->Size);
    const ULONG room = size < sizeof(MDL) ? 0 : (size - sizeof(MDL)) / kWinePageNumberBytes;
    if (pages > room)
        KeBugCheckEx(kTargetMdlTooSmall, reinterpret_cast<ULONG_PTR>(SourceMdl),
                     reinterpret_cast<ULONG_PTR>(TargetMdl), pages, room);

    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
    TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    TargetMdl->ByteCount = Length;
    CSHORT flags = TargetMdl->MdlFlags & (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED);
    flags |= MDL_PARTIAL;
    if ((SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) != 0) {
        flags |= MDL_SOURCE_IS_NONPAGED_POOL;
        TargetMdl->MappedSystemVa = static_cast<PUCHAR>(SourceMdl->MappedSystemVa) + offset;
    } else {
        TargetMdl->MappedSystemVa = nullptr;
    }
    TargetMdl->MdlFlags = flags;
}

// Maps the pages of a locked MDL into system space (KernelMode), which is all a driver asks of it
// through MmGetSystemAddressForMdlSafe. Wine runs every driver and the buffers of every request
// it passes them in one address space, so the pages an MDL describes are already mapped where it
// says; the mapping is recorded in the MDL as Windows records it, so the next
// MmGetSystemAddressForMdlSafe finds it. A mapping into a user process cannot be made from here
// (the caller's process is another Wine process): it fails with NULL, or stops the process when
// the caller asked for a bug check on failure, as Windows would.
PVOID NTAPI StandInMmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                KPROCESSOR_MODE AccessMode,
                                                MEMORY_CACHING_TYPE CacheType,
                                                PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                                ULONG Priority) {
    InterlockedIncrement64(&MapLockedPagesCalls);
    PMDL mdl = MemoryDescriptorList;
    if (AccessMode != KernelMode) {
        if (BugCheckOnFailure)
            KeBugCheckEx(kNoMoreSystemPtes, 0, MmGetMdlByteCount(mdl), 0, 0);
        return nullptr;
    }
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0)
        return mdl->MappedSystemVa;
    PVOID address = static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if ((mdl->MdlFlags & MDL_PARTIAL) != 0)
        mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return address;
}

struct STAND_IN {
    const char* Name;
    ULONGLONG Routine;
};

const STAND_IN kStandIns[] = {
    {"IoBuildPartialMdl", reinterpret_cast<ULONGLONG>(&StandInIoBuildPartialMdl)},
    {"MmMapLockedPagesSpecifyCache",
     reinterpret_cast<ULONGLONG>(&StandInMmMapLockedPagesSpecifyCache)},
};

bool SameName(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool SameNameIgnoringCase(const char* a, const char* b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    while (*a != 0 && lower(*a) == lower(*b)) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Whether the image's file name (the last component of the path) is tovrik.sys.
bool IsDriverImage(PUNICODE_STRING name) {
    static const WCHAR wanted[] = L"tovrik.sys";
    constexpr USHORT chars = sizeof(wanted) / sizeof(WCHAR) - 1;
    if (name == nullptr || name->Buffer == nullptr || name->Length < chars * sizeof(WCHAR))
        return false;
    const USHORT length = name->Length / sizeof(WCHAR);
    if (length > chars && name->Buffer[length - chars - 1] != L'\\' &&
        name->Buffer[length - chars - 1] != L'/')
        return false;
    const WCHAR* tail = name->Buffer + length - chars;
    for (USHORT i = 0; i < chars; ++i) {
        WCHAR c = tail[i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<WCHAR>(c + 32);
        if (c != wanted[i])
            return false;
    }
    return true;
}

// Replaces, in the import address table of the image at `base`, every slot bound to one of the
// stubbed routines of ntoskrnl.exe. Returns how many slots it replaced.
LONG PatchImports(PUCHAR base) {
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS64>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return 0;
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return 0;
    LONG patched = 0;
    for (auto* module = reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + imports.VirtualAddress);
         module->Name != 0; ++module) {
        if (!SameNameIgnoringCase(reinterpret_cast<const char*>(base + module->Name),
                                  "ntoskrnl.exe"))
            continue;
        auto* names = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if ((names->u1.Ordinal & IMAGE_ORDINAL_FLAG64) != 0)
                continue;
            const char* routine = reinterpret_cast<const char*>(
                reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names->u1.AddressOfData)->Name);
            for (const STAND_IN& standIn : kStandIns) {
                if (SameName(routine, standIn.Name)) {
                    slots->u1.Function = standIn.Routine;
                    ++patched;
                }
            }
        }
    }
    return patched;
}

// Called by Wine's loader for every image it maps, before the image's entry point runs.
VOID NTAPI ImageLoaded(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo) {
    if (ImageInfo == nullptr || !IsDriverImage(FullImageName))
        return;
    const LONG patched = PatchImports(static_cast<PUCHAR>(ImageInfo->ImageBase));
    InterlockedExchange(&StandInSlots, patched);
}

} // namespace

NTSTATUS InstallStandIns() {
    return PsSetLoadImageNotifyRoutine(ImageLoaded);
}

void StandInState(USBSIM_STATE& state) {
    state.StandInSlots = static_cast<uint32_t>(InterlockedCompareExchange(&StandInSlots, 0, 0));
    state.PartialMdlCalls =
        static_cast<uint64_t>(InterlockedCompareExchange64(&PartialMdlCalls, 0, 0));
    state.MapLockedPagesCalls =
        static_cast<uint64_t>(InterlockedCompareExchange64(&MapLockedPagesCalls, 0, 0));
}

} // namespace usbsim
