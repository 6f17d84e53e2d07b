/*
 * The Tovrik 318QX SDK: a plain C interface for camera software.
 *
 * One system, several cameras, one typed call per device I/O control code, and a raw call.
 * Which system sits behind it is decided by the build: on Windows the real driver (the calls go
 * to \\.\Tovrik318QX-N through DeviceIoControl); on the host build a simulated world in this
 * process (the driver itself under the host kernel, a simulated USB bus and cameras).
 *
 * Every request call returns a record whose first members are the request's NTSTATUS and its
 * Information (the byte count the driver reported), followed by what the call decoded from the
 * output. A failed request is not an error of the SDK: the status says what the driver said.
 * Requests never allocate on behalf of the caller; a call whose output has no fixed size takes
 * the caller's buffer and points into it.
 *
 * Records of the driver (VENDOR_DEVICE_REQUEST, CLASS_VENDOR_REQUEST, ISO_REQUEST, ...) come
 * from tovrik/tovrik.h and are used as they are.
 */
#ifndef TOVRIK_SDK_H
#define TOVRIK_SDK_H

#include <stddef.h>
#include <stdint.h>

#include "tovrik/tovrik.h"

#if defined(_WIN32)
#if defined(TOVRIK_SDK_BUILDING)
#define TOVRIK_SDK_API __declspec(dllexport)
#elif defined(TOVRIK_SDK_STATIC)
#define TOVRIK_SDK_API
#else
#define TOVRIK_SDK_API __declspec(dllimport)
#endif
#else
#define TOVRIK_SDK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------------
 * Status values the SDK itself answers with (the driver's own are listed with
 * tovrik_status_name). */
#define TOVRIK_STATUS_SUCCESS ((int32_t)0x00000000)
#define TOVRIK_STATUS_UNSUCCESSFUL ((int32_t)0xC0000001)
#define TOVRIK_STATUS_NOT_IMPLEMENTED ((int32_t)0xC0000002)
#define TOVRIK_STATUS_INVALID_HANDLE ((int32_t)0xC0000008)
#define TOVRIK_STATUS_INVALID_PARAMETER ((int32_t)0xC000000D)
#define TOVRIK_STATUS_NO_MEMORY ((int32_t)0xC0000017)
#define TOVRIK_STATUS_OBJECT_NAME_NOT_FOUND ((int32_t)0xC0000034)
#define TOVRIK_STATUS_DELETE_PENDING ((int32_t)0xC0000056)
#define TOVRIK_STATUS_NOT_SUPPORTED ((int32_t)0xC00000BB)

/* The name of a status ("STATUS_SUCCESS", "STATUS_INVALID_PARAMETER", ...), or "0x%08X" for a
 * value without a name; the hex form lives in a per-thread buffer valid until the next call. */
TOVRIK_SDK_API const char* tovrik_status_name(int32_t status);
/* The name of a USBD status as GET_LAST_ERROR reports it ("USBD_STATUS_STALL_PID", ...), or
 * "0x%08X" as above. */
TOVRIK_SDK_API const char* tovrik_usbd_status_name(uint32_t usbd_status);
/* NT_SUCCESS: non-negative. */
static inline int tovrik_succeeded(int32_t status) {
    return status >= 0;
}

/* ---------------------------------------------------------------------------------------------
 * The system and its options. */

typedef struct tovrik_system tovrik_system;
typedef struct tovrik_device tovrik_device;

/* "win32" or "host". */
TOVRIK_SDK_API const char* tovrik_backend_name(void);

/* The version of the SDK library this program runs with, "major.minor.patch" (the product
 * version it was built from); `major`, `minor` and `patch` receive its parts when not NULL. The
 * driver reports its own version separately (tovrik_get_driver_version). */
TOVRIK_SDK_API const char* tovrik_sdk_version(uint32_t* major, uint32_t* minor, uint32_t* patch);

#define TOVRIK_SIM_IDENTITY_FOREIGN 0u /* the camera arrives without its firmware */
#define TOVRIK_SIM_IDENTITY_OWN 1u     /* the camera arrives running its firmware */

