// Memory descriptor lists: allocation (attached to a request when asked), partial MDLs checked
// against their source, mappings into system space, and the MDLs the front end builds itself.
#include "requests.h"

#include <fmt/format.h>

#include <cstring>

namespace host {
namespace detail {

// ---------------------------------------------------------------------------------------------
// System mappings of MDLs

namespace {
struct MappingLog {
    std::mutex Mutex;
    std::deque<MdlMapping> Entries;
};
MappingLog& Mappings() {
    static MappingLog* log = new MappingLog;
    return *log;
}
void NoteMapping(const MdlMapping& mapping) {
    std::lock_guard lock(Mappings().Mutex);
    Mappings().Entries.push_back(mapping);
    if (Mappings().Entries.size() > 4096)
        Mappings().Entries.pop_front();
}

// The record of an MDL `routine` was handed, if it is live; a freed or unknown one is reported.
MdlPtr LiveMdlOrReport(PMDL mdl, const char* routine, const CallSite& site) {
    MdlPtr rec = FindMdl(mdl);
    if (rec && !rec->Freed)
        return rec;
    Violate(rec ? Check::TouchedAfterFree : Check::BadArgument,
            fmt::format("{} of {}, not a live MDL", routine, Hex(mdl)), site);
    return nullptr;
}
} // namespace

void ClearMdlMappings() {
    std::lock_guard lock(Mappings().Mutex);
    Mappings().Entries.clear();
}

// Maps the pages of a locked MDL into system space. Host memory is always mapped, so the system
// address is the described address; what the platform can refuse (system address space running
// short) fault injection refuses, and then the caller gets NULL or, if it asked for it, a bug
// check.
PVOID MapMdl(const char* routine, PMDL mdl, MEMORY_CACHING_TYPE cacheType, ULONG bugCheckOnFailure,
             ULONG priority, bool safe, const CallSite& site) {
    ReportIrqlAbove(DISPATCH_LEVEL, routine, site);
    if (!LiveMdlOrReport(mdl, routine, site))
        return nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL))) {
        Violate(Check::BadArgument,
                fmt::format("{} of {}, whose pages are not locked", routine, Hex(mdl)), site);
        return nullptr;
    }
    MdlMapping mapping{mdl,
                       safe,
                       cacheType,
                       priority & ~(MdlMappingNoWrite | MdlMappingNoExecute),
                       (priority & MdlMappingNoExecute) != 0,
                       (priority & MdlMappingNoWrite) != 0,
                       false,
                       site};
    if (FaultInjection::ShouldFail(AllocationKind::Mapping, site)) {
        mapping.Failed = true;
        NoteMapping(mapping);
        if (bugCheckOnFailure)
            BugCheck(fmt::format("{} could not map the {} bytes of MDL {} into system space (the "
                                 "platform stops: no more system PTEs)",
                                 routine, mdl->ByteCount, Hex(mdl)),
                     site);
        return nullptr;
    }
    NoteMapping(mapping);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (mdl->MdlFlags & MDL_PARTIAL)
        mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return mdl->MappedSystemVa;
}

// ---------------------------------------------------------------------------------------------
// MDLs the host makes for itself

PMDL AllocateHostMdl(void* va, ULONG length) {
    PMDL mdl = NewMdl(va, length, true, {});
    if (!mdl)
        Unsupported("the front end's MDL", "running out of memory");
    // The buffer is locked for the request, as probing and locking a caller's buffer leaves it;
    // it is not mapped into system space.
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    return mdl;
}

void FreeHostMdl(PMDL mdl) {
    MdlPtr rec = FindMdl(mdl);
    std::lock_guard lock(R().Mutex);
    if (rec && !rec->Freed)
        FreeMdlLocked(rec, {});
}

} // namespace detail

std::vector<MdlMapping> MdlMappings() {
    std::lock_guard lock(detail::Mappings().Mutex);
    return {detail::Mappings().Entries.begin(), detail::Mappings().Entries.end()};
}

} // namespace host

