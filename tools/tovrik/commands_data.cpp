// Commands that move image data: capture (frames from the bulk image pipe, to PNG and raw
// files), iso (one isochronous transfer) and stream (the driver's isochronous stream, drained
// for a while). They answer like every other command, but never put the data itself in the
// reply: it goes to files, and the reply says which files and how many bytes.
#include "bus_losses.h"
#include "commands.h"
#include "image.h"
#include "packets.h"
#include "progress.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <memory>
#include <thread>

namespace tovrik::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kStatusUnsuccessful = static_cast<std::int32_t>(0xC0000001);

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
double Rate(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0;
}
std::string StatusHex(std::int32_t status) {
    return Hex(static_cast<std::uint32_t>(status), 8);
}

void FromPackets(Reply& reply, const PacketsResult& r, const char* request) {
    reply.Status = r.Status;
    reply.Information = r.Information;
    if (r.Status < 0)
        reply.Failed = request;
}

// A file the command wrote, for the reply.
Json FileEntry(const std::filesystem::path& path, const char* kind) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return Json{{"path", path.string()}, {"kind", kind}, {"bytes", error ? 0 : size}};
}

void AddFileRows(Table& t, const Json& files) {
    bool first = true;
    for (const Json& f : files) {
        t.Add({first ? "files" : "",
               fmt::format("{} ({}, {} bytes)", f["path"].get<std::string>(),
                           f["kind"].get<std::string>(), f["bytes"].get<std::uint64_t>())});
        first = false;
    }
}

void AddErrorRows(Table& t, const PacketStats& stats) {
    for (const auto& [status, count] : stats.Errors)
        t.Add({"", fmt::format("{} packet(s) {} ({})", count,
                               UsbdStatusName(static_cast<std::uint32_t>(status)),
                               Hex(static_cast<std::uint32_t>(status), 8))});
}

// The payload file of iso and stream, when one was asked for; a file that cannot be created is
// the caller's mistake.
PayloadFile OpenPayload(const std::string& output) {
    try {
        return output.empty() ? PayloadFile() : PayloadFile(output);
    } catch (const FileError& e) {
        throw UsageError(e.what());
    }
}

// Closes the payload file and lists it in `files`. A write that failed fails the reply (keeping
// an earlier failure's status) and answers false.
bool ClosePayload(PayloadFile& file, const std::string& output, Reply& reply, Json& files) {
    try {
        file.Close();
        if (!output.empty() && file.Begun())
            files.push_back(FileEntry(output, "payload"));
        return true;
    } catch (const FileError& e) {
        if (reply.Succeeded())
            reply.Status = kStatusUnsuccessful;
        reply.Failed = "write";
        reply.Problem = e.what();
        return false;
    }
}

// What iso and stream both take: the pipe, the packets' size, and how the driver splits the
// packets into URBs; each adds its own count of packets (the transfer's, or the stream's ring).
struct IsoShape {
    std::uint32_t Pipe = 3;
    std::uint32_t PacketSize = 1024;
    std::uint32_t PerUrb = 8;
    std::uint32_t Urbs = 4;
    std::string Output;

    ISO_REQUEST Request(std::uint32_t packets) const {
        return {Pipe, PacketSize, packets, PerUrb, Urbs};
    }
    Json RequestJson(const char* countName, std::uint32_t count) const {
        return Json{{"pipe", Pipe},
                    {"packet_size", PacketSize},
                    {countName, count},
                    {"per_urb", PerUrb},
                    {"urbs", Urbs}};
    }
};

// The options of an IsoShape, with the count between the packets' size and the URBs as the
// driver's request orders them.
void AddIsoShapeOptions(CLI::App* command, IsoShape& shape, const std::string& countOption,
                        std::uint32_t& count, const std::string& countHelp) {
    AddNumber(command, "--pipe", shape.Pipe, "Pipe index of an isochronous endpoint (default 3)");
    AddNumber(command, "--packet-size", shape.PacketSize, "Bytes per packet (default 1024)");
    AddNumber(command, countOption, count, countHelp);
    AddNumber(command, "--per-urb", shape.PerUrb, "Packets per URB (default 8)");
    AddNumber(command, "--urbs", shape.Urbs, "URBs kept in flight (default 4)");
}

// ---------------------------------------------------------------------------------------------
// capture

