// `serlynx serve`: one simulated adapter served by the real driver as a COM
// port and bridged to an RFC 2217 server (and optionally a pty).
#pragma once

#include <cstdint>
#include <string>

#include "rfc2217.h"

namespace serlynx {

// Data bits, parity and stop bits as RFC 2217 codes.
struct LineFormat {
    uint8_t dataBits = 8;
    uint8_t parity = rfc2217::kParityNone;
    uint8_t stopBits = rfc2217::kStopOne;
};

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
    // Line format set on the port once it is open ("8N1" by default): a pty
    // cannot carry data bits or parity (Linux forces CS8 and clears PARENB on
    // every pty), so terminal programs on --pty get them from here.
    LineFormat format;
};

// Parses "8N1", "7E1", "8O2", "7M1", "7S1.5": data bits 5-8, parity N, O, E,
// M or S (either case), stop bits 1, 1.5 or 2. False for anything else.
bool ParseLineFormat(const std::string& text, LineFormat* format);

// Runs until SIGINT or SIGTERM; the process's exit status.
int RunServe(const ServeOptions& options);

}  // namespace serlynx
