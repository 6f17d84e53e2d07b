// The request and MDL tables: new IRPs and MDLs, their quarantine once freed, and what the end of
// a test or a driver's unload finds still in them.
#include "requests.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace host {
namespace detail {

namespace {

// Lets a freed IRP's or MDL's memory go once it has sat in quarantine long enough: the oldest
// entry past the quarantine's length leaves the table, unless its address was taken again since.
// Called with the lock.
template <typename Key, typename Record>
void Quarantine(Key object, std::deque<Key>& queue,
                std::unordered_map<Key, std::shared_ptr<Record>>& table,
                bool (*freed)(const Record&)) {
    queue.push_back(object);
    while (queue.size() > QuarantineLength) {
        Key old = queue.front();
        queue.pop_front();
        auto it = table.find(old);
        if (it != table.end() && freed(*it->second)) {
            table.erase(it);
            std::free(old);
        }
    }
}

void QuarantineIrp(PIRP irp) {
    Quarantine<PIRP, IrpRecord>(irp, R().IrpQuarantine, R().Irps,
                                [](const IrpRecord& rec) { return rec.State == IrpState::Freed; });
}

void QuarantineMdl(PMDL mdl) {
    Quarantine<PMDL, MdlRecord>(mdl, R().MdlQuarantine, R().Mdls,
                                [](const MdlRecord& rec) { return rec.Freed; });
}

} // namespace

RequestTables& R() {
    static RequestTables* tables = new RequestTables;
    return *tables;
}

IrpPtr FindIrp(PIRP irp) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Irps.find(irp);
    return it == R().Irps.end() ? nullptr : it->second;
}

MdlPtr FindMdl(PMDL mdl) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Mdls.find(mdl);
    return it == R().Mdls.end() ? nullptr : it->second;
}

IrpPtr FindIrpOrReport(PIRP irp, Check kind, std::string_view what, const CallSite& site) {
    IrpPtr rec = FindIrp(irp);
    if (!rec)
        Violate(kind, fmt::format("{} {}, which is not an IRP", what, Hex(irp)), site);
    return rec;
}

MdlPtr FindMdlOrReport(PMDL mdl, Check kind, std::string_view what, const CallSite& site) {
    MdlPtr rec = FindMdl(mdl);
    if (!rec)
        Violate(kind, fmt::format("{} {}, which is not an MDL", what, Hex(mdl)), site);
    return rec;
}

const Frame* InnermostFrame(PIRP irp) {
    auto& frames = Thread().Frames;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
        if (it->Irp == irp)
            return &*it;
    return nullptr;
}

bool InCompletionOf(PIRP irp) {
    const Frame* f = InnermostFrame(irp);
    return f && f->Kind == FrameKind::Completion;
}

bool ReportIfPassedOn(const IrpRecord& rec, PIRP irp, const char* action, const CallSite& site) {
    const Frame* f = InnermostFrame(irp);
    if (!f || f->Kind != FrameKind::Dispatch ||
        (f->Device == rec.Holder && f->Location <= rec.Location))
        return false;
    Violate(Check::TouchedAfterPassDown,
            fmt::format("{} by the dispatch routine of {}, which had already passed it on to {}",
                        fmt::format(fmt::runtime(action), Describe(rec)), DeviceLabel(f->Device),
                        DeviceLabel(rec.Holder)),
            site);
    return true;
}

void ReportTouchedAfterFree(const IrpRecord& rec, std::string_view what, const CallSite& site) {
    Violate(Check::TouchedAfterFree,
            fmt::format("{} {}, freed at {}", what, Describe(rec), rec.FreeSite.ToString()), site);
}

void InitIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    std::memset(irp, 0, packetSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

PIRP NewIrp(CCHAR stackSize, IrpKind kind, const CallSite& site) {
    std::size_t bytes =
        sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::aligned_alloc(16, (bytes + 15) & ~std::size_t(15)));
    if (!irp)
        return nullptr;
    NoteKernelMemory(irp, bytes);
    InitIrpFields(irp, static_cast<USHORT>(bytes), stackSize);
    RegisterIrp(irp, kind, bytes, stackSize, site);
    return irp;
}

