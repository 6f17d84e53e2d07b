// The bus's own thread: it plays the host controller's schedule up to the present, lets the
// devices due to leave the bus leave and the ones waiting arrive, and writes the capture queue to
// its file. It completes requests and calls the PnP manager with no lock held, at PASSIVE_LEVEL
// (Wine runs every thread there: IRQL is not modelled).
#include "wine/bus/bus.h"

namespace usbsim {

namespace {

// How often the thread looks at the schedule while transfers are queued. A microframe is 125 us;
// the schedule catches up on every microframe that passed since the last round, so the period
// decides how late a completion may come, not what the bus moves.
constexpr LONG64 kBusyPeriod = 5'000; // 0.5 ms, in 100-ns units
constexpr LONG64 kIdlePeriod = 1'000'000;

VOID NTAPI WorkerRoutine(PVOID) {
    for (;;) {
        const bool busy = RunSchedule();
        const LONG64 departure = RunPortEvents();
        DrainCapture();
        LONG64 wait = busy ? kBusyPeriod : kIdlePeriod;
        if (departure != 0) {
            const LONG64 until = departure - Now();
            if (until < wait)
                wait = until > 0 ? until : 0;
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -wait;
        KeWaitForSingleObject(&Bus->Wake, Executive, KernelMode, FALSE, &timeout);
    }
}

} // namespace

NTSTATUS StartWorker() {
    HANDLE thread = nullptr;
    const NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr,
                                                 nullptr, WorkerRoutine, nullptr);
    if (NT_SUCCESS(status))
        ZwClose(thread);
    return status;
}

void WakeWorker() {
    KeSetEvent(&Bus->Wake, IO_NO_INCREMENT, FALSE);
}

} // namespace usbsim