struct CaptureArgs {
    std::string Method = "chunked";
    std::uint32_t Frames = 1;
    std::uint32_t Width = 1280;
    std::uint32_t Height = 960;
    std::uint32_t Pipe = 2;
    std::string Output;
    std::string Raw;
};

Reply Capture(const CaptureArgs& a, Session& s) {
    const std::uint64_t frameBytes = std::uint64_t{a.Width} * a.Height * 2;
    if (a.Frames == 0 || a.Width == 0 || a.Height == 0)
        throw UsageError("--frames, --width and --height must be at least 1");
    // The driver takes a length of 32 bits.
    if (frameBytes > std::min<std::uint64_t>(kMaxBuffer, std::numeric_limits<std::uint32_t>::max()))
        throw UsageError(fmt::format("a {} x {} frame of 16-bit pixels is too large ({} bytes)",
                                     a.Width, a.Height, frameBytes));
    if (!a.Output.empty() && !CanWritePng())
        throw UsageError("this build of the tool writes no PNG; use --raw");

    const bool bulk = a.Method == "bulk";
    const char* code = bulk ? "IOCTL_TOVRIK_BULK_READ" : "IOCTL_TOVRIK_CHUNKED_READ";
    Reply reply;
    reply.Device = s.DeviceNumber();
    reply.HumanOnFailure = true;
    tovrik::Device& device = s.OpenDevice();
    ProgressLine progress(s.Progress());
    std::vector<std::uint8_t> buffer(frameBytes);
    Json frames = Json::array();
    Json files = Json::array();
    std::uint64_t total = 0;
    std::uint32_t complete = 0;
    std::uint32_t failures = 0;
    double readSeconds = 0;

    for (std::uint32_t i = 0; i < a.Frames; ++i) {
        auto started = Clock::now();
        tovrik_data_result r =
            bulk ? device.BulkRead(a.Pipe, buffer) : device.ChunkedRead(a.Pipe, buffer);
        readSeconds += Seconds(Clock::now() - started);
        const std::uint64_t got =
            r.status >= 0 ? std::min<std::uint64_t>(r.information, frameBytes) : 0;
        const bool whole = r.status >= 0 && got == frameBytes;
        total += got;
        Json entry{{"frame", i + 1},
                   {"status", StatusHex(r.status)},
                   {"status_name", StatusName(r.status)},
                   {"bytes", got},
                   {"complete", whole}};
        if (whole) {
            ++complete;
        } else {
            ++failures;
            if (r.status < 0 && reply.Succeeded()) {
                reply.Status = r.status;
                reply.Failed = code;
            } else if (reply.Problem.empty() && reply.Succeeded()) {
                reply.Problem =
                    fmt::format("frame {} came short: {} of {} bytes", i + 1, got, frameBytes);
            }
        }
        try {
            std::span<const std::uint8_t> data(buffer.data(), got);
            if (!a.Raw.empty() && got > 0) {
                auto path = NumberedPath(a.Raw, i, a.Frames);
                WriteRaw(path, data);
                files.push_back(FileEntry(path, "raw"));
                entry["raw"] = path.string();
            }
            // A short frame is not a picture; its bytes are still in the raw file.
            if (!a.Output.empty() && whole) {
                auto path = NumberedPath(a.Output, i, a.Frames);
                WriteGray16Png(path, a.Width, a.Height, data);
                files.push_back(FileEntry(path, "png"));
                entry["png"] = path.string();
            }
        } catch (const FileError& e) {
            frames.push_back(std::move(entry));
            if (reply.Succeeded())
                reply.Status = kStatusUnsuccessful;
            reply.Failed = "write";
            reply.Problem = e.what();
            break;
        }
        frames.push_back(std::move(entry));
        progress.Show(fmt::format("{} {}/{} frames  {}  {:.1f} MB/s", Bar(i + 1, a.Frames), i + 1,
                                  a.Frames, Megabytes(total), Rate(total, readSeconds)),
                      i + 1 == a.Frames);
    }
    progress.Clear();

    reply.Information = total;
    reply.Fields["method"] = a.Method;
    reply.Fields["pipe"] = a.Pipe;
    reply.Fields["width"] = a.Width;
    reply.Fields["height"] = a.Height;
    reply.Fields["frame_bytes"] = frameBytes;
    reply.Fields["frames"] = a.Frames;
    reply.Fields["frames_complete"] = complete;
    reply.Fields["failures"] = failures;
    reply.Fields["bytes"] = total;
    reply.Fields["seconds"] = readSeconds;
    reply.Fields["mb_per_s"] = Rate(total, readSeconds);
    reply.Fields["files"] = files;
    reply.Fields["frame_results"] = frames;
    if (!reply.Problem.empty())
        reply.Fields["error"] = reply.Problem;
    reply.Human = [a, frameBytes, complete, failures, total, readSeconds, files,
                   frames](std::ostream& out) {
        out << fmt::format(
            "Capture of {} frame(s) of {} x {} ({} bytes each), {} read from pipe {}\n", a.Frames,
            a.Width, a.Height, frameBytes, a.Method, a.Pipe);
        Table t;
        t.Add({"frames", fmt::format("{} of {} complete", complete, a.Frames)});
        t.Add({"bytes", std::to_string(total)});
        t.Add({"time", fmt::format("{:.3f} s", readSeconds)});
        t.Add({"rate", fmt::format("{:.1f} MB/s", Rate(total, readSeconds))});
        t.Add({"failures", std::to_string(failures)});
        for (const Json& f : frames) {
            if (!f["complete"].get<bool>())
                t.Add({"", fmt::format("frame {}: {} bytes, {}", f["frame"].get<std::uint32_t>(),
                                       f["bytes"].get<std::uint64_t>(),
                                       f["status_name"].get<std::string>())});
        }
        AddFileRows(t, files);
        t.Render(out, "  ");
    };
    return reply;
}

