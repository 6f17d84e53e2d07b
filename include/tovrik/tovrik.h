/*
 * The Tovrik 318QX driver's interface to user software: device names, the private device I/O
 * control codes, and the request records they carry. Plain C; the driver, C and C++ programs,
 * and both compilers (host and mingw-w64) include this same file. Every multi-byte field is
 * little-endian.
 */
#ifndef TOVRIK_TOVRIK_H
#define TOVRIK_TOVRIK_H

#include <stdint.h>

#ifdef __cplusplus
#define TOVRIK_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define TOVRIK_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* Names. The device number n (0 to 31) is one character, 0x30 + n, appended to each prefix:
 * '0' to '9', then ':' for 10 up to 'O' for 31. User software opens "\\.\Tovrik318QX-n". */
#define TOVRIK_DEVICE_NAME_PREFIX "\\Device\\Tovrik318QX-"
#define TOVRIK_LINK_NAME_PREFIX "\\DosDevices\\Tovrik318QX-"
#define TOVRIK_USER_PATH_PREFIX "\\\\.\\Tovrik318QX-"
#define TOVRIK_MAX_CAMERAS 32
#define TOVRIK_DEVICE_NUMBER_CHARACTER(n) ((char)(0x30 + (n)))

/* Request codes: CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS). A code is
 * matched whole: the same function with another method is not served. */
#define TOVRIK_METHOD_BUFFERED 0u
#define TOVRIK_METHOD_IN_DIRECT 1u
#define TOVRIK_METHOD_OUT_DIRECT 2u
#define TOVRIK_CTL_CODE(function, method)                                                          \
    ((0x22u << 16) | ((uint32_t)(function) << 2) | (uint32_t)(method))

#define IOCTL_TOVRIK_GET_PIPE_INFO TOVRIK_CTL_CODE(0x800, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR TOVRIK_CTL_CODE(0x801, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR TOVRIK_CTL_CODE(0x802, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_VENDOR_REQUEST TOVRIK_CTL_CODE(0x805, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_NO_OPERATION TOVRIK_CTL_CODE(0x806, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_DOWNLOAD_RAM TOVRIK_CTL_CODE(0x807, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_RESET_PORT TOVRIK_CTL_CODE(0x80C, TOVRIK_METHOD_IN_DIRECT)
#define IOCTL_TOVRIK_RESET_PIPE TOVRIK_CTL_CODE(0x80D, TOVRIK_METHOD_IN_DIRECT)
#define IOCTL_TOVRIK_ABORT_PIPE TOVRIK_CTL_CODE(0x80F, TOVRIK_METHOD_IN_DIRECT)
#define IOCTL_TOVRIK_SET_INTERFACE TOVRIK_CTL_CODE(0x810, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_GET_STRING_DESCRIPTOR TOVRIK_CTL_CODE(0x811, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_BULK_READ TOVRIK_CTL_CODE(0x813, TOVRIK_METHOD_OUT_DIRECT)
#define IOCTL_TOVRIK_BULK_WRITE TOVRIK_CTL_CODE(0x814, TOVRIK_METHOD_IN_DIRECT)
#define IOCTL_TOVRIK_GET_FRAME_NUMBER TOVRIK_CTL_CODE(0x815, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_CONTROL_REQUEST TOVRIK_CTL_CODE(0x816, TOVRIK_METHOD_IN_DIRECT)
#define IOCTL_TOVRIK_GET_LAST_ERROR TOVRIK_CTL_CODE(0x817, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_ISO_READ TOVRIK_CTL_CODE(0x819, TOVRIK_METHOD_OUT_DIRECT)
#define IOCTL_TOVRIK_ISO_WRITE TOVRIK_CTL_CODE(0x81A, TOVRIK_METHOD_IN_DIRECT)
#define IOCTL_TOVRIK_WRITE_RAM TOVRIK_CTL_CODE(0x81B, TOVRIK_METHOD_IN_DIRECT)
#define IOCTL_TOVRIK_GET_DRIVER_VERSION TOVRIK_CTL_CODE(0x81D, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_START_ISO_STREAM TOVRIK_CTL_CODE(0x81E, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_STOP_ISO_STREAM TOVRIK_CTL_CODE(0x81F, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_READ_ISO_STREAM TOVRIK_CTL_CODE(0x820, TOVRIK_METHOD_OUT_DIRECT)
#define IOCTL_TOVRIK_SET_FEATURE TOVRIK_CTL_CODE(0x821, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_SET_TIMEOUT TOVRIK_CTL_CODE(0x828, TOVRIK_METHOD_BUFFERED)
#define IOCTL_TOVRIK_CHUNKED_READ TOVRIK_CTL_CODE(0x829, TOVRIK_METHOD_OUT_DIRECT)
#define IOCTL_TOVRIK_CHUNKED_WRITE TOVRIK_CTL_CODE(0x82A, TOVRIK_METHOD_IN_DIRECT)

