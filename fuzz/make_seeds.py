#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) and the request-code
dictionary. The seeds are committed; run this again only after changing what it writes."""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent

CODES = {
    "GET_PIPE_INFO": 0x222000, "GET_DEVICE_DESCRIPTOR": 0x222004,
    "GET_CONFIGURATION_DESCRIPTOR": 0x222008, "VENDOR_REQUEST": 0x222014,
    "NO_OPERATION": 0x222018, "DOWNLOAD_RAM": 0x22201C, "RESET_PORT": 0x222031,
    "RESET_PIPE": 0x222035, "ABORT_PIPE": 0x22203D, "SET_INTERFACE": 0x222040,
    "GET_STRING_DESCRIPTOR": 0x222044, "BULK_READ": 0x22204E, "BULK_WRITE": 0x222051,
    "GET_FRAME_NUMBER": 0x222054, "CONTROL_REQUEST": 0x222059, "GET_LAST_ERROR": 0x22205C,
    "ISO_READ": 0x222066, "ISO_WRITE": 0x222069, "WRITE_RAM": 0x22206D,
    "GET_DRIVER_VERSION": 0x222074, "START_ISO_STREAM": 0x222078, "STOP_ISO_STREAM": 0x22207C,
    "READ_ISO_STREAM": 0x222082, "SET_FEATURE": 0x222084, "SET_TIMEOUT": 0x2220A0,
    "CHUNKED_READ": 0x2220A6, "CHUNKED_WRITE": 0x2220A9,
}


def request(code, data=b"", out=0, fill=0xA5):
    return struct.pack("<IHIB", CODES[code], len(data), out, fill) + data


def iso(pipe, size, count, per_urb, urbs):
    return struct.pack("<5I", pipe, size, count, per_urb, urbs)


def write(folder, name, data):
    path = HERE / "corpus" / folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


# Device I/O control: each code alone with good inputs, then a few conversations.
ioctl = {
    "get-pipe-info": request("GET_PIPE_INFO", out=256),
    "get-device-descriptor": request("GET_DEVICE_DESCRIPTOR", out=18),
    "get-configuration-descriptor": request("GET_CONFIGURATION_DESCRIPTOR", out=256),
    "vendor-request-in": request("VENDOR_REQUEST", struct.pack("<BBHHHBB", 0xA0, 0, 0x2000, 0, 16, 1, 0), 16),
    "vendor-request-out": request("VENDOR_REQUEST", struct.pack("<BBHHHBB", 0xA0, 0, 0x2000, 0, 16, 0, 0)),
    "no-operation": request("NO_OPERATION"),
    "download-ram": request("DOWNLOAD_RAM", bytes(range(256)) * 3),
    "reset-port": request("RESET_PORT"),
    "reset-pipe": request("RESET_PIPE", struct.pack("<I", 2)),
    "abort-pipe": request("ABORT_PIPE", struct.pack("<I", 2)),
    "set-interface": request("SET_INTERFACE", bytes([0, 2])),
    "get-string-descriptor": request("GET_STRING_DESCRIPTOR", struct.pack("<BBH", 2, 0, 0x0409), 255),
    "bulk-read-image": request("BULK_READ", struct.pack("<I", 2), 6144),
    "bulk-read-status": request("BULK_READ", struct.pack("<I", 1), 64),
    "bulk-write-command": request("BULK_WRITE", struct.pack("<I", 0), 64, 3),
    "get-frame-number": request("GET_FRAME_NUMBER", out=4),
    "control-request-out": request("CONTROL_REQUEST", struct.pack("<BBBBBBHH", 0, 2, 0, 0, 0xA0, 0, 0x2000, 0), 16),
    "get-last-error": request("GET_LAST_ERROR", out=4),
    "iso-read": request("ISO_READ", iso(3, 1024, 32, 8, 2), 32 * 1036),
    "write-ram": request("WRITE_RAM", struct.pack("<H", 0x2000), 100, 0x3C),
    "get-driver-version": request("GET_DRIVER_VERSION", out=6),
    "start-iso-stream": request("START_ISO_STREAM", iso(3, 1024, 64, 8, 4)),
    "stop-iso-stream": request("STOP_ISO_STREAM"),
    "read-iso-stream": request("READ_ISO_STREAM", iso(0, 1024, 16, 0, 0), 16 * 1036),
    "set-feature": request("SET_FEATURE", struct.pack("<HH", 1, 0)),
    "set-timeout": request("SET_TIMEOUT", struct.pack("<Ii", 1, 500)),
    "chunked-read": request("CHUNKED_READ", struct.pack("<I", 2), 6144),
    "chunked-write": request("CHUNKED_WRITE", struct.pack("<I", 0), 64, 3),
    "stream-conversation": request("START_ISO_STREAM", iso(3, 1024, 64, 8, 4))
    + request("READ_ISO_STREAM", iso(0, 1024, 16, 0, 0), 16 * 1036)
    + request("STOP_ISO_STREAM")
    + request("START_ISO_STREAM", iso(3, 1024, 64, 8, 4))
    + request("SET_INTERFACE", bytes([0, 2])),
    "capture-conversation": request("SET_TIMEOUT", struct.pack("<Ii", 1, 200))
    + request("CHUNKED_READ", struct.pack("<I", 2), 6144)
    + request("BULK_READ", struct.pack("<I", 2), 6144)
    + request("GET_LAST_ERROR", out=4)
    + request("ABORT_PIPE", struct.pack("<I", 2)),
    "high-bandwidth-iso": request("SET_INTERFACE", bytes([0, 2]))
    + request("ISO_READ", iso(3, 3072, 64, 8, 4), 64 * 3084),
}
for name, data in ioctl.items():
    write("ioctl_sequence", name, data)

# Descriptors: the camera's own, and the shapes a device may present.
own_device = bytes([18, 1, 0, 2, 0xFF, 0xFF, 0xFF, 64, 0x17, 0x5A, 0x15, 0x0E, 0, 1, 1, 2, 3, 1])
def streaming_alternate(alternate, iso_max_packet_high):
    """An alternate setting with the three bulk endpoints (commands, status, image) and the
    isochronous IN endpoint, whose wMaxPacketSize high byte sets its bandwidth."""
    return bytes([
        9, 4, 0, alternate, 4, 0xFF, 0xFF, 0xFF, 0,
        7, 5, 0x01, 0x02, 0x00, 0x02, 0,
        7, 5, 0x81, 0x02, 0x00, 0x02, 0,
        7, 5, 0x82, 0x02, 0x00, 0x02, 0,
        7, 5, 0x83, 0x05, 0x00, iso_max_packet_high, 1,
    ])
own_configuration = (bytes([9, 2, 92, 0, 1, 1, 0, 0x80, 250])
                     + streaming_alternate(0, 0x04)  # 1024 bytes a microframe
                     + bytes([9, 4, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0])  # no bandwidth at all
                     + streaming_alternate(2, 0x14))  # 3 x 1024 bytes a microframe
def descriptors(device, configuration, interface=0, alternate=0):
    return bytes([len(device), interface, alternate]) + device + configuration
write("descriptors", "own-camera", descriptors(own_device, own_configuration))
write("descriptors", "own-camera-alternate-2", descriptors(own_device, own_configuration, 0, 2))
write("descriptors", "own-camera-alternate-1", descriptors(own_device, own_configuration, 0, 1))
one_interface = bytes([9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0,
                       7, 5, 0x81, 0x02, 0x00, 0x02, 0])
write("descriptors", "one-bulk-endpoint", descriptors(own_device, one_interface))
two_interfaces = (bytes([9, 2, 43, 0, 2, 1, 0, 0x80, 50])
                  + bytes([9, 4, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0, 7, 5, 0x81, 0x02, 0x00, 0x02, 0])
                  + bytes([9, 4, 1, 0, 1, 0xFF, 0xFF, 0xFF, 0, 7, 5, 0x02, 0x03, 0x40, 0x00, 4]))
write("descriptors", "two-interfaces", descriptors(own_device, two_interfaces, 1, 0))
with_class_descriptor = bytes([9, 2, 30, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0,
                               5, 0x24, 1, 2, 3, 7, 5, 0x82, 0x02, 0x00, 0x02, 0])
write("descriptors", "interface-followed-by-a-descriptor-of-its-own-kind", descriptors(own_device, with_class_descriptor))

# Intel HEX: the repository's stand-in images and a few small files.
for image in ("loader", "camera"):
    write("intel_hex", image + ".hex",
          (HERE.parent / "driver" / "firmware" / "images" / (image + ".hex")).read_bytes())
write("intel_hex", "end-only.hex", b":00000001FF\n")
write("intel_hex", "one-record.hex", b":0300300002337A1E\n:00000001FF\n")
write("intel_hex", "long-record.hex",
      b":20000000000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F F0\n:00000001FF\n".replace(b" ", b""))

# The dictionary of the request codes (little-endian, as the targets read them), with the
# records' most telling constants.
lines = ["# Request codes of the driver, little-endian as in the fuzz input"]
for name, code in CODES.items():
    lines.append('%s="%s"' % (name.lower(), "".join("\\x%02X" % b for b in struct.pack("<I", code))))
lines += [
    "# CPU control register addresses, the memory-write requests, descriptor headers",
    'cpucs_first="\\x92\\x7F"', 'cpucs_second="\\x00\\xE6"', 'write_memory="\\xA0"',
    'write_external="\\xA3"', 'config_header="\\x09\\x02"', 'interface_header="\\x09\\x04"',
    'endpoint_header="\\x07\\x05"', 'hex_end=":00000001FF"',
]
(HERE / "dictionaries").mkdir(exist_ok=True)
(HERE / "dictionaries" / "tovrik.dict").write_text("\n".join(lines) + "\n")
