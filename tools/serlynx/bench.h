// serlynx bench: how fast the driver moves data on the simulated buses, and
// how close that is to the bus's own limit, measured in the same run.
//
// Everything runs on the calling thread plus the threads each scenario
// starts (a feeder, readers, a ping-pong partner) and the platform's own.
#pragma once

#include <string>

#include "cehost/usb_bus.h"

namespace serlynx {

struct BenchOptions {
    double seconds = 2.0;  // measuring time per throughput figure
    int echoSamples = 2000;
    bool quick = false;  // smoke mode: short runs, fewer cases; checks they run
    std::string only;    // run only the scenarios whose name contains this
    // When the timed buses report completions (every N (micro)frames:
    // completionFrames), and the ports' "ReceiveSlots" (0: the default).
    cehost::UsbCompletion completion = cehost::UsbCompletion::kPerTransfer;
    int completionFrames = 8;
    int rxSlots = 0;
    // Where to write the figures as JSON as well (docs/performance.md, "The
    // JSON output"): a file, "-" for standard output (the text then goes to
    // standard error), or empty for none.
    std::string json;
};

// Prints the figures; 0 when every scenario ran (however fast), 1 when one
// could not be set up, the platform counted a misuse or leak, or the JSON
// file could not be written.
int RunBench(const BenchOptions& options);

}  // namespace serlynx
