// Driver loading and the PnP manager.
//
// Every PnP and power request, DriverEntry, AddDevice and DriverUnload runs on one system thread
// of the PnP manager at PASSIVE_LEVEL, one at a time, as the platform serialises PnP work for a
// device. Callers queue the work; the blocking calls wait for it, the Report* calls do not (a
// bus may notice a disconnect on its host-controller thread at DISPATCH_LEVEL).
#include "internal.h"

#include <fmt/format.h>

#include <deque>
#include <map>
#include <thread>

namespace host {
namespace detail {
namespace {

struct DevNode {
    PDRIVER_OBJECT FunctionDriver = nullptr;
    bool SurpriseRemoved = false;
    bool RemoveWhenClosed = false;
    int OpenHandles = 0;
};

class PnpThread {
  public:
    PnpThread() : thread_([this] { Run(); }) {}
    ~PnpThread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void Post(std::function<void()> work) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
        cv_.notify_all();
    }

    template <typename F> auto Call(F work) -> decltype(work()) {
        if (Thread().IsPnpThread)
            return work();
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto future = task.get_future();
        Post([&task] { task(); });
        return future.get();
    }

    bool WaitIdle(std::chrono::steady_clock::duration limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return queue_.empty() && !busy_; });
    }

  private:
    void Run() {
        Thread().IsPnpThread = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            auto work = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            work();
            lock.lock();
            busy_ = false;
            cv_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

PnpThread& Worker() {
    // Never destroyed: a driver stuck in a PnP request must not hang the program's exit too.
    static PnpThread* worker = new PnpThread;
    return *worker;
}

struct PnpState {
    std::mutex Mutex;
    std::map<PDEVICE_OBJECT, DevNode> Nodes;
    PDRIVER_OBJECT FunctionDriver = nullptr;
    std::vector<PnpRecord> History;
};
PnpState& S() {
    static PnpState* state = new PnpState;
    return *state;
}

// Runs on the PnP thread.
RequestResult SendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& prepare) {
    PDEVICE_OBJECT top = AttachedTop(pdo);
    if (!IsLiveDevice(top))
        Unsupported("the PnP manager", "a request to a device stack that no longer exists");
    auto request = std::make_shared<HostRequest>();
    PIRP irp = AllocateHostIrp(top->StackSize, request, {});
    // The platform presets PnP and power requests so that a stack nobody answers reports so.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (prepare)
        prepare(next);
    RequestResult result = SendHostIrp(top, irp, request, {});
    std::lock_guard lock(S().Mutex);
    S().History.push_back({pdo, major, minor, result});
    return result;
}

RequestResult SendRemove(PDEVICE_OBJECT pdo) {
    RequestResult result = SendRequest(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, {});
    std::lock_guard lock(S().Mutex);
    S().Nodes.erase(pdo);
    return result;
}

Pnp::Arrival Arrive(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
    Pnp::Arrival arrival;
    {
        std::lock_guard lock(S().Mutex);
        if (!driver)
            driver = S().FunctionDriver;
    }
    if (!driver || !driver->DriverExtension || !driver->DriverExtension->AddDevice)
        Unsupported("the PnP manager",
                    "a device arrival with no function driver (or one without AddDevice)");
    if (!IsLiveDevice(pdo))
        Unsupported("the PnP manager", "an arrival of something that is not a live device object");
    {
        std::lock_guard lock(S().Mutex);
        S().Nodes[pdo] = DevNode{driver};
    }
    {
        ContextScope scope(driver, nullptr);
        RoutineCheck check("AddDevice", {});
        arrival.AddDevice = driver->DriverExtension->AddDevice(driver, pdo);
        check.Finish();
    }
    if (!NT_SUCCESS(arrival.AddDevice)) {
        std::lock_guard lock(S().Mutex);
        S().Nodes.erase(pdo);
        return arrival;
    }
    PDEVICE_OBJECT top = AttachedTop(pdo);
    if (top == pdo)
        Violate(Check::ObjectMisuse, "AddDevice succeeded but attached no device to the PDO", {});
    else if (top->Flags & DO_DEVICE_INITIALIZING)
        Violate(Check::ObjectMisuse,
                fmt::format("AddDevice left DO_DEVICE_INITIALIZING set on {}", DeviceLabel(top)),
                {});
    arrival.Start = SendRequest(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, {});
    return arrival;
}

void Depart(PDEVICE_OBJECT pdo) {
    // A device whose function stack a remove already took down (a removal the user asked for,
    // then the unplug) has nobody left to tell: the platform only deletes its PDO, which the bus
    // does itself.
    {
        std::lock_guard lock(S().Mutex);
        if (S().Nodes.find(pdo) == S().Nodes.end())
            return;
    }
    SendRequest(pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, {});
    bool removeNow;
    {
        std::lock_guard lock(S().Mutex);
        auto it = S().Nodes.find(pdo);
        if (it == S().Nodes.end())
            return;
        it->second.SurpriseRemoved = true;
        removeNow = it->second.OpenHandles == 0;
        it->second.RemoveWhenClosed = !removeNow;
    }
    if (removeNow)
        SendRemove(pdo);
}

} // namespace

void HandleOpened(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(S().Mutex);
    auto it = S().Nodes.find(pdo);
    if (it != S().Nodes.end())
        it->second.OpenHandles++;
}

