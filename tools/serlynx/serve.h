// `serlynx serve`: one simulated adapter served by the real driver as a COM
// port and bridged to an RFC 2217 server (and optionally a pty).
#pragma once

#include <string>

namespace serlynx {

struct ServeOptions {
    std::string device = "ftdi";
    std::string usb;  // a real device ("VID:PID[@PORT|#N]") instead of a model
    std::string host = "127.0.0.1";
    int port = 2217;  // 0: any free port (the chosen one is printed)
    std::string pty;
    std::string line = "loopback";
    bool paced = false;
    std::string capture;
    std::string registry;
    std::string stateFile;
};

// Runs until SIGINT or SIGTERM; the process's exit status.
int RunServe(const ServeOptions& options);

}  // namespace serlynx
