// The two firmware images the driver writes into the camera's RAM, in the record format they are
// stored in.
//
// The arrays are defined in a source file that the build generates from two Intel HEX files
// (tools/firmware converts them; the repository's images are stand-ins, the camera's own files
// are passed with TOVRIK_FIRMWARE_A_HEX and TOVRIK_FIRMWARE_B_HEX). They are constant data with
// aggregate initialisers only, so nothing has to run before DriverEntry to set them up.
#pragma once

#include "platform/kernel.h"

// Most data bytes one record carries.
#define FIRMWARE_RECORD_MAX_DATA 16

// One record of an image, following the Intel HEX record model: Type 0 carries Length bytes for
// device memory at Address; any other Type ends the image (the images end with Type 1, Length 0,
// Address 0). Nothing else marks the size of an image, so a walk stops at the first record whose
// Type is not 0. Records are not in address order. Data bytes past Length and both reserved bytes
// are 0.
typedef struct _FIRMWARE_RECORD {
    UCHAR Length; // at most FIRMWARE_RECORD_MAX_DATA
    UCHAR Reserved0;
    USHORT Address;
    UCHAR Type;
    UCHAR Data[FIRMWARE_RECORD_MAX_DATA];
    UCHAR Reserved1;
} FIRMWARE_RECORD, *PFIRMWARE_RECORD;

// The layout is the stored format itself (22 bytes, Address little-endian at offset 2): the
// generated arrays and anything that reads them byte by byte depend on it.
static_assert(sizeof(FIRMWARE_RECORD) == 22, "FIRMWARE_RECORD is 22 bytes");
static_assert(FIELD_OFFSET(FIRMWARE_RECORD, Length) == 0, "FIRMWARE_RECORD.Length at 0");
static_assert(FIELD_OFFSET(FIRMWARE_RECORD, Address) == 2, "FIRMWARE_RECORD.Address at 2");
static_assert(FIELD_OFFSET(FIRMWARE_RECORD, Type) == 4, "FIRMWARE_RECORD.Type at 4");
static_assert(FIELD_OFFSET(FIRMWARE_RECORD, Data) == 5, "FIRMWARE_RECORD.Data at 5");
static_assert(FIELD_OFFSET(FIRMWARE_RECORD, Reserved1) == 21, "FIRMWARE_RECORD.Reserved1 at 21");

// The loader, downloaded first.
extern const FIRMWARE_RECORD FirmwareImageA[];

// The camera program, downloaded second.
extern const FIRMWARE_RECORD FirmwareImageB[];