/* The codes as numbers, checked by the compiler. */
#define TOVRIK_CODE_IS(code, value) TOVRIK_STATIC_ASSERT((code) == (value), #code " is " #value)
TOVRIK_CODE_IS(IOCTL_TOVRIK_GET_PIPE_INFO, 0x222000u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR, 0x222004u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR, 0x222008u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_VENDOR_REQUEST, 0x222014u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_NO_OPERATION, 0x222018u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_DOWNLOAD_RAM, 0x22201Cu);
TOVRIK_CODE_IS(IOCTL_TOVRIK_RESET_PORT, 0x222031u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_RESET_PIPE, 0x222035u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_ABORT_PIPE, 0x22203Du);
TOVRIK_CODE_IS(IOCTL_TOVRIK_SET_INTERFACE, 0x222040u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_GET_STRING_DESCRIPTOR, 0x222044u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_BULK_READ, 0x22204Eu);
TOVRIK_CODE_IS(IOCTL_TOVRIK_BULK_WRITE, 0x222051u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_GET_FRAME_NUMBER, 0x222054u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_CONTROL_REQUEST, 0x222059u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_GET_LAST_ERROR, 0x22205Cu);
TOVRIK_CODE_IS(IOCTL_TOVRIK_ISO_READ, 0x222066u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_ISO_WRITE, 0x222069u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_WRITE_RAM, 0x22206Du);
TOVRIK_CODE_IS(IOCTL_TOVRIK_GET_DRIVER_VERSION, 0x222074u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_START_ISO_STREAM, 0x222078u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_STOP_ISO_STREAM, 0x22207Cu);
TOVRIK_CODE_IS(IOCTL_TOVRIK_READ_ISO_STREAM, 0x222082u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_SET_FEATURE, 0x222084u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_SET_TIMEOUT, 0x2220A0u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_CHUNKED_READ, 0x2220A6u);
TOVRIK_CODE_IS(IOCTL_TOVRIK_CHUNKED_WRITE, 0x2220A9u);
#undef TOVRIK_CODE_IS

/* Output of IOCTL_TOVRIK_GET_PIPE_INFO: the selected interface's USBD_INTERFACE_INFORMATION
 * (24 bytes, then 24 per pipe), as long as its own first 16-bit field says. The handle fields
 * carry no kernel address: InterfaceHandle (offset 8) is 1 and pipe i's PipeHandle (offset 8 of
 * its entry) is i + 1 when the bus opened it, 0 when not. Requests name pipes by index. */

/* Input of the reset-pipe, abort-pipe, bulk and chunked codes. */
typedef struct _PIPE_INDEX_REQUEST {
    uint32_t PipeIndex;
} PIPE_INDEX_REQUEST;

/* Input of IOCTL_TOVRIK_CONTROL_REQUEST; the data stage is the output buffer. */
typedef struct _CLASS_VENDOR_REQUEST {
    uint8_t Direction;   /* non-zero: device to host */
    uint8_t RequestType; /* 1 class, 2 vendor */
    uint8_t Recipient;   /* 0 device, 1 interface, 2 endpoint, 3 other */
    uint8_t Reserved0;
    uint8_t Request;
    uint8_t Reserved1;
    uint16_t Value;
    uint16_t Index;
} CLASS_VENDOR_REQUEST;

/* Input of IOCTL_TOVRIK_VENDOR_REQUEST; a device-to-host request answers over the record. */
typedef struct _VENDOR_DEVICE_REQUEST {
    uint8_t Request;
    uint8_t Reserved;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;   /* bytes to move */
    uint8_t Direction; /* non-zero: device to host */
    uint8_t DataByte;  /* the byte a host-to-device request of Length 1 sends */
} VENDOR_DEVICE_REQUEST;

/* Input of IOCTL_TOVRIK_SET_INTERFACE. */
typedef struct _INTERFACE_SELECTION {
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
} INTERFACE_SELECTION;

/* Input of IOCTL_TOVRIK_GET_STRING_DESCRIPTOR (exactly 4 bytes). */
typedef struct _STRING_DESCRIPTOR_REQUEST {
    uint8_t DescriptorIndex;
    uint8_t Reserved;
    uint16_t LanguageId;
} STRING_DESCRIPTOR_REQUEST;