void HandleClosed(PDEVICE_OBJECT pdo) {
    bool remove = false;
    {
        std::lock_guard lock(S().Mutex);
        auto it = S().Nodes.find(pdo);
        if (it == S().Nodes.end())
            return;
        remove = --it->second.OpenHandles == 0 && it->second.RemoveWhenClosed;
        if (remove)
            it->second.RemoveWhenClosed = false;
    }
    // The stack of a device that has gone is removed once its last handle is closed.
    if (remove)
        Worker().Post([pdo] { SendRemove(pdo); });
}

bool IsRemovalUnderway(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(S().Mutex);
    auto it = S().Nodes.find(pdo);
    return it != S().Nodes.end() && it->second.SurpriseRemoved;
}

void WaitPnpIdleFor(double realSeconds) {
    if (!Worker().WaitIdle(std::chrono::milliseconds(static_cast<long long>(realSeconds * 1000))))
        Violate(Check::NeverCompleted,
                fmt::format("the PnP manager is still busy after {} s of real time (a PnP request "
                            "never completed?)",
                            realSeconds),
                {});
}

} // namespace detail

using namespace detail;

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name, NTSTATUS* status) {
    PDRIVER_OBJECT driver = NewDriverObject(name, false);
    driver->DriverInit = entry;
    NTSTATUS result = Worker().Call([&] {
        std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                              std::u16string(name.substr(name.rfind(u'\\') + 1));
        UNICODE_STRING registry = MakeUnicode(path);
        ContextScope scope(driver, nullptr);
        RoutineCheck check("DriverEntry", {});
        NTSTATUS s = entry(driver, &registry);
        check.Finish();
        return s;
    });
    if (status)
        *status = result;
    if (!NT_SUCCESS(result)) {
        PoolDriverUnloaded(driver);
        DeleteDriverObject(driver);
        return nullptr;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    Worker().Call([&] {
        if (driver->DeviceObject)
            Violate(Check::ObjectMisuse,
                    fmt::format("driver unloaded while its device objects exist (first: {})",
                                DeviceLabel(driver->DeviceObject)),
                    {});
        if (driver->DriverUnload) {
            ContextScope scope(driver, nullptr);
            RoutineCheck check("DriverUnload", {});
            driver->DriverUnload(driver);
            check.Finish();
        }
        DriverUnloadedRequests(driver);
        PoolDriverUnloaded(driver);
        {
            std::lock_guard lock(S().Mutex);
            if (S().FunctionDriver == driver)
                S().FunctionDriver = nullptr;
        }
        DeleteDriverObject(driver);
    });
}

void Pnp::SetFunctionDriver(PDRIVER_OBJECT driver) {
    std::lock_guard lock(S().Mutex);
    S().FunctionDriver = driver;
}

Pnp::Arrival Pnp::DeviceArrived(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
    return Worker().Call([&] { return Arrive(pdo, functionDriver); });
}

void Pnp::ReportArrival(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
    Worker().Post([pdo, functionDriver] { Arrive(pdo, functionDriver); });
}

void Pnp::ReportDeparture(PDEVICE_OBJECT pdo) {
    Worker().Post([pdo] { Depart(pdo); });
}

void Pnp::DeviceDeparted(PDEVICE_OBJECT pdo) {
    Worker().Call([&] { Depart(pdo); });
}

RequestResult Pnp::Start(PDEVICE_OBJECT pdo) {
    return Worker().Call([&] { return SendRequest(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, {}); });
}

RequestResult Pnp::Stop(PDEVICE_OBJECT pdo) {
    return Worker().Call([&] { return SendRequest(pdo, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, {}); });
}

RequestResult Pnp::SurpriseRemoval(PDEVICE_OBJECT pdo) {
    return Worker().Call([&] { return SendRequest(pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, {}); });
}

RequestResult Pnp::Remove(PDEVICE_OBJECT pdo) {
    return Worker().Call([&] { return SendRemove(pdo); });
}

RequestResult Pnp::QueryCapabilities(PDEVICE_OBJECT pdo, USHORT size, USHORT version,
                                     DEVICE_CAPABILITIES* capabilities) {
    return Worker().Call([&] {
        DEVICE_CAPABILITIES caps{};
        caps.Size = size;
        caps.Version = version;
        caps.Address = 0xFFFFFFFF;
        caps.UINumber = 0xFFFFFFFF;
        RequestResult result =
            SendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
                s->Parameters.DeviceCapabilities.Capabilities = &caps;
            });
        if (capabilities)
            *capabilities = caps;
        return result;
    });
}

RequestResult Pnp::Send(PDEVICE_OBJECT pdo, UCHAR minor,
                        std::function<void(PIO_STACK_LOCATION)> prepare) {
    return Worker().Call([&] { return SendRequest(pdo, IRP_MJ_PNP, minor, prepare); });
}

RequestResult Pnp::Power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                         POWER_STATE state) {
    return Worker().Call([&] {
        return SendRequest(pdo, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION s) {
            s->Parameters.Power.Type = type;
            s->Parameters.Power.State = state;
        });
    });
}

PDEVICE_OBJECT Pnp::TopOf(PDEVICE_OBJECT pdo) {
    if (!IsLiveDevice(pdo))
        return nullptr;
    PDEVICE_OBJECT top = AttachedTop(pdo);
    return IsLiveDevice(top) ? top : nullptr;
}

void Pnp::WaitIdle() {
    Worker().WaitIdle(std::chrono::hours(24));
}

std::vector<PnpRecord> Pnp::History() {
    std::lock_guard lock(S().Mutex);
    return S().History;
}

void Pnp::ClearHistory() {
    std::lock_guard lock(S().Mutex);
    S().History.clear();
}

} // namespace host
