// The one header through which driver code reaches the kernel.
//
// Three builds share the driver sources:
//   - ELAM_PLATFORM_WDK:   the Windows Driver Kit; the kernel's own <ntddk.h>.
//   - ELAM_PLATFORM_CROSS: the clang cross build of the kernel image; the
//                          project's own declarations, imported from ntoskrnl.
//   - otherwise:           the host build, linked against the user-mode host
//                          kernel; the same declarations, with the Windows
//                          sizes and the Windows calling convention kept.
//
// Driver code includes this header and nothing else of the platform.
#pragma once

#define ELAM_PLATFORM_INSIDE 1

#if defined(ELAM_PLATFORM_WDK)
#include "wdk/platform_wdk.h"
#include "nt/elam_seam.h"
#else
#include "nt/nt_types.h"
#include "nt/nt_layouts.h"
#include "nt/nt_sysinfo.h"
#include "nt/nt_routines.h"
#include "nt/elam_seam.h"
#include "nt/nt_lists.h"
#endif

#undef ELAM_PLATFORM_INSIDE