#define TOVRIK_SIM_TIMING_UNTHROTTLED 0u /* data moves as fast as memory allows */
#define TOVRIK_SIM_TIMING_HIGH_SPEED 1u  /* USB 2.0 high-speed microframes */

#define TOVRIK_SIM_FAULT_STALL                                                                     \
    1u /* the endpoint halts: this and later transfers stall until a pipe reset */
#define TOVRIK_SIM_FAULT_NO_ANSWER                                                                 \
    2u /* the transfer stays pending until cancelled or its pipe aborted */
#define TOVRIK_SIM_FAULT_SHORT 3u     /* an IN transfer ends short after short_length bytes */
#define TOVRIK_SIM_FAULT_URB_ERROR 4u /* the transfer ends with usbd_status */
#define TOVRIK_SIM_FAULT_PACKET_ERROR                                                              \
    5u /* isochronous packet `packet` of the URB ends with usbd_status */
#define TOVRIK_SIM_FAULT_FAIL_REQUEST                                                              \
    6u /* the request is completed at once with status and usbd_status */
#define TOVRIK_SIM_FAULT_UNPLUG 7u /* the camera leaves the bus as the URB arrives */

#define TOVRIK_SIM_ANY_FUNCTION 0xFFFFu
#define TOVRIK_SIM_ANY_ENDPOINT 0xFFu

/* One fault of the simulated world, armed on camera `camera` when it is plugged in: URBs of
 * `urb_function` (TOVRIK_SIM_ANY_FUNCTION for any) on `endpoint` (the address with its
 * direction bit, 0 for the default pipe, TOVRIK_SIM_ANY_ENDPOINT for any) are hit, skipping the
 * first `skip` that match and hitting `times` of them. */
typedef struct tovrik_sim_fault {
    uint32_t kind; /* TOVRIK_SIM_FAULT_* */
    uint32_t camera;
    uint16_t urb_function;
    uint8_t endpoint;
    uint8_t reserved_;
    uint32_t skip;
    uint32_t times;
    uint32_t short_length;
    uint32_t packet;
    int32_t usbd_status; /* 0: the model's default */
    int32_t status;      /* TOVRIK_SIM_FAULT_FAIL_REQUEST; 0: STATUS_UNSUCCESSFUL */
} tovrik_sim_fault;

/* Everything that shapes the system. The Win32 backend reads only struct_size; the sim_ members
 * describe the host backend's world. Fill it with tovrik_system_options_init first. */
typedef struct tovrik_system_options {
    uint32_t struct_size;   /* sizeof(tovrik_system_options) */
    uint32_t sim_cameras;   /* cameras plugged in at start, 1 to 32 */
    uint32_t sim_identity;  /* TOVRIK_SIM_IDENTITY_* */
    uint32_t sim_timing;    /* TOVRIK_SIM_TIMING_* */
    double sim_clock_scale; /* kernel time per real time: 1 is real time, 1000 runs 3 s in 3 ms */
    const char* sim_pcap_path; /* NULL: no capture; else every URB is written there (USBPcap) */
    /* Descriptors the cameras show once their firmware runs; NULL keeps the model's own. The
     * bytes are copied. */
    const uint8_t* sim_device_descriptor;
    uint32_t sim_device_descriptor_length;
    const uint8_t* sim_configuration_descriptor;
    uint32_t sim_configuration_descriptor_length;
    const tovrik_sim_fault* sim_faults; /* copied */
    uint32_t sim_fault_count;
} tovrik_system_options;

TOVRIK_SDK_API void tovrik_system_options_init(tovrik_system_options* options);

/* Opens the system: on the host build this builds the world, loads the driver and brings every
 * camera up (firmware download, renumeration, start) before it returns. options may be NULL for
 * the defaults. */
TOVRIK_SDK_API int32_t tovrik_system_open(const tovrik_system_options* options,
                                          tovrik_system** system);
/* Closes a system; every device opened on it must be closed first. */
TOVRIK_SDK_API void tovrik_system_close(tovrik_system* system);

/* The system's clock in 100-ns units, and how fast it runs against real time. On the host build
 * it is the simulated world's kernel clock, which may run scaled (sim_clock_scale), so a loop
 * that should last "two seconds" of the camera's time measures on it; on Windows it is the
 * machine's monotonic clock with scale 1. */
