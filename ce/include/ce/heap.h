// Local heap: LocalAlloc/LocalFree.
//
// LMEM_FIXED memory is filled with a non-zero pattern (0xCD) so that reads of
// memory the caller forgot to initialise show up; LMEM_ZEROINIT/LPTR memory is
// zeroed. Freeing a block that is not live (double free, foreign pointer) is
// counted as misuse and otherwise ignored. Thread-safe.
#pragma once

#include "ce/types.h"

typedef HANDLE HLOCAL;

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

CEAPI HLOCAL LocalAlloc(UINT uFlags, size_t uBytes);
// Returns NULL on success, the block itself on failure (as published).
CEAPI HLOCAL LocalFree(HLOCAL hMem);
