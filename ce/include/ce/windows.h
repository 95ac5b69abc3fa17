// The platform's API surface in one include, as a driver source would use it.
#pragma once

#include "ce/devmgr.h"
#include "ce/file.h"
#include "ce/heap.h"
#include "ce/loader.h"
#include "ce/registry.h"
#include "ce/serial.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "ce/types.h"
#include "ce/usb.h"
#include "ce/wstr.h"
