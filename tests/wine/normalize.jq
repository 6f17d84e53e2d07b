# One shell answer with the fields the two kernels may rightly answer differently taken out; what
# is left must be identical. Each exclusion carries a handle, an address or a time:
#
# - interface_handle, pipe_handle: handles the bus driver makes up (an address on the host bus, a
#   serial under Wine). Their bytes inside `output` (the pipe table as the driver returns it) are
#   replaced by "<handle>" by value; every other byte of it is compared.
# - the frame number (frame_number, and the output of IOCTL_TOVRIK_GET_FRAME_NUMBER): the bus's
#   clock.
# - seconds, kernel_seconds, mb_per_s, kernel_mb_per_s: how long a command took.
# - first_sequence, last_sequence: the camera stamps each isochronous packet with the microframe it
#   was sent in, so where a read starts in that count is a time.
# - reads, drained_after_stop: how many stream reads the tool needed and how many packets were
#   still in the rings when it stopped, which depend on how fast this machine ran the tool.
# - lost_on_bus, controller_max_lag_microframes, ring_full_drops_source: what the host tool reads
#   from its own simulated bus (its loss counter, how far its controller lagged the clock, and so
#   where the drop count came from); a Windows system has no such counters, so the tool under
#   Wine says null and "no bus counters". The drop count itself and the sequence-number counts
#   stay compared, with one exception:
# - sequence_gaps, lost_sequence_numbers, missing_sequence_numbers where the host's own bus lost
#   packets and that loss accounts for every missing number: the host's bus keeps real time, so
#   on a busy machine a resubmission that came late leaves microframes with no packet slot, and
#   the camera's packets of those microframes are lost on the bus, as on a real one. Such an
#   answer is compared as a lossless bus would have given it (no gaps, no missing numbers); a
#   missing number the bus does not account for stays, and is compared.
def le_bytes: ltrimstr("0x") | ascii_downcase | ("0000000000000000" + .)[-16:]
  | [range(0; 16; 2) as $i | .[$i:$i + 2]] | reverse | join("");
def handles: [.. | objects | (.interface_handle?, .pipe_handle?) | strings | le_bytes];

(handles) as $handles
| if (.output | type) == "string" then
    .output = reduce $handles[] as $h (.output; gsub($h; "<handle>"))
  else . end
| if (.lost_on_bus | type) == "number" and .lost_on_bus > 0
     and (.missing_sequence_numbers // .lost_sequence_numbers) == .lost_on_bus then
    .sequence_gaps = 0
    | with_entries(if .key == "lost_sequence_numbers" or .key == "missing_sequence_numbers"
                   then .value = 0 else . end)
  else . end
| if (.command == "frame-number" or .code_name == "IOCTL_TOVRIK_GET_FRAME_NUMBER")
     and .status == "0x00000000" then .output = "<time>" else . end
| walk(if type == "object" then
         del(.interface_handle, .pipe_handle, .frame_number, .seconds, .kernel_seconds,
             .mb_per_s, .kernel_mb_per_s, .first_sequence, .last_sequence, .reads,
             .drained_after_stop, .lost_on_bus, .controller_max_lag_microframes,
             .ring_full_drops_source)
       else . end)
