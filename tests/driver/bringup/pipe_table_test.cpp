// The pipe table replaced under readers: one thread switches the alternate setting over and over
// while others copy the table and reset and abort pipes by index. Every reader must see one whole
// table (never a freed or half-written one) and every pipe request must carry a handle that a
// table really had. Meant to run under ThreadSanitizer and AddressSanitizer as well.
#include "bringup.h"

#include "tovrik/tovrik.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tovrik_test {
namespace {

class PipeTableTest : public BringupTest {};

TEST_F(PipeTableTest, ReadersNeverSeeATableBeingReplaced) {
    PlugStarted();
    host::Handle handle = Open(0);
    ASSERT_NE(handle, 0u);
    constexpr int kSelections = 300;
    std::atomic<bool> selecting{true};
    std::atomic<int> failures{0};
    std::atomic<int> copies{0};
    std::atomic<int> pipeRequests{0};

    auto checkTable = [&](const host::FrontEnd::IoctlResult& result) {
        if (result.Status != STATUS_SUCCESS) {
            failures++;
            return;
        }
        auto* table = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(result.Output.data());
        const ULONG pipes = table->NumberOfPipes;
        const bool whole = (pipes == 4 || pipes == 2 || pipes == 0) &&
                           table->Length == GET_USBD_INTERFACE_SIZE(pipes) &&
                           result.Information == table->Length &&
                           table->AlternateSetting == (pipes == 4   ? 0
                                                       : pipes == 0 ? 1
                                                                    : 2);
        // The copy names each opened pipe by its index + 1, never by the bus's handle.
        bool handlesKnown = true;
        for (ULONG i = 0; whole && i < pipes; i++) {
            handlesKnown =
                handlesKnown && reinterpret_cast<ULONG_PTR>(table->Pipes[i].PipeHandle) == i + 1;
        }
        if (!whole || !handlesKnown) {
            failures++;
        }
        copies++;
    };

    std::vector<std::thread> readers;
    for (int t = 0; t < 2; t++) {
        readers.emplace_back([&] {
            while (selecting) {
                checkTable(
                    host::FrontEnd::DeviceIoControl(handle, IOCTL_TOVRIK_GET_PIPE_INFO, {}, 512));
            }
        });
    }
    for (ULONG code : {IOCTL_TOVRIK_RESET_PIPE, IOCTL_TOVRIK_ABORT_PIPE}) {
        readers.emplace_back([&, code] {
            const std::uint8_t pipe1[4] = {1, 0, 0, 0};
            while (selecting) {
                NTSTATUS status = host::FrontEnd::DeviceIoControl(handle, code, pipe1, 0).Status;
                // Index 1 exists in two of the three settings.
                if (status != STATUS_SUCCESS && status != STATUS_INVALID_PARAMETER) {
                    failures++;
                }
                pipeRequests++;
            }
        });
    }
    // At least kSelections switches, and on until every reader has had its turn among them: a
    // loaded machine may not run a reader thread before a fixed count of switches is over. The
    // real-time bound only guards against a hang.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < kSelections ||
                    ((copies < 2 || pipeRequests < 2) && std::chrono::steady_clock::now() < giveUp);
         i++) {
        const std::uint8_t selection[2] = {0, static_cast<std::uint8_t>(i % 3)};
        if (host::FrontEnd::DeviceIoControl(handle, IOCTL_TOVRIK_SET_INTERFACE, selection, 0)
                .Status != STATUS_SUCCESS) {
            failures++;
        }
    }
    selecting = false;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(copies.load(), 0);
    EXPECT_GT(pipeRequests.load(), 0);

    // Every pipe request went out with the handle of pipe 1 of a table that had one.
    for (USHORT function : {USHORT{URB_FUNCTION_RESET_PIPE}, USHORT{URB_FUNCTION_ABORT_PIPE}}) {
        for (const SeenRequest& urb : Urbs(function)) {
            ULONG_PTR pipe = reinterpret_cast<ULONG_PTR>(urb.As<_URB_PIPE_REQUEST>().PipeHandle);
            ASSERT_TRUE(pipe == 0x7E000081 || pipe == 0x7E000082) << std::hex << pipe;
        }
    }
    host::FrontEnd::Close(handle);
}

} // namespace
} // namespace tovrik_test