TOVRIK_SDK_API uint64_t tovrik_system_time(tovrik_system* system);
TOVRIK_SDK_API double tovrik_system_clock_scale(tovrik_system* system);

/* What the simulated USB bus counted for one endpoint address (with its direction bit), on one
 * simulated camera (in the order they were plugged in) or summed over all of them
 * (TOVRIK_SIM_ALL_CAMERAS), for the endpoint as it is configured now. lost_packets are
 * isochronous services of a running stream that found no packet slot queued: packets the camera
 * sent and the bus dropped, the part of a stream's missing sequence numbers that no ring full
 * explains. The controller's fields say how far the paced host controller fell behind the
 * clock. Host backend only: on Windows a bus keeps no such count and the call answers
 * TOVRIK_STATUS_NOT_SUPPORTED. Set struct_size first. */
#define TOVRIK_SIM_ALL_CAMERAS 0xFFFFFFFFu
typedef struct tovrik_bus_counters {
    uint32_t struct_size; /* sizeof(tovrik_bus_counters) */
    uint32_t reserved_;
    uint64_t transfers;    /* transfers that ended, whatever their status */
    uint64_t packets;      /* packets that moved */
    uint64_t bytes;        /* bytes that moved */
    uint64_t lost_packets; /* isochronous packets the bus dropped */
    /* The host controller, whichever camera: how late it stepped a microframe in which a
     * transfer ended (most), and the most from a transfer's end to its completion's delivery,
     * in 125-us microframes of the system's clock. */
    uint64_t controller_max_lag_microframes;
    uint64_t controller_max_completion_delay_microframes;
} tovrik_bus_counters;
TOVRIK_SDK_API int32_t tovrik_system_bus_counters(tovrik_system* system, uint32_t camera,
                                                  uint8_t endpoint, tovrik_bus_counters* counters);
/* The same for the simulated camera an open device is (whatever its number and the order the
 * cameras were plugged in); TOVRIK_STATUS_DELETE_PENDING once that camera has left the bus. */
TOVRIK_SDK_API int32_t tovrik_device_bus_counters(tovrik_device* device, uint8_t endpoint,
                                                  tovrik_bus_counters* counters);

/* Writes the numbers of the cameras that can be opened now, in increasing order, up to
 * `capacity` of them, and returns how many there are. */
TOVRIK_SDK_API uint32_t tovrik_enumerate(tovrik_system* system, uint32_t* numbers,
                                         uint32_t capacity);

/* The user path of camera n ("\\.\Tovrik318QX-0"); `path` gets at most `capacity` bytes with the
 * terminating zero. Returns the length without it. */
TOVRIK_SDK_API size_t tovrik_device_path(uint32_t number, char* path, size_t capacity);

TOVRIK_SDK_API int32_t tovrik_open(tovrik_system* system, uint32_t number, tovrik_device** device);
TOVRIK_SDK_API void tovrik_close(tovrik_device* device);
TOVRIK_SDK_API uint32_t tovrik_device_number(const tovrik_device* device);

/* ---------------------------------------------------------------------------------------------
 * Results. Every result starts with TOVRIK_RESULT_HEADER. */

#define TOVRIK_RESULT_HEADER                                                                       \
    int32_t status; /* the request's NTSTATUS */                                                   \
    uint32_t reserved_;                                                                            \
    uint64_t information; /* the byte count the driver reported */

typedef struct tovrik_result {
    TOVRIK_RESULT_HEADER
} tovrik_result;

/* The raw call: any code, any input, an output buffer of the caller. */
TOVRIK_SDK_API tovrik_result tovrik_ioctl(tovrik_device* device, uint32_t code, const void* input,
                                          uint32_t input_length, void* output,
                                          uint32_t output_length);

/* IOCTL_TOVRIK_GET_PIPE_INFO. The table is decoded into `pipes` (at most TOVRIK_MAX_PIPES) and
 * kept whole in `raw`. A device not yet configured answers success with Information 0. */
