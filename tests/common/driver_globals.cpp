// For test programs that link the driver's objects instead of loading the
// library: what the library's load handler would do, done once as the
// program starts (before any test resets the platform, so that the sweeps
// never count these process-wide sections as a test's leaks).
#include "driver/registration/install.h"

namespace {

struct DriverGlobals {
    DriverGlobals() { DriverGlobalsCreate(); }
} driverGlobals;

}  // namespace
