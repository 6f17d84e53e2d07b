#include "bus_losses.h"

#include <algorithm>

namespace tovrik::cli {

BusWatch::BusWatch(tovrik::Device& device, std::uint32_t pipe) : device_(device) {
    const tovrik_pipe_info_result table = device.PipeInfo();
    if (table.status < 0 || pipe >= table.pipes_decoded)
        return;
    endpoint_ = table.pipes[pipe].endpoint_address;
    before_ = device_.BusCounters(*endpoint_);
}

void BusWatch::Finish() {
    if (endpoint_ && before_)
        after_ = device_.BusCounters(*endpoint_);
}

std::optional<std::uint64_t> BusWatch::LostOnBus() const {
    if (!before_ || !after_ || after_->lost_packets < before_->lost_packets)
        return std::nullopt;
    return after_->lost_packets - before_->lost_packets;
}

std::optional<std::uint64_t> BusWatch::ControllerLag() const {
    if (!after_)
        return std::nullopt;
    return after_->controller_max_lag_microframes;
}

std::optional<std::uint64_t> BusWatch::CompletionDelay() const {
    if (!after_)
        return std::nullopt;
    return after_->controller_max_completion_delay_microframes;
}

LossSplit SplitLosses(std::uint64_t missing, const BusWatch& watch) {
    LossSplit split;
    split.Missing = missing;
    split.OnBus = watch.LostOnBus();
    if (split.OnBus) {
        // The bus counts every packet it dropped before one it delivered; the tool sees the gaps
        // among the packets it read. Both cover the stream from its first packet on, so what the
        // bus did not drop, the driver's full ring did. The bus may count a few more: those
        // before the URB in flight when the stream stopped, whose packets the driver discards.
        split.RingFull = missing - std::min(missing, *split.OnBus);
    } else {
        split.RingFull = missing;
    }
    return split;
}

} // namespace tovrik::cli
