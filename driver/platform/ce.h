// The platform services the driver uses, in one include: core services
// (heap, synchronisation, threads, module lookup), the serial records and
// constants, the USB host driver's client interface and the device manager.
// Driver sources include this instead of naming ce/ headers one by one.
#pragma once

#include "ce/devmgr.h"
#include "ce/heap.h"
#include "ce/loader.h"
#include "ce/registry.h"
#include "ce/serial.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "ce/types.h"
#include "ce/usb.h"
#include "ce/wstr.h"