void RegisterIrp(PIRP irp, IrpKind kind, std::size_t bytes, CCHAR stackSize, const CallSite& site) {
    auto rec = std::make_shared<IrpRecord>();
    rec->Irp = irp;
    rec->Kind = kind;
    rec->Bytes = bytes;
    rec->StackCapacity = stackSize;
    rec->AllocSite = site;
    rec->Owner = CurrentContext();
    std::lock_guard lock(R().Mutex);
    rec->Serial = R().NextIrpSerial++;
    R().Irps[irp] = rec; // replaces a quarantined record only if its memory was already released
}

// Marks a record freed and puts its memory in quarantine (IRPs whose memory is the host's).
void ReleaseIrpLocked(const IrpPtr& rec, const CallSite& site) {
    rec->State = IrpState::Freed;
    rec->Generation++;
    rec->FreeSite = site;
    rec->Host.reset();
    if (rec->Kind == IrpKind::CallerStorage)
        return;
    std::memset(rec->Irp, FreedPattern, rec->Bytes);
    QuarantineIrp(rec->Irp);
}

std::string Describe(const IrpRecord& rec) {
    std::string out =
        fmt::format("IRP {} (allocated at {}", Hex(rec.Irp), rec.AllocSite.ToString());
    if (rec.DispatchSite.File || rec.DispatchSite.ReturnAddress)
        out += fmt::format(", last passed to a driver at {}", rec.DispatchSite.ToString());
    if (rec.Holder)
        out += fmt::format(", held by {}", DeviceLabel(rec.Holder));
    return out + ")";
}

void FreeMdlLocked(const MdlPtr& rec, const CallSite& site) {
    rec->Freed = true;
    rec->FreeSite = site;
    std::memset(rec->Mdl, FreedPattern, sizeof(MDL));
    QuarantineMdl(rec->Mdl);
}

PMDL NewMdl(void* va, ULONG length, bool hostOwned, const CallSite& site, PIRP irp) {
    auto address = reinterpret_cast<std::uintptr_t>(va);
    std::size_t pages = ((address & (PAGE_SIZE - 1)) + length + PAGE_SIZE - 1) >> PAGE_SHIFT;
    std::size_t bytes = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    auto* mdl = static_cast<PMDL>(std::calloc(1, bytes));
    if (!mdl)
        return nullptr;
    NoteKernelMemory(mdl, bytes);
    mdl->Size = static_cast<CSHORT>(bytes > 0x7FFF ? 0x7FFF : bytes);
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~std::uintptr_t(PAGE_SIZE - 1));
    mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
    auto rec = std::make_shared<MdlRecord>();
    rec->Mdl = mdl;
    rec->HostOwned = hostOwned;
    rec->Pages = pages;
    rec->Irp = irp;
    rec->Site = site;
    std::lock_guard lock(R().Mutex);
    rec->Serial = R().NextMdlSerial++;
    R().Mdls[mdl] = rec;
    return mdl;
}

std::uintptr_t MdlVa(PMDL mdl) {
    return reinterpret_cast<std::uintptr_t>(MmGetMdlVirtualAddress(mdl));
}

std::uint64_t NextIrpSerial() {
    std::lock_guard lock(R().Mutex);
    return R().NextIrpSerial;
}

std::uint64_t NextMdlSerial() {
    std::lock_guard lock(R().Mutex);
    return R().NextMdlSerial;
}

void IrpStorageFreed(void* p, const CallSite& site) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Irps.find(static_cast<PIRP>(p));
    if (it == R().Irps.end() || it->second->Kind != IrpKind::CallerStorage)
        return;
    IrpPtr rec = it->second;
    if (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending ||
        (rec->State == IrpState::Completing && !InCompletionOf(rec->Irp)))
        Violate(Check::FreedInFlight,
                fmt::format("the pool block holding {} was freed while the request is {}",
                            Describe(*rec), StateName(rec->State)),
                site);
    R().Irps.erase(it);
}

