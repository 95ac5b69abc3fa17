// The served port behind a pty, for terminal programs. The master runs in
// packet mode with EXTPROC set on the slave, so every tcsetattr a program
// makes on the slave arrives here as a notification: speed, stop bits and
// RTS/CTS or XON/XOFF flow control are then put on the port. A pty carries
// no modem lines or break, and no data size or parity either: Linux forces
// CS8 and clears PARENB on every pty whatever the program asked for, so
// `serve --format` sets those.
//
// Threads: Loop runs on the bridge's own thread; FromPort on the serve
// reader's thread; Stop on the main thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "com_port.h"

namespace serlynx {

class PtyBridge {
  public:
    // Creates the pty, points the symlink `link` at its slave (mode 0600)
    // and starts the bridge thread; nullptr with `error` set on failure
    // (`link` already existing among them).
    static std::unique_ptr<PtyBridge> Open(const std::string& link, ComPort& port,
                                           std::string* error);
    ~PtyBridge();
    const std::string& SlaveName() const { return slaveName_; }
    // Bytes the port received, for the program on the slave. Dropped when
    // nobody reads them within a moment (a pty has no flow control back).
    void FromPort(const uint8_t* data, size_t length);
    // Ends the thread and removes the symlink. Idempotent.
    void Stop();

  private:
    PtyBridge(ComPort& port) : port_(port) {}
    void Loop();
    void ApplyTermios();

    ComPort& port_;
    std::string link_, slaveName_;
    int master_ = -1, slave_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

// Baud rate of a termios speed constant (0 for an unknown one), and back.
uint32_t SpeedToBaud(unsigned speed);

}  // namespace serlynx