#define TOVRIK_MAX_PIPES 32u
#define TOVRIK_PIPE_TABLE_HEADER_BYTES 24u
#define TOVRIK_PIPE_ENTRY_BYTES 24u
#define TOVRIK_PIPE_TABLE_MAX_BYTES                                                                \
    (TOVRIK_PIPE_TABLE_HEADER_BYTES + TOVRIK_PIPE_ENTRY_BYTES * TOVRIK_MAX_PIPES)

#define TOVRIK_PIPE_CONTROL 0u
#define TOVRIK_PIPE_ISOCHRONOUS 1u
#define TOVRIK_PIPE_BULK 2u
#define TOVRIK_PIPE_INTERRUPT 3u

typedef struct tovrik_pipe {
    uint16_t maximum_packet_size;
    uint8_t endpoint_address; /* bit 7 set: IN */
    uint8_t interval;
    uint32_t pipe_type;   /* TOVRIK_PIPE_* */
    uint64_t pipe_handle; /* i + 1 for pipe i when the bus opened it, else 0 (no kernel address) */
    uint32_t maximum_transfer_size;
    uint32_t pipe_flags;
} tovrik_pipe;

typedef struct tovrik_pipe_info_result {
    TOVRIK_RESULT_HEADER
    uint16_t length;
    uint8_t interface_number;
    uint8_t alternate_setting;
    uint8_t interface_class;
    uint8_t interface_subclass;
    uint8_t interface_protocol;
    uint8_t present;           /* nonzero when the driver returned a table */
    uint64_t interface_handle; /* 1 when the bus opened the interface, else 0 */
    uint32_t number_of_pipes;  /* as the table says */
    uint32_t pipes_decoded;    /* entries in `pipes`: those the returned bytes hold, at most
                                  TOVRIK_MAX_PIPES */
    tovrik_pipe pipes[TOVRIK_MAX_PIPES];
    uint32_t raw_length;
    uint8_t raw[TOVRIK_PIPE_TABLE_MAX_BYTES];
} tovrik_pipe_info_result;
TOVRIK_SDK_API tovrik_pipe_info_result tovrik_get_pipe_info(tovrik_device* device);

/* IOCTL_TOVRIK_GET_DEVICE_DESCRIPTOR: the 18-byte device descriptor, decoded when all 18 came. */
typedef struct tovrik_device_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
} tovrik_device_descriptor;

typedef struct tovrik_device_descriptor_result {
    TOVRIK_RESULT_HEADER
    uint8_t valid; /* all 18 bytes came */
    tovrik_device_descriptor descriptor;
    uint8_t raw[18];
} tovrik_device_descriptor_result;
TOVRIK_SDK_API tovrik_device_descriptor_result tovrik_get_device_descriptor(tovrik_device* device);

/* IOCTL_TOVRIK_GET_CONFIGURATION_DESCRIPTOR into the caller's buffer (its whole length is asked
 * for); the header of the set is decoded when at least 9 bytes came. */
typedef struct tovrik_configuration_descriptor_result {
    TOVRIK_RESULT_HEADER
    const uint8_t* bytes; /* the caller's buffer */
    uint32_t length;      /* bytes received */
    uint8_t valid;        /* the 9-byte header came */
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint16_t wTotalLength;
    uint8_t bmAttributes;
    uint8_t bMaxPower;
} tovrik_configuration_descriptor_result;
TOVRIK_SDK_API tovrik_configuration_descriptor_result
tovrik_get_configuration_descriptor(tovrik_device* device, void* buffer, uint32_t buffer_length);

/* IOCTL_TOVRIK_VENDOR_REQUEST. The output buffer (`data`, `data_length` bytes, may be NULL/0)
 * receives a device-to-host request's bytes; the driver wants room for request->Length. */
typedef struct tovrik_data_result {
    TOVRIK_RESULT_HEADER
    const uint8_t* data; /* the caller's buffer */
    uint32_t length;     /* bytes in it that came from the device (or went to it) */
} tovrik_data_result;
TOVRIK_SDK_API tovrik_data_result tovrik_vendor_request(tovrik_device* device,
                                                        const VENDOR_DEVICE_REQUEST* request,
                                                        void* data, uint32_t data_length);