using namespace host;
using namespace host::detail;

extern "C" {

// ---------------------------------------------------------------------------------------------
// MDLs

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    CallSite site = HOST_SITE();
    if (Thread().Irql > DISPATCH_LEVEL)
        Violate(Check::AllocationAboveDispatch,
                fmt::format("IoAllocateMdl at IRQL {}", Thread().Irql), site);
    // The platform describes at most 64 MB less a page in one MDL; larger requests get none.
    if (Length > 64u * 1024 * 1024 - PAGE_SIZE)
        return nullptr;
    if (FaultInjection::ShouldFail(AllocationKind::Mdl, site))
        return nullptr;
    IrpPtr irpRec;
    if (Irp) {
        irpRec = FindIrpOrReport(Irp, Check::BadArgument, "IoAllocateMdl for", site);
        if (!irpRec)
            return nullptr;
    }
    PMDL mdl = NewMdl(VirtualAddress, Length, false, site, Irp);
    if (!mdl)
        return nullptr;
    if (Irp) {
        if (!SecondaryBuffer) {
            if (Irp->MdlAddress)
                Violate(Check::BadArgument,
                        fmt::format(
                            "IoAllocateMdl replaces MDL {} of {} (pass SecondaryBuffer to chain)",
                            Hex(Irp->MdlAddress), Hex(Irp)),
                        site);
            Irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &Irp->MdlAddress;
            while (*tail)
                tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    CallSite site = HOST_SITE();
    MdlPtr source, target;
    {
        std::lock_guard lock(R().Mutex);
        if (auto it = R().Mdls.find(SourceMdl); it != R().Mdls.end())
            source = it->second;
        if (auto it = R().Mdls.find(TargetMdl); it != R().Mdls.end())
            target = it->second;
    }
    if (!source || source->Freed || !target || target->Freed) {
        Violate(!source || !target ? Check::BadArgument : Check::TouchedAfterFree,
                fmt::format("IoBuildPartialMdl from {} into {}: both must be live MDLs",
                            Hex(SourceMdl), Hex(TargetMdl)),
                site);
        return;
    }
    if (target->HostOwned) {
        Violate(Check::BadArgument, "IoBuildPartialMdl into an MDL the I/O manager owns", site);
        return;
    }
    std::uintptr_t begin = MdlVa(SourceMdl);
    std::uintptr_t end = begin + SourceMdl->ByteCount;
    auto va = reinterpret_cast<std::uintptr_t>(VirtualAddress);
    std::uint64_t length = Length ? Length : (va < end ? end - va : 0);
    if (va < begin || va + length > end || (Length == 0 && va >= end)) {
        Violate(
            Check::MdlRange,
            fmt::format(
                "IoBuildPartialMdl of {:#x}..{:#x} ({} bytes) outside its source MDL {:#x}..{:#x}",
                va, va + length, length, begin, end),
            site);
        return;
    }
    if (!(SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
        Violate(Check::BadArgument,
                "IoBuildPartialMdl from an MDL whose pages are neither locked nor non-paged pool",
                site);
        return;
    }
    std::size_t pages = ((va & (PAGE_SIZE - 1)) + length + PAGE_SIZE - 1) >> PAGE_SHIFT;
    if (pages > target->Pages) {
        Violate(Check::MdlRange,
                fmt::format("IoBuildPartialMdl of {} pages into an MDL sized for {}", pages,
                            target->Pages),
                site);
        return;
    }
    TargetMdl->StartVa = reinterpret_cast<PVOID>(va & ~std::uintptr_t(PAGE_SIZE - 1));
    TargetMdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
    TargetMdl->ByteCount = static_cast<ULONG>(length);
    TargetMdl->Process = SourceMdl->Process;
    auto inherited =
        static_cast<CSHORT>(SourceMdl->MdlFlags &
                            (MDL_SOURCE_IS_NONPAGED_POOL | MDL_WRITE_OPERATION | MDL_IO_PAGE_READ));
    TargetMdl->MdlFlags = static_cast<CSHORT>(MDL_PARTIAL | inherited |
                                              (TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE));
    TargetMdl->MappedSystemVa =
        (inherited & MDL_SOURCE_IS_NONPAGED_POOL) ? VirtualAddress : nullptr;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    CallSite site = HOST_SITE();
    MdlPtr rec = FindMdlOrReport(Mdl, Check::BadFree, "IoFreeMdl of", site);
    if (!rec)
        return;
    // Checked and freed in one hold of the lock: of two threads freeing one MDL at once, one
    // frees it and the other is told it was already freed.
    std::lock_guard lock(R().Mutex);
    if (rec->Freed) {
        Violate(
            Check::BadFree,
            fmt::format("IoFreeMdl of {}, already freed at {}", Hex(Mdl), rec->FreeSite.ToString()),
            site);
        return;
    }
    if (rec->HostOwned) {
        Violate(Check::BadFree,
                fmt::format("IoFreeMdl of {}, an MDL the I/O manager owns", Hex(Mdl)), site);
        return;
    }
    if (rec->Irp) {
        if (auto it = R().Irps.find(rec->Irp); it != R().Irps.end()) {
            const IrpRecord& irpRec = *it->second;
            if (irpRec.State == IrpState::Dispatched || irpRec.State == IrpState::Pending) {
                Violate(Check::FreedInFlight,
                        fmt::format("IoFreeMdl of {} while its {} is {}", Hex(Mdl),
                                    Describe(irpRec), StateName(irpRec.State)),
                        site);
                return;
            }
        }
    }
    FreeMdlLocked(rec, site);
}

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    CallSite site = HOST_SITE();
    if (AccessMode != KernelMode)
        Unsupported("MmMapLockedPages", "mapping into user space");
    // The platform has no way to say "no" here: a kernel-mode mapping it cannot make stops the
    // machine, which is why drivers use MmMapLockedPagesSpecifyCache instead.
    return MapMdl("MmMapLockedPages", MemoryDescriptorList, MmCached, TRUE, NormalPagePriority,
                  false, site);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
    CallSite site = HOST_SITE();
    if (AccessMode != KernelMode)
        Unsupported("MmMapLockedPagesSpecifyCache", "mapping into user space");
    if (RequestedAddress) {
        Violate(Check::BadArgument,
                "MmMapLockedPagesSpecifyCache with a requested address for a kernel-mode mapping",
                site);
        return nullptr;
    }
    if (CacheType != MmCached && CacheType != MmNonCached) {
        Violate(Check::BadArgument,
                fmt::format("MmMapLockedPagesSpecifyCache with caching type {}",
                            static_cast<int>(CacheType)),
                site);
        return nullptr;
    }
    ULONG priority = Priority & ~(MdlMappingNoWrite | MdlMappingNoExecute);
    if (priority != LowPagePriority && priority != NormalPagePriority &&
        priority != HighPagePriority) {
        Violate(Check::BadArgument,
                fmt::format("MmMapLockedPagesSpecifyCache with page priority {:#x}", Priority),
                site);
        return nullptr;
    }
    return MapMdl("MmMapLockedPagesSpecifyCache", MemoryDescriptorList, CacheType,
                  BugCheckOnFailure, Priority, true, site);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    CallSite site = HOST_SITE();
    if (!LiveMdlOrReport(MemoryDescriptorList, "MmBuildMdlForNonPagedPool", site))
        return;
    PMDL mdl = MemoryDescriptorList;
    if (!IsInPool(MmGetMdlVirtualAddress(mdl), mdl->ByteCount)) {
        Violate(Check::BadArgument,
                fmt::format(
                    "MmBuildMdlForNonPagedPool of {}: {} bytes at {} are not inside one pool block",
                    Hex(mdl), mdl->ByteCount, Hex(MmGetMdlVirtualAddress(mdl))),
                site);
        return;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

} // extern "C"