// ---------------------------------------------------------------------------------------------
// iso

struct IsoArgs : IsoShape {
    std::uint32_t Packets = 64;
};

Reply Iso(const IsoArgs& a, Session& s) {
    if (std::uint64_t{a.Packets} * (std::uint64_t{a.PacketSize} + 12) > kMaxBuffer)
        throw UsageError(fmt::format("{} packets of {} bytes need more than {} bytes", a.Packets,
                                     a.PacketSize, kMaxBuffer));
    Reply reply;
    reply.Device = s.DeviceNumber();
    reply.HumanOnFailure = true;
    tovrik::Device& device = s.OpenDevice();
    PayloadFile file = OpenPayload(a.Output);
    const ISO_REQUEST request = a.Request(a.Packets);
    BusWatch bus(device, a.Pipe);
    auto started = Clock::now();
    PacketsResult r = device.IsoRead(request);
    double seconds = Seconds(Clock::now() - started);
    bus.Finish();
    FromPackets(reply, r, "IOCTL_TOVRIK_ISO_READ");
    PacketStats stats;
    if (r.Status >= 0) {
        file.Begin();
        for (std::size_t i = 0; i < r.Descriptors.size(); ++i) {
            stats.Add(r.Descriptors[i], r.Packet(i));
            file.Add(r.Descriptors[i], r.Packet(i));
        }
    }
    Json files = Json::array();
    if (!ClosePayload(file, a.Output, reply, files))
        reply.Fields["error"] = reply.Problem;
    reply.Fields["request"] = a.RequestJson("packets", a.Packets);
    const Json counted = stats.ToJson();
    for (const auto& [key, value] : counted.items())
        reply.Fields[key] = value;
    const LossSplit losses = SplitLosses(stats.LostSequenceNumbers(), bus);
    reply.Fields["lost_on_bus"] = losses.OnBus ? Json(*losses.OnBus) : Json(nullptr);
    reply.Fields["seconds"] = seconds;
    reply.Fields["mb_per_s"] = Rate(stats.Bytes, seconds);
    reply.Fields["files"] = files;
    reply.Human = [a, stats, losses, seconds, files](std::ostream& out) {
        out << fmt::format(
            "Isochronous read of {} packets of {} bytes from pipe {} ({} per URB, {} URBs)\n",
            a.Packets, a.PacketSize, a.Pipe, a.PerUrb, a.Urbs);
        Table t;
        t.Add({"packets", std::to_string(stats.Packets)});
        t.Add({"bytes", std::to_string(stats.Bytes)});
        t.Add({"errors", std::to_string(stats.ErrorPackets())});
        AddErrorRows(t, stats);
        t.Add({"short packets",
               fmt::format("{} ({} empty)", stats.ShortPackets, stats.EmptyPackets)});
        t.Add({"sequence gaps",
               fmt::format("{} ({} numbers missing, {} out of order)", stats.SequenceGaps,
                           stats.LostSequenceNumbers(), stats.OutOfOrder)});
        if (losses.OnBus)
            t.Add({"lost on the bus", std::to_string(*losses.OnBus)});
        t.Add({"time", fmt::format("{:.3f} s", seconds)});
        AddFileRows(t, files);
        t.Render(out, "  ");
    };
    return reply;
}