/* IOCTL_TOVRIK_NO_OPERATION */
TOVRIK_SDK_API tovrik_result tovrik_no_operation(tovrik_device* device);
/* IOCTL_TOVRIK_DOWNLOAD_RAM: 512-byte blocks to device memory from address 0. */
TOVRIK_SDK_API tovrik_result tovrik_download_ram(tovrik_device* device, const void* bytes,
                                                 uint32_t length);
/* IOCTL_TOVRIK_RESET_PORT */
TOVRIK_SDK_API tovrik_result tovrik_reset_port(tovrik_device* device);
/* IOCTL_TOVRIK_RESET_PIPE */
TOVRIK_SDK_API tovrik_result tovrik_reset_pipe(tovrik_device* device, uint32_t pipe_index);
/* IOCTL_TOVRIK_ABORT_PIPE */
TOVRIK_SDK_API tovrik_result tovrik_abort_pipe(tovrik_device* device, uint32_t pipe_index);
/* IOCTL_TOVRIK_SET_INTERFACE */
TOVRIK_SDK_API tovrik_result tovrik_set_interface(tovrik_device* device, uint8_t interface_number,
                                                  uint8_t alternate_setting);

/* IOCTL_TOVRIK_GET_STRING_DESCRIPTOR: the descriptor raw and its text in UTF-8. For index 0 the
 * text is empty and `language_ids` lists the device's languages. */
#define TOVRIK_LANGUAGE_ENGLISH_US 0x0409u
typedef struct tovrik_string_descriptor_result {
    TOVRIK_RESULT_HEADER
    uint32_t raw_length;
    uint8_t raw[256];
    uint32_t language_id_count;
    uint16_t language_ids[127];
    char utf8[3 * 127 + 1]; /* zero-terminated; unpaired surrogates become U+FFFD */
} tovrik_string_descriptor_result;
TOVRIK_SDK_API tovrik_string_descriptor_result tovrik_get_string_descriptor(tovrik_device* device,
                                                                            uint8_t index,
                                                                            uint16_t language_id);

/* IOCTL_TOVRIK_BULK_READ and IOCTL_TOVRIK_CHUNKED_READ fill the buffer from the pipe;
 * IOCTL_TOVRIK_BULK_WRITE and IOCTL_TOVRIK_CHUNKED_WRITE send it (the driver moves the data in
 * the direction of the pipe's endpoint, whatever the code). Information is the bytes moved. */
TOVRIK_SDK_API tovrik_data_result tovrik_bulk_read(tovrik_device* device, uint32_t pipe_index,
                                                   void* buffer, uint32_t length);
TOVRIK_SDK_API tovrik_data_result tovrik_bulk_write(tovrik_device* device, uint32_t pipe_index,
                                                    const void* buffer, uint32_t length);
TOVRIK_SDK_API tovrik_data_result tovrik_chunked_read(tovrik_device* device, uint32_t pipe_index,
                                                      void* buffer, uint32_t length);
TOVRIK_SDK_API tovrik_data_result tovrik_chunked_write(tovrik_device* device, uint32_t pipe_index,
                                                       const void* buffer, uint32_t length);

/* IOCTL_TOVRIK_GET_FRAME_NUMBER */
typedef struct tovrik_u32_result {
    TOVRIK_RESULT_HEADER
    uint32_t value; /* valid when status succeeded and information >= 4 */
} tovrik_u32_result;
TOVRIK_SDK_API tovrik_u32_result tovrik_get_frame_number(tovrik_device* device);

/* IOCTL_TOVRIK_CONTROL_REQUEST: the data stage is the caller's buffer, sent host to device. The
 * code's buffer is locked for reading only, so the driver refuses a device-to-host request with
 * a data stage (STATUS_INVALID_PARAMETER, nothing sent); one without data goes. Vendor device
 * requests bring data back with tovrik_vendor_request. */
TOVRIK_SDK_API tovrik_data_result tovrik_control_request(tovrik_device* device,
                                                         const CLASS_VENDOR_REQUEST* request,
                                                         void* data, uint32_t data_length);

