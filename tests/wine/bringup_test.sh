#!/usr/bin/env bash
# A camera that arrives without firmware, under the real driver on Wine's kernel, captured by the
# bus (scripts/wine.sh --pcap): tshark reads the capture without a malformed packet or a warning;
# the download in it is the host kernel's for the same camera, write for write (device, request,
# address, bytes), and holds every record of both images with the CPU reset writes around each;
# then the device leaves, comes back as a new device with the camera's own identity, and the
# driver configures it (start).
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/harness.sh"
need_tool "$TSHARK" tshark
need_tool "$JQ" jq

wine_pcap=$WORK/wine.pcap
TOVRIK_WINE_DIR=$LANE_DIR TOVRIK_WINDOWS_BUILD=$LANE_BUILD \
  "$TOVRIK_SOURCE/scripts/wine.sh" --pcap "$wine_pcap" -- --json info >"$WORK/info.json"
expect_eq "exit code of wine.sh --pcap F -- --json info" 0 "$?"
expect_eq "idProduct after the bring-up" 0x0E15 \
  "$(unix_lines <"$WORK/info.json" | "$JQ" -r '.device_descriptor.idProduct')"

host_pcap=$WORK/host.pcap
host_tool --sim-identity foreign --sim-clock-scale 50 --sim-pcap "$host_pcap" --json info >/dev/null
expect_eq "exit code of the host tool" 0 "$?"

tshark_fields() { "$TSHARK" -r "$1" -Y "$2" -T fields -E separator=' ' "${@:3}" 2>/dev/null; }

complaints=$("$TSHARK" -r "$wine_pcap" -Y '_ws.malformed || _ws.expert.severity >= warning' 2>&1 | grep -v '^Running as user')
expect_eq "malformed packets or warnings in the Wine capture" "" "$complaints"
expect_true "the capture has packets" test "$("$TSHARK" -r "$wine_pcap" 2>/dev/null | wc -l)" -gt 0

# Every vendor write (0xA0 or 0xA3 to the device): its setup stage and its data stage, in order.
writes() {
  tshark_fields "$1" 'usb.function == 0x0017 && usb.irp_info.direction == 0 && (usb.setup.bRequest == 160 || usb.setup.bRequest == 163 || usb.control_stage == 1)' \
    -e usb.device_address -e usb.control_stage -e usb.setup.bRequest -e usb.setup.wValue -e usb.data_fragment
}
writes "$wine_pcap" >"$WORK/wine.writes"
writes "$host_pcap" >"$WORK/host.writes"
expect_true "the download has writes" test -s "$WORK/wine.writes"
if cmp -s "$WORK/wine.writes" "$WORK/host.writes"; then
  ok "the download is the host kernel's, write for write ($(wc -l <"$WORK/wine.writes") records)"
else
  fail "the download differs from the host kernel's:"
  diff "$WORK/host.writes" "$WORK/wine.writes" | head -20
fi

# Every record of both images (the driver's generated arrays), as address and bytes, against the
# data stages that follow each setup stage; the CPU control writes apart.
awk '/^extern const FIRMWARE_RECORD/ { image++ }
  /^ *\{ *[0-9]+, 0, 0x[0-9A-Fa-f]+, 0, \{/ {
    line = tolower($0); gsub(/[{},]/, " ", line); split(line, f, " ")
    data = ""
    for (i = 0; i < f[1] + 0; i++) data = data substr(f[5 + i], 3)
    print image, f[3], data
  }' "$TOVRIK_FIRMWARE_IMAGES" >"$WORK/records"
# Each data stage with the address of its setup stage; RAM writes numbered by the image they
# belong to: the loader's until its CPU release (the second release write), the program's after.
awk '$2 == 0 { value = $4 } $2 == 1 { print value, $5 }' "$WORK/wine.writes" >"$WORK/wine.data"
awk '$1 ~ /^0x(7f92|e600)$/ { if ($2 == "00") releases++; next }
  { print (releases >= 2 ? 2 : 1), $1, $2 }' "$WORK/wine.data" | sort >"$WORK/wine.ram"
sort "$WORK/records" >"$WORK/expected.ram"
if cmp -s "$WORK/wine.ram" "$WORK/expected.ram"; then
  ok "every record of both images was written, each image's within its own hold ($(wc -l <"$WORK/expected.ram") records)"
else
  fail "the RAM writes are not the images' records, image by image:"
  diff "$WORK/expected.ram" "$WORK/wine.ram" | head -10
fi
expect_eq "CPU control writes, in order (hold, release; once per image)" \
  "0x7f92 01 0xe600 01 0x7f92 00 0xe600 00 0x7f92 01 0xe600 01 0x7f92 00 0xe600 00" \
  "$(grep -E '^0x(7f92|e600) ' "$WORK/wine.data" | tr '\n' ' ' | sed 's/ $//')"

# Renumeration and start: the writes went to one device; a new device then shows the camera's
# own identity and is configured.
download_device=$(awk 'NR == 1 { print $1 }' "$WORK/wine.writes")
expect_eq "devices the download went to" 1 "$(awk '{ print $1 }' "$WORK/wine.writes" | sort -u | wc -l)"
own_device=$(tshark_fields "$wine_pcap" 'usb.idProduct == 0x0e15' -e usb.device_address | head -n 1)
expect_true "a device with the camera's own identity appears" test -n "$own_device"
expect_true "it is a new device (address $own_device, the download went to $download_device)" \
  test -n "$own_device" -a "$own_device" != "$download_device"
configured=$(tshark_fields "$wine_pcap" "usb.function == 0x0000 && usb.device_address == ${own_device:-0} && usb.irp_info.direction == 1" -e usb.usbd_status | head -n 1)
expect_eq "the driver configures the new device (select configuration completes)" 0x00000000 "$configured"