// A completion routine that woke a waiter may still be returning on another thread when that
// waiter goes on to remove and unload: give such walks a moment to unwind before judging.
void LetCompletionsUnwind(PDRIVER_OBJECT driver) {
    for (int attempt = 0; attempt < 2000; attempt++) {
        {
            std::lock_guard lock(R().Mutex);
            bool unwinding = false;
            for (auto& [irp, rec] : R().Irps) {
                bool ours = driver == nullptr || rec->Owner.Driver == driver ||
                            (rec->Holder && rec->Holder->DriverObject == driver);
                if (ours && rec->State == IrpState::Completing) {
                    unwinding = true;
                    break;
                }
            }
            if (!unwinding)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::size_t RequestLeaksSince(std::uint64_t irpSerial, std::uint64_t mdlSerial) {
    LetCompletionsUnwind(nullptr);
    std::vector<std::tuple<Check, std::string, CallSite>> found;
    {
        std::lock_guard lock(R().Mutex);
        for (auto& [irp, rec] : R().Irps) {
            if (rec->Serial < irpSerial || rec->Reported || rec->State == IrpState::Freed)
                continue;
            if (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending ||
                rec->State == IrpState::Completing) {
                rec->Reported = true;
                found.emplace_back(Check::NeverCompleted,
                                   fmt::format("{} is still {} at the end of the test",
                                               Describe(*rec), StateName(rec->State)),
                                   rec->DispatchSite);
            } else if (rec->Kind == IrpKind::Driver) {
                rec->Reported = true;
                found.emplace_back(
                    Check::Leak,
                    fmt::format("{} is still {} (never freed) at the end of the test",
                                Describe(*rec), StateName(rec->State)),
                    rec->AllocSite);
            }
        }
        for (auto& [mdl, rec] : R().Mdls) {
            if (rec->Serial < mdlSerial || rec->Reported || rec->Freed || rec->HostOwned)
                continue;
            rec->Reported = true;
            found.emplace_back(
                Check::Leak,
                fmt::format("MDL {} allocated at {} never freed", Hex(mdl), rec->Site.ToString()),
                rec->Site);
        }
    }
    for (auto& [check, message, site] : found)
        Violate(check, message, site);
    return found.size();
}

void DriverUnloadedRequests(PDRIVER_OBJECT driver) {
    LetCompletionsUnwind(driver);
    std::vector<std::pair<std::string, CallSite>> found;
    {
        std::lock_guard lock(R().Mutex);
        for (auto& [irp, rec] : R().Irps) {
            bool ours =
                rec->Owner.Driver == driver || (rec->Holder && rec->Holder->DriverObject == driver);
            if (!ours || rec->Reported)
                continue;
            if (rec->State == IrpState::Dispatched || rec->State == IrpState::Pending ||
                rec->State == IrpState::Completing) {
                rec->Reported = true;
                found.emplace_back(fmt::format("{} is still {} when its driver is unloaded",
                                               Describe(*rec), StateName(rec->State)),
                                   rec->DispatchSite);
            }
            if (rec->Owner.Driver == driver)
                rec->Owner = {};
        }
    }
    for (auto& [message, site] : found)
        Violate(Check::NeverCompleted, message, site);
}

std::size_t InFlight() {
    std::lock_guard lock(R().Mutex);
    std::size_t n = 0;
    for (auto& [irp, rec] : R().Irps)
        n += rec->State == IrpState::Dispatched || rec->State == IrpState::Pending;
    return n;
}

const char* RequestAddressKind(std::uintptr_t value) {
    std::lock_guard lock(R().Mutex);
    auto irp = R().Irps.find(reinterpret_cast<PIRP>(value));
    if (irp != R().Irps.end() && irp->second->State != IrpState::Freed)
        return "an IRP";
    auto mdl = R().Mdls.find(reinterpret_cast<PMDL>(value));
    if (mdl != R().Mdls.end() && !mdl->second->Freed)
        return "an MDL";
    return nullptr;
}

CallSite CompletionSiteOf(PIRP irp) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Irps.find(irp);
    return it == R().Irps.end() ? CallSite{} : it->second->CompleteSite;
}

std::string StateOf(PIRP irp) {
    std::lock_guard lock(R().Mutex);
    auto it = R().Irps.find(irp);
    return it == R().Irps.end() ? "unknown" : StateName(it->second->State);
}

} // namespace detail

std::string IrpState(PIRP irp) {
    return detail::StateOf(irp);
}
std::size_t IrpsInFlight() {
    return detail::InFlight();
}

} // namespace host
