// The library's exported entry points: C linkage and default visibility.
// Everything else in the library is hidden (-fvisibility=hidden), so the
// exports are exactly the USB client entry points, the stream entry points
// and the load handler.
#pragma once

#define SERLYNX_EXPORT extern "C" __attribute__((visibility("default")))