/* Input of the isochronous codes. For the stream start PacketCount is the capacity of its rings
 * in packets, at least PacketsPerUrb; for the stream read it is the number of packets wanted,
 * only PacketSize and PacketCount are read, and PacketSize must be the stream's. */
typedef struct _ISO_REQUEST {
    uint32_t PipeIndex;
    uint32_t PacketSize;
    uint32_t PacketCount;
    uint32_t PacketsPerUrb;
    uint32_t UrbCount;
} ISO_REQUEST;

/* Limits of the data codes. They lie far beyond what a camera needs and bound the non-paged
 * memory one request can make the driver take; a request past them is refused with
 * STATUS_INVALID_PARAMETER and nothing is sent. */
#define TOVRIK_ISO_MAX_URBS 64u                        /* URBs of one transfer or stream */
#define TOVRIK_ISO_MAX_PACKETS_PER_URB 1024u           /* 128 ms of microframes */
#define TOVRIK_STREAM_MAX_RING_PACKETS (1u << 20)      /* a stream's ring, in packets */
#define TOVRIK_STREAM_MAX_RING_BYTES (128u << 20)      /* its data: about 5 s at 3 x 1024 */
#define TOVRIK_STREAM_MAX_URB_BUFFER_BYTES (64u << 20) /* URBs x packets x packet size */
#define TOVRIK_CHUNKED_MAX_LENGTH (64u << 20)          /* 1024 pieces of 64 KiB */

/* One packet descriptor as the USB stack returns it: Offset is relative to the start of the
 * data of the URB that carried the packet. */
typedef struct _ISO_PACKET_DESCRIPTOR {
    uint32_t Offset;
    uint32_t Length;
    int32_t Status;
} ISO_PACKET_DESCRIPTOR;

/* Output of IOCTL_TOVRIK_GET_DRIVER_VERSION: 1, 1, 0. */
typedef struct _DRIVER_VERSION {
    uint16_t Major;
    uint16_t Minor;
    uint16_t Build;
} DRIVER_VERSION;

/* Input of IOCTL_TOVRIK_SET_FEATURE (exactly 4 bytes). */
typedef struct _FEATURE_REQUEST {
    uint16_t FeatureSelector;
    uint16_t Index;
} FEATURE_REQUEST;

/* Input of IOCTL_TOVRIK_SET_TIMEOUT: Selector 1 sets the bulk time limit in milliseconds (0 or
 * negative: transfers that do not complete at once time out at once). */
#define TOVRIK_TIMEOUT_SELECTOR_BULK 1u
typedef struct _TIMEOUT_REQUEST {
    uint32_t Selector;
    int32_t Milliseconds;
} TIMEOUT_REQUEST;

/* The command packets the driver sends on pipe 0 around an image read. */
#define TOVRIK_COMMAND_PACKET_LENGTH 64u

TOVRIK_STATIC_ASSERT(sizeof(PIPE_INDEX_REQUEST) == 4, "PIPE_INDEX_REQUEST is 4 bytes");
TOVRIK_STATIC_ASSERT(sizeof(CLASS_VENDOR_REQUEST) == 10, "CLASS_VENDOR_REQUEST is 10 bytes");
TOVRIK_STATIC_ASSERT(sizeof(VENDOR_DEVICE_REQUEST) == 10, "VENDOR_DEVICE_REQUEST is 10 bytes");
TOVRIK_STATIC_ASSERT(sizeof(INTERFACE_SELECTION) == 2, "INTERFACE_SELECTION is 2 bytes");
TOVRIK_STATIC_ASSERT(sizeof(STRING_DESCRIPTOR_REQUEST) == 4,
                     "STRING_DESCRIPTOR_REQUEST is 4 bytes");
TOVRIK_STATIC_ASSERT(sizeof(ISO_REQUEST) == 20, "ISO_REQUEST is 20 bytes");
TOVRIK_STATIC_ASSERT(sizeof(ISO_PACKET_DESCRIPTOR) == 12, "ISO_PACKET_DESCRIPTOR is 12 bytes");
TOVRIK_STATIC_ASSERT(sizeof(DRIVER_VERSION) == 6, "DRIVER_VERSION is 6 bytes");
TOVRIK_STATIC_ASSERT(sizeof(FEATURE_REQUEST) == 4, "FEATURE_REQUEST is 4 bytes");
TOVRIK_STATIC_ASSERT(sizeof(TIMEOUT_REQUEST) == 8, "TIMEOUT_REQUEST is 8 bytes");

#endif /* TOVRIK_TOVRIK_H */
