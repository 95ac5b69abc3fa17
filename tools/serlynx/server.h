// serve's bridge: one served device, its COM port bridged to one RFC 2217
// listener and, for the main device, a pty; and the console that progress
// lines go to. serve.cpp boots the platform and wires one or two of these.
//
// Threads:
//   main      (serve.cpp's loop) accepts clients (refusing a second one),
//             ticks the state file, reads the status line, and at the end
//             calls Shutdown;
//   client    one per accepted connection: telnet input to the session;
//   reader    ReadFile on the port, bytes to the client and the pty;
//   events    WaitCommEvent on the port: modem and line-state notices;
//   pty       packet-mode master: data and termios changes to the port.
// `clientMu_` guards the current client (connection and session); each
// Connection orders writes to its socket; the port is ComPort's business.
// Console serialises its lines with its own lock.
#pragma once

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ce/types.h"
#include "cehost/usb_bus.h"
#include "com_port.h"
#include "pty_bridge.h"
#include "rfc2217.h"
#include "serve.h"
#include "sim/catalog.h"

namespace serlynx {

// Progress lines and, on a terminal, a status line kept below them.
class Console {
  public:
    Console() : tty_(isatty(STDOUT_FILENO) == 1) {}
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        std::lock_guard<std::mutex> g(mu_);
        if (statusShown_)
            std::fputs("\r\033[K", stdout);
        va_list args;
        va_start(args, format);
        std::vprintf(format, args);
        va_end(args);
        std::fputc('\n', stdout);
        if (statusShown_)
            std::fputs(status_.c_str(), stdout);
        std::fflush(stdout);
    }
    void Status(const std::string& text) {
        if (!tty_)
            return;
        std::lock_guard<std::mutex> g(mu_);
        status_ = text;
        std::fputs("\r\033[K", stdout);
        std::fputs(text.c_str(), stdout);
        statusShown_ = true;
        std::fflush(stdout);
    }
    void EndStatus() {
        std::lock_guard<std::mutex> g(mu_);
        if (statusShown_)
            std::fputs("\r\033[K", stdout);
        statusShown_ = false;
        std::fflush(stdout);
    }

  private:
    const bool tty_;
    std::mutex mu_;
    std::string status_;
    bool statusShown_ = false;
};

// The process's one console.
Console& TheConsole();

// One accepted client (server.cpp).
struct Connection;

// One served device: its COM port bridged to one RFC 2217 listener (and,
// for the main device, the pty). RunServe owns the platform (registry, bus,
// driver installation) and one or, with a null modem, two of these.
class Server {
  public:
    // `role` names the device in messages ("" for the main one).
    Server(const ServeOptions& options, std::string role)
        : options_(options), role_(std::move(role)) {}
    // Plugs the model on `bus` (the driver's catch-all entry must be armed),
    // lets the driver serve it and opens its port.
    bool ServeDevice(cehost::UsbBus& bus, sim::BuiltModel model);
    bool Listen();
    bool OpenPty();
    // Starts the port's reader and event threads.
    void Start();
    int ListenFd() const { return listenFd_; }
    void Accept();
    void Tick() { WriteState(); }  // the byte counters move without settings changing
    std::string StatusText();
    // True once the device went away by itself (a real one unplugged).
    bool DeviceGone() const { return bus_ && id_ != 0 && !bus_->IsPlugged(id_); }
    // Ends the bridge and unplugs the device. Idempotent.
    void Shutdown();

  private:
    void ClientLoop(std::shared_ptr<Connection> conn, std::shared_ptr<rfc2217::Session> session);
    void ReaderLoop();
    void EventLoop();
    void Deliver(const uint8_t* data, size_t length);
    void SendToClient(const rfc2217::Bytes& bytes);
    // Runs `notice` on the session (if any) and sends what it returns.
    void Notify(const std::function<rfc2217::Bytes(rfc2217::Session&)>& notice);
    void WriteState();

    const ServeOptions options_;
    const std::string role_;
    Console& console_ = TheConsole();
    cehost::UsbBus* bus_ = nullptr;
    sim::BuiltModel model_;
    cehost::UsbDeviceId id_ = 0;
    std::u16string portName_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<ComPort> port_;
    std::unique_ptr<PtyBridge> pty_;
    int listenFd_ = -1;

    std::atomic<bool> stopping_{false};
    std::thread reader_, events_, client_;

    std::mutex clientMu_;
    std::condition_variable clientCv_;
    std::shared_ptr<Connection> conn_;           // clientMu_
    std::shared_ptr<rfc2217::Session> session_;  // clientMu_
    bool clientDone_ = true;                     // clientMu_: the client thread may be joined
    std::mutex stateMu_;
};

}  // namespace serlynx