// ---------------------------------------------------------------------------------------------
// stream

struct StreamArgs : IsoShape {
    std::uint32_t Ring = 1024;
    std::optional<std::uint64_t> Packets;
    std::optional<double> Seconds;
    std::optional<std::uint32_t> Read;
    double PollMs = 1.0;
    double IdleSeconds = 2.0;
};

// Kernel time in seconds since `start`, on the system's own (possibly scaled) clock.
double KernelSeconds(const tovrik::System& system, std::uint64_t start) {
    return static_cast<double>(system.Time() - start) / 1e7;
}

// Sleeps `kernelMs` of the system's clock.
void SleepKernel(const tovrik::System& system, double kernelMs) {
    double scale = system.ClockScale();
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(kernelMs / (scale > 0 ? scale : 1)));
}

Reply Stream(const StreamArgs& a, Session& s) {
    if (a.Packets && *a.Packets == 0)
        throw UsageError("--packets must be at least 1 (--seconds runs for a time)");
    if (a.Ring < a.PerUrb)
        throw UsageError(
            fmt::format("--ring must hold at least one URB's {} packets (--per-urb)", a.PerUrb));
    const std::uint32_t read = a.Read.value_or(a.Ring);
    if (read == 0 || read > a.Ring)
        throw UsageError(fmt::format(
            "--read must be 1 to the ring's {} packets (a larger read gets nothing)", a.Ring));
    if (std::uint64_t{read} * (std::uint64_t{a.PacketSize} + 12) > kMaxBuffer)
        throw UsageError(fmt::format("a read of {} packets of {} bytes needs more than {} bytes",
                                     read, a.PacketSize, kMaxBuffer));
    const std::uint64_t count = a.Seconds ? 0 : a.Packets.value_or(2000);

    Reply reply;
    reply.Device = s.DeviceNumber();
    reply.HumanOnFailure = true;
    tovrik::System& system = s.System();
    tovrik::Device& device = s.OpenDevice();
    PayloadFile file = OpenPayload(a.Output);
    ProgressLine progress(s.Progress());
    Json request = a.RequestJson("ring_packets", a.Ring);
    request["read_packets"] = read;
    request["poll_ms"] = a.PollMs;
    if (a.Seconds)
        request["seconds"] = *a.Seconds;
    else
        request["packets"] = count;
    reply.Fields["request"] = request;

    BusWatch bus(device, a.Pipe);
    reply.From(device.StartIsoStream(a.Request(a.Ring)), "IOCTL_TOVRIK_START_ISO_STREAM");
    if (!reply.Succeeded()) {
        file.Close();
        return reply;
    }
    file.Begin();

    const std::uint64_t kernelStart = system.Time();
    const auto realStart = Clock::now();
    std::uint64_t lastArrival = kernelStart;
    auto lastRealArrival = realStart;
    PacketStats stats;
    std::uint64_t reads = 0;
    auto show = [&](bool force) {
        double real = Seconds(Clock::now() - realStart);
        std::string done =
            count != 0
                ? fmt::format("{} {}/{} packets", Bar(stats.Packets, count), stats.Packets, count)
                : fmt::format("{:.2f}/{:.2f} s  {} packets", KernelSeconds(system, kernelStart),
                              *a.Seconds, stats.Packets);
        progress.Show(fmt::format("{}  {}  lost {}  {:.1f} MB/s", done, Megabytes(stats.Bytes),
                                  stats.LostSequenceNumbers(), Rate(stats.Bytes, real)),
                      force);
    };

    for (;;) {
        std::uint32_t want = read;
        if (count != 0) {
            if (stats.Packets >= count)
                break;
            want = static_cast<std::uint32_t>(std::min<std::uint64_t>(read, count - stats.Packets));
        } else if (KernelSeconds(system, kernelStart) >= *a.Seconds) {
            break;
        }
        PacketsResult r = device.ReadIsoStream(a.PacketSize, want);
        ++reads;
        if (r.Status < 0) {
            // Every slot of the stream has ended (its URBs failed): nothing more will come.
            FromPackets(reply, r, "IOCTL_TOVRIK_READ_ISO_STREAM");
            break;
        }
        for (std::size_t i = 0; i < r.Descriptors.size(); ++i) {
            stats.Add(r.Descriptors[i], r.Packet(i));
            file.Add(r.Descriptors[i], r.Packet(i));
        }
        show(false);
        if (!r.Descriptors.empty()) {
            lastArrival = system.Time();
            lastRealArrival = Clock::now();
        }
        // Idle on both clocks: on a fast clock a few real milliseconds of a busy machine are
        // seconds of camera time, and that is no reason to give up.
        if (static_cast<double>(system.Time() - lastArrival) / 1e7 > a.IdleSeconds &&
            Seconds(Clock::now() - lastRealArrival) > a.IdleSeconds) {
            reply.Problem = fmt::format("no packet for {:g} s", a.IdleSeconds);
            break;
        }
        // A read that emptied the rings: give the camera time to fill them again.
        if (r.Descriptors.size() < want)
            SleepKernel(system, a.PollMs);
    }
    const double kernelSeconds = KernelSeconds(system, kernelStart);
    const double realSeconds = Seconds(Clock::now() - realStart);
    show(true);
    progress.Clear();

    // Stop, then read until the driver has released the stream, so that the next start finds
    // the device free. What arrives meanwhile is counted but not kept; its sequence numbers
    // still go into the account of what was lost where, which covers the whole stream.
    PacketStats accounting = stats;
    tovrik_result stop = device.StopIsoStream();
    if (stop.status < 0 && reply.Succeeded())
        reply.From(stop, "IOCTL_TOVRIK_STOP_ISO_STREAM");
    std::uint64_t drained = 0;
    bool ended = false;
    const auto drainLimit = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < drainLimit) {
        PacketsResult r = device.ReadIsoStream(a.PacketSize, read);
        if (r.Status < 0) {
            ended = true;
            break;
        }
        drained += r.Descriptors.size();
        for (std::size_t i = 0; i < r.Descriptors.size(); ++i)
            accounting.Add(r.Descriptors[i], r.Packet(i));
        if (r.Descriptors.empty())
            SleepKernel(system, a.PollMs);
    }
    if (!ended && reply.Problem.empty())
        reply.Problem = "the stream did not end after the stop request";
    bus.Finish();
    const LossSplit losses = SplitLosses(accounting.LostSequenceNumbers(), bus);

    Json files = Json::array();
    ClosePayload(file, a.Output, reply, files);

    reply.Information = stats.Bytes;
    const Json counted = stats.ToJson();
    for (const auto& [key, value] : counted.items())
        reply.Fields[key] = value;
    // Every missing sequence number is a packet that never reached the reader: the bus says
    // how many it dropped, and the driver's full ring dropped the rest. Without a simulated bus
    // the two cannot be told apart.
    reply.Fields["missing_sequence_numbers"] = losses.Missing;
    reply.Fields["lost_on_bus"] = losses.OnBus ? Json(*losses.OnBus) : Json(nullptr);
    reply.Fields["ring_full_drops"] = losses.RingFull;
    reply.Fields["ring_full_drops_source"] =
        losses.OnBus ? "missing sequence numbers less the bus's own count of lost packets"
                     : "inferred from sequence gaps (no bus counters on this system)";
    if (bus.ControllerLag())
        reply.Fields["controller_max_lag_microframes"] = *bus.ControllerLag();
    reply.Fields["reads"] = reads;
    reply.Fields["drained_after_stop"] = drained;
    reply.Fields["stream_ended"] = ended;
    reply.Fields["seconds"] = realSeconds;
    reply.Fields["kernel_seconds"] = kernelSeconds;
    reply.Fields["mb_per_s"] = Rate(stats.Bytes, realSeconds);
    reply.Fields["kernel_mb_per_s"] = Rate(stats.Bytes, kernelSeconds);
    reply.Fields["files"] = files;
    if (!reply.Problem.empty())
        reply.Fields["error"] = reply.Problem;
    reply.Human = [a, stats, losses, reads, drained, realSeconds, kernelSeconds,
                   files](std::ostream& out) {
        out << fmt::format("Isochronous stream from pipe {}: packets of {} bytes, ring of {} "
                           "packets, {} URBs of {} packets\n",
                           a.Pipe, a.PacketSize, a.Ring, a.Urbs, a.PerUrb);
        Table t;
        t.Add({"packets", std::to_string(stats.Packets)});
        t.Add({"bytes", std::to_string(stats.Bytes)});
        if (losses.OnBus) {
            t.Add({"missing numbers",
                   fmt::format("{} (lost on the bus: {}; dropped because the ring was full: {})",
                               losses.Missing, *losses.OnBus, losses.RingFull)});
        } else {
            t.Add({"missing numbers",
                   fmt::format("{} in {} gap(s), dropped by the ring or the bus (this system "
                               "does not count the bus's losses)",
                               losses.Missing, stats.SequenceGaps)});
        }
        t.Add({"errors", std::to_string(stats.ErrorPackets())});
        AddErrorRows(t, stats);
        t.Add({"short packets", std::to_string(stats.ShortPackets)});
        t.Add({"time",
               fmt::format("{:.3f} s ({:.3f} s of camera time)", realSeconds, kernelSeconds)});
        t.Add({"rate",
               fmt::format("{:.1f} MB/s ({:.1f} MB/s of camera time)",
                           Rate(stats.Bytes, realSeconds), Rate(stats.Bytes, kernelSeconds))});
        t.Add({"reads",
               fmt::format("{} (then {} packet(s) drained after the stop)", reads, drained)});
        AddFileRows(t, files);
        t.Render(out, "  ");
    };
    return reply;
}

} // namespace

