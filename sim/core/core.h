// The simulated USB bus's core, compiled by every bus front end (the host kernel's bus in
// sim/bus, a kernel-mode bus driver for another kernel): include this header.
//
//   urb_table.h   the URB functions the bus serves and the USBD-to-request status table
//   schedule.h    microframes, bulk packets per microframe, periodic reservations, counters
//   usbpcap.h     the USBPcap record encoding of captures
//   bus_core.h    validation, configuration and pipes, transfers, and the contract at the
//                 seam between the core and its front end (read its opening comment first)
#pragma once

#include "core/bus_core.h"
#include "core/schedule.h"
#include "core/urb_table.h"
#include "core/usbpcap.h"