/* IOCTL_TOVRIK_GET_LAST_ERROR: the last negative USBD status of the device (0 when none);
 * name it with tovrik_usbd_status_name. */
TOVRIK_SDK_API tovrik_u32_result tovrik_get_last_error(tovrik_device* device);

/* IOCTL_TOVRIK_ISO_READ and IOCTL_TOVRIK_ISO_WRITE. The buffer holds PacketCount × PacketSize
 * data bytes (filled from, or sent to, the pipe) followed by PacketCount packet descriptors of
 * 12 bytes that the driver writes. The driver reports Information 0 for these codes; the split
 * comes from the request. */
typedef struct tovrik_packets_result {
    TOVRIK_RESULT_HEADER
    const uint8_t* data;  /* the caller's buffer */
    uint32_t data_length; /* bytes of packet data, each packet taking packet_size of them */
    uint32_t packet_size;
    const uint8_t* descriptors; /* right after the data; read them with tovrik_packet_descriptor */
    uint32_t packet_count;
} tovrik_packets_result;
TOVRIK_SDK_API tovrik_packets_result tovrik_iso_read(tovrik_device* device,
                                                     const ISO_REQUEST* request, void* buffer,
                                                     uint32_t buffer_length);
TOVRIK_SDK_API tovrik_packets_result tovrik_iso_write(tovrik_device* device,
                                                      const ISO_REQUEST* request, void* buffer,
                                                      uint32_t buffer_length);
/* Packet descriptor i of a result (the descriptors need not be aligned in the buffer). */
TOVRIK_SDK_API ISO_PACKET_DESCRIPTOR tovrik_packet_descriptor(const tovrik_packets_result* result,
                                                              uint32_t i);
/* The data of packet i (packet_size bytes; its descriptor's Length says how many are real). */
TOVRIK_SDK_API const uint8_t* tovrik_packet_data(const tovrik_packets_result* result, uint32_t i);

/* IOCTL_TOVRIK_WRITE_RAM: the bytes go to device memory upward from `address`. */
TOVRIK_SDK_API tovrik_result tovrik_write_ram(tovrik_device* device, uint16_t address,
                                              const void* bytes, uint32_t length);

/* IOCTL_TOVRIK_GET_DRIVER_VERSION */
typedef struct tovrik_driver_version_result {
    TOVRIK_RESULT_HEADER
    DRIVER_VERSION version; /* valid when status succeeded and information >= 6 */
} tovrik_driver_version_result;
TOVRIK_SDK_API tovrik_driver_version_result tovrik_get_driver_version(tovrik_device* device);

/* IOCTL_TOVRIK_START_ISO_STREAM (PacketCount is the capacity of the stream's rings in packets),
 * IOCTL_TOVRIK_STOP_ISO_STREAM, and IOCTL_TOVRIK_READ_ISO_STREAM: the buffer must be exactly
 * packet_count × (packet_size + 12) bytes; it gets the packets waiting (at most packet_count),
 * data first, then their descriptors right after the data. */
TOVRIK_SDK_API tovrik_result tovrik_start_iso_stream(tovrik_device* device,
                                                     const ISO_REQUEST* request);
TOVRIK_SDK_API tovrik_result tovrik_stop_iso_stream(tovrik_device* device);
TOVRIK_SDK_API tovrik_packets_result tovrik_read_iso_stream(tovrik_device* device,
                                                            uint32_t packet_size,
                                                            uint32_t packet_count, void* buffer,
                                                            uint32_t buffer_length);

/* IOCTL_TOVRIK_SET_FEATURE: SET_FEATURE to the device. */
TOVRIK_SDK_API tovrik_result tovrik_set_feature(tovrik_device* device, uint16_t feature_selector,
                                                uint16_t index);

/* IOCTL_TOVRIK_SET_TIMEOUT: selector TOVRIK_TIMEOUT_SELECTOR_BULK sets the driver-wide bulk time
 * limit (every device); other selectors change nothing. */
TOVRIK_SDK_API tovrik_result tovrik_set_timeout(tovrik_device* device, uint32_t selector,
                                                int32_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* TOVRIK_SDK_H */