void RegisterDataCommands(CommandSet& commands, CLI::App& root) {
    auto [capture, ca] = commands.AddWithArgs(
        root, "capture",
        "Read frames from the image pipe (framed by the start and end commands) and write them "
        "as 16-bit grayscale PNG and/or raw files",
        Capture);
    AddChoice(capture, "--method", ca->Method,
              "chunked (64 KiB pieces all queued at once, the default) or bulk (one transfer)",
              {"chunked", "bulk"});
    AddNumber(capture, "--frames", ca->Frames,
              "Frames to read (default 1); several are numbered frame-0001.png ...");
    AddNumber(capture, "--width", ca->Width, "Frame width in pixels (default 1280)");
    AddNumber(capture, "--height", ca->Height, "Frame height in pixels (default 960)");
    AddNumber(capture, "--pipe", ca->Pipe, "Pipe index of the image endpoint (default 2)");
    capture->add_option("--output", ca->Output, "PNG file (16-bit grayscale) for complete frames")
        ->type_name("FILE.png");
    capture
        ->add_option("--raw", ca->Raw,
                     "Raw file: the bytes as they came (little-endian 16-bit pixels)")
        ->type_name("FILE");

    auto [iso, ia] = commands.AddWithArgs(
        root, "iso",
        "One isochronous read: PACKETS packets of PACKET-SIZE bytes carried by URBS URBs of "
        "PER-URB "
        "packets; writes the packets' bytes to a file and counts errors, short packets and "
        "sequence gaps",
        Iso);
    AddIsoShapeOptions(iso, *ia, "--packets", ia->Packets,
                       "Packets in all, a multiple of per-urb x urbs (default 64)");
    iso->add_option("--output", ia->Output, "File for the packets' bytes, one after the other")
        ->type_name("FILE");

    auto [stream, sa] = commands.AddWithArgs(
        root, "stream",
        "Start the isochronous stream, drain it for a packet count or a time, stop it; writes "
        "the packets' bytes to a file and counts lost sequence numbers",
        Stream);
    AddIsoShapeOptions(stream, *sa, "--ring", sa->Ring,
                       "Ring capacity in packets, at least --per-urb (default 1024)");
    auto* packets =
        AddNumber(stream, "--packets", sa->Packets, "Stop after this many packets (default 2000)");
    auto* seconds =
        stream
            ->add_option_function<double>(
                "--seconds", [args = sa](double v) { args->Seconds = v; },
                "Stop after this long of the camera's time (the simulated clock may run scaled)")
            ->check(CLI::PositiveNumber);
    packets->excludes(seconds);
    seconds->excludes(packets);
    AddNumber(stream, "--read", sa->Read,
              "Packets asked for by each read (default: the ring's capacity)");
    stream
        ->add_option("--poll-ms", sa->PollMs,
                     "Wait after a read that emptied the ring, in ms of camera time (default 1)")
        ->check(CLI::NonNegativeNumber);
    stream
        ->add_option("--idle-seconds", sa->IdleSeconds,
                     "Give up when no packet came for this long, of camera time and of real time "
                     "(default 2)")
        ->check(CLI::PositiveNumber);
    stream->add_option("--output", sa->Output, "File for the packets' bytes, one after the other")
        ->type_name("FILE");
}

} // namespace tovrik::cli
