// serve: the platform booted with the real driver, one device model behind
// it, and the port bridged to RFC 2217 clients and a pty.
//
// Threads:
//   main      boots, accepts clients (refusing a second one), prints the
//             status line, and on SIGINT/SIGTERM tears everything down;
//   client    one per accepted connection: telnet input to the session;
//   reader    ReadFile on the port, bytes to the client and the pty;
//   events    WaitCommEvent on the port: modem and line-state notices;
//   pty       packet-mode master: data and termios changes to the port.
// `clientMu_` guards the current client (connection and session); each
// Connection orders writes to its socket; the port is ComPort's business.
#include "serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "ce/windows.h"
#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_real.h"
#include "com_port.h"
#include "platform.h"
#include "pty_bridge.h"
#include "rfc2217.h"
#include "sim/catalog.h"
#include "sim/serial_line.h"

namespace serlynx {

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char b = 1;
    ssize_t ignored = write(gSignalPipe[1], &b, 1);
    (void)ignored;
}

// Nothing behind the device: an open cable. Bytes sent are lost, inputs low.
class OpenLine : public sim::SerialLine {
  public:
    void Transmit(const uint8_t*, size_t) override {}
    void SetOutputs(bool, bool) override {}
    void SetBreak(bool) override {}
    void Configure(const sim::LineConfig&) override {}
    sim::ModemInputs Inputs() const override { return {}; }
};

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

bool SendAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string PeerName(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// One accepted client. The socket is closed when the last holder lets go,
// so a thread still sending never writes to a reused descriptor.
struct Connection {
    Connection(int f, std::string p) : fd(f), peer(std::move(p)) {}
    ~Connection() { close(fd); }
    void Send(const rfc2217::Bytes& bytes) {
        SendWith([&] { return bytes; });
    }
    // Builds the bytes and sends them under the send lock, so that notices
    // built from state leave in the order that state changed.
    void SendWith(const std::function<rfc2217::Bytes()>& build) {
        std::lock_guard<std::mutex> g(sendMu);
        rfc2217::Bytes bytes = build();
        if (!bytes.empty())
            SendAll(fd, bytes.data(), bytes.size());
    }
    const int fd;
    const std::string peer;
    std::mutex sendMu;  // orders writes to the socket
};

Console& TheConsole() {
    static Console console;
    return console;
}

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

bool Server::ServeDevice(cehost::UsbBus& bus, sim::BuiltModel model) {
    bus_ = &bus;
    model_ = std::move(model);
    auto* real = dynamic_cast<cehost::RealUsbDeviceModel*>(model_.usb.get());
    const std::string label =
        (real ? cehost::DescribeRealUsbDevice(real->Device()) : options_.device) + role_;
    const char* device = label.c_str();
    const std::u16string keyPath = DeviceKeyPath(model_.usb->DeviceDescriptor());
    const bool hadKey = cehost::RegKeyExists(keyPath);
    cehost::UsbDeviceId first = bus_->Plug(model_.usb);
    if (first == 0) {
        if (real && real->Error() != cehost::RealUsbError::kNone)
            std::fprintf(stderr, "serlynx serve: %s\n", real->ErrorText().c_str());
        else
            std::fprintf(stderr, "serlynx serve: the %s device could not be enumerated\n", device);
        return false;
    }
    if (bus_->Owner(first) == u"Serlynx") {
        id_ = first;
        console_.Line("plugged %s: served at once from the existing key %s", device,
                      cehost::Utf8(keyPath).c_str());
    } else {
        DeviceKey key = ReadDeviceKey(keyPath);
        if (!key.present) {
            std::fprintf(stderr, "serlynx serve: the first attach of %s wrote no device key%s\n",
                         device, hadKey ? "" : " (was the catch-all entry already spent?)");
            return false;
        }
        console_.Line("plugged %s: first attach wrote %s with UsbMode 0x%x", device,
                      cehost::Utf8(keyPath).c_str(), static_cast<unsigned>(key.usbMode));
        id_ = bus_->Replug(first);
        if (id_ == 0 && real && real->Error() != cehost::RealUsbError::kNone) {
            std::fprintf(stderr, "serlynx serve: %s\n", real->ErrorText().c_str());
            return false;
        }
        if (id_ == 0 || bus_->Owner(id_) != u"Serlynx") {
            std::fprintf(stderr,
                         "serlynx serve: the driver did not take the device on its "
                         "second attach\n");
            return false;
        }
        console_.Line("plugged it again: the driver serves it");
    }
    DeviceKey key = ReadDeviceKey(keyPath);
    // The newest COM port is this device's: devices are served one by one.
    auto active = cehost::ActiveDevices();
    for (auto it = active.rbegin(); it != active.rend(); ++it) {
        if (it->name.rfind(u"COM", 0) == 0 && !it->removing) {
            portName_ = it->name;
            break;
        }
    }
    if (portName_.empty()) {
        std::fprintf(stderr,
                     "serlynx serve: the driver took the device but no COM port "
                     "appeared\n");
        return false;
    }
    console_.Line("port \"%s\" type %s, %s, \"%s\"", cehost::Utf8(portName_).c_str(),
                  PortTypeText(key.usbMode).c_str(), EndpointsText(key).c_str(),
                  key.friendlyName.c_str());
    handle_ = CreateFileW(portName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "serlynx serve: %s could not be opened (error %u)\n",
                     cehost::Utf8(portName_).c_str(), static_cast<unsigned>(GetLastError()));
        return false;
    }
    // Reads return what has come within 100 ms; a write held by flow control
    // returns within a second (and is taken up again), so that closing the
    // port never waits on the line.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 100, 0, 1000};
    SetCommTimeouts(handle_, &timeouts);
    SetCommMask(handle_, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR | EV_BREAK);
    // Bulk-only and type-4 adapters have no modem lines to drive.
    const DWORD type = key.usbMode & 0xFF;
    port_ = std::make_unique<ComPort>(
        handle_, [this] { WriteState(); }, type != 0 && type != 4);
    port_->Quiet();
    const LineFormat& f = options_.format;
    if (!port_->SetDataBits(f.dataBits) || !port_->SetParity(f.parity) ||
        !port_->SetStopBits(f.stopBits)) {
        std::fprintf(stderr, "serlynx serve: --format: the port refused %s\n",
                     port_->Summary().c_str());
        return false;
    }
    return true;
}

bool Server::OpenPty() {
    if (options_.pty.empty())
        return true;
    std::string error;
    pty_ = PtyBridge::Open(options_.pty, *port_, &error);
    if (!pty_) {
        std::fprintf(stderr, "serlynx serve: --pty %s: %s\n", options_.pty.c_str(), error.c_str());
        return false;
    }
    console_.Line("pty %s -> %s (mode 0600)", options_.pty.c_str(), pty_->SlaveName().c_str());
    return true;
}

void Server::Start() {
    WriteState();
    reader_ = std::thread([this] { ReaderLoop(); });
    events_ = std::thread([this] { EventLoop(); });
}

bool Server::Listen() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        std::perror("serlynx serve: socket");
        return false;
    }
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(options_.port));
    if (inet_pton(AF_INET, options_.host.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "serlynx serve: --rfc2217: \"%s\" is not an IPv4 address\n",
                     options_.host.c_str());
        return false;
    }
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 4) != 0) {
        std::fprintf(stderr, "serlynx serve: cannot listen on %s:%d: %s\n", options_.host.c_str(),
                     options_.port, std::strerror(errno));
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    console_.Line("listening for RFC 2217 clients of %s%s on %s:%u (rfc2217://%s:%u)",
                  cehost::Utf8(portName_).c_str(), role_.c_str(), options_.host.c_str(),
                  ntohs(addr.sin_port), options_.host.c_str(), ntohs(addr.sin_port));
    return true;
}

void Server::SendToClient(const rfc2217::Bytes& bytes) {
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard<std::mutex> g(clientMu_);
        conn = conn_;
    }
    if (conn)
        conn->Send(bytes);
}

void Server::Notify(const std::function<rfc2217::Bytes(rfc2217::Session&)>& notice) {
    std::shared_ptr<Connection> conn;
    std::shared_ptr<rfc2217::Session> session;
    {
        std::lock_guard<std::mutex> g(clientMu_);
        conn = conn_;
        session = session_;
    }
    if (conn && session)
        conn->SendWith([&] { return notice(*session); });
}

void Server::Accept() {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const std::string name = PeerName(peer);
    std::unique_lock<std::mutex> g(clientMu_);
    if (conn_) {
        const std::string holder = conn_->peer;
        g.unlock();
        std::string message = "serlynx: " + cehost::Utf8(portName_) +
                              " is in use by another client (" + holder +
                              "); try again when it has disconnected\r\n";
        SendAll(fd, reinterpret_cast<const uint8_t*>(message.data()), message.size());
        shutdown(fd, SHUT_RDWR);
        close(fd);
        console_.Line("refused %s: the port is in use by %s", name.c_str(), holder.c_str());
        return;
    }
    if (!clientDone_)
        clientCv_.wait(g, [&] { return clientDone_; });
    g.unlock();
    if (client_.joinable())
        client_.join();
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A client whose machine vanished without closing is noticed within
    // about half a minute, and the port is freed for the next one.
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = 10, interval = 5, probes = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    auto conn = std::make_shared<Connection>(fd, name);
    g.lock();
    conn_ = conn;
    clientDone_ = false;
    auto session = std::make_shared<rfc2217::Session>(*port_, "Serlynx " + cehost::Utf8(portName_));
    session_ = session;
    g.unlock();
    console_.Line("client %s connected", name.c_str());
    conn->Send(session->Greeting());
    client_ = std::thread([this, conn, session] { ClientLoop(conn, session); });
}

// The session is used without clientMu_: Receive may block in a port write
// held by flow control, and the status line and notices must go on.
void Server::ClientLoop(std::shared_ptr<Connection> conn,
                        std::shared_ptr<rfc2217::Session> session) {
    const int fd = conn->fd;
    uint8_t buffer[4096];
    std::string why = "disconnected";
    while (true) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        rfc2217::Bytes reply;
        const bool ok = session->Receive(buffer, static_cast<size_t>(n), reply);
        conn->Send(reply);
        if (!ok) {
            why = "closed: " + session->Error();
            break;
        }
        // The first modem notice follows the negotiation that turned the
        // option on; later ones come from comm events.
        conn->SendWith([&] { return session->ModemChanged(port_->ModemLevels()); });
    }
    {
        std::lock_guard<std::mutex> g(clientMu_);
        conn_.reset();
        session_.reset();
        shutdown(fd, SHUT_RDWR);
    }
    if (!stopping_) {
        port_->Quiet();
        console_.Line("client %s %s; %s is free", conn->peer.c_str(), why.c_str(),
                      cehost::Utf8(portName_).c_str());
    }
    std::lock_guard<std::mutex> g(clientMu_);
    clientDone_ = true;
    clientCv_.notify_all();
}

void Server::Deliver(const uint8_t* data, size_t length) {
    port_->fromDevice += length;
    if (pty_)
        pty_->FromPort(data, length);
    // A client that asked for a pause gets the data when it resumes; the
    // port's own buffer and flow control hold the rest meanwhile.
    // The session is asked itself: a suspend decoded just before data the
    // loopback returns at once must already hold that data back.
    while (!stopping_) {
        std::shared_ptr<rfc2217::Session> session;
        {
            std::lock_guard<std::mutex> g(clientMu_);
            session = session_;
        }
        if (!session || !session->OutputSuspended())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    SendToClient(rfc2217::EscapeData(data, length));
}

void Server::ReaderLoop() {
    uint8_t buffer[4096];
    while (!stopping_) {
        DWORD got = 0;
        if (!ReadFile(handle_, buffer, sizeof buffer, &got, nullptr)) {
            if (GetLastError() == ERROR_INVALID_HANDLE)
                break;  // the port is gone
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (got > 0)
            Deliver(buffer, got);
    }
}

void Server::EventLoop() {
    while (!stopping_) {
        DWORD events = 0;
        if (!WaitCommEvent(handle_, &events, nullptr))
            break;  // the port is gone or the mask was cleared
        if (stopping_)
            break;
        if (events & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) {
            uint8_t levels = port_->ModemLevels();
            Notify([levels](rfc2217::Session& s) { return s.ModemChanged(levels); });
        }
        if (events & (EV_ERR | EV_BREAK)) {
            DWORD errors = 0;
            COMSTAT stat{};
            ClearCommError(handle_, &errors, &stat);
            uint8_t bits = 0;
            if (errors & (CE_OVERRUN | CE_RXOVER))
                bits |= rfc2217::kLineOverrun;
            if (errors & CE_RXPARITY)
                bits |= rfc2217::kLineParity;
            if (errors & CE_FRAME)
                bits |= rfc2217::kLineFraming;
            if ((errors & CE_BREAK) || (events & EV_BREAK))
                bits |= rfc2217::kLineBreak;
            if (bits & (rfc2217::kLineOverrun | rfc2217::kLineParity | rfc2217::kLineFraming))
                ++port_->lineErrors;
            Notify([bits](rfc2217::Session& s) { return s.LineErrors(bits); });
        }
    }
}

void Server::WriteState() {
    if (options_.stateFile.empty())
        return;
    std::lock_guard<std::mutex> g(stateMu_);
    const std::string tmp = options_.stateFile + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << model_.stateJson() << "\n";
    }
    std::rename(tmp.c_str(), options_.stateFile.c_str());
}

std::string Server::StatusText() {
    uint8_t m = port_->ModemLevels();
    rfc2217::PortSettings s = port_->Settings();
    std::string client;
    {
        std::lock_guard<std::mutex> g(clientMu_);
        client = conn_ ? conn_->peer : "no client";
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s %s | to device %llu B, from device %llu B | %s %s %s %s %s %s | errors "
                  "%llu | %s",
                  cehost::Utf8(portName_).c_str(), port_->Summary().c_str(),
                  static_cast<unsigned long long>(port_->toDevice.load()),
                  static_cast<unsigned long long>(port_->fromDevice.load()), s.dtr ? "DTR" : "dtr",
                  s.rts ? "RTS" : "rts", (m & 0x10) ? "CTS" : "cts", (m & 0x20) ? "DSR" : "dsr",
                  (m & 0x40) ? "RI" : "ri", (m & 0x80) ? "CD" : "cd",
                  static_cast<unsigned long long>(port_->lineErrors.load()), client.c_str());
    return text;
}

void Server::Shutdown() {
    if (stopping_.exchange(true))
        return;
    if (listenFd_ >= 0)
        close(listenFd_);
    listenFd_ = -1;
    {
        std::lock_guard<std::mutex> g(clientMu_);
        if (conn_)
            shutdown(conn_->fd, SHUT_RDWR);
    }
    if (port_) {
        // Releases a write held by flow control, the read and the event wait.
        port_->Close();
        SetCommMask(handle_, 0);
    }
    if (client_.joinable())
        client_.join();
    if (pty_)
        pty_->Stop();
    if (events_.joinable())
        events_.join();
    if (reader_.joinable())
        reader_.join();
    pty_.reset();
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    port_.reset();
    if (bus_ && id_ != 0) {
        console_.Line("unplugging the device: the driver removes %s",
                      cehost::Utf8(portName_).c_str());
        bus_->Unplug(id_);
        id_ = 0;
    }
}

// The line behind the main device, and the far device of a null modem.
struct Wiring {
    std::shared_ptr<sim::SerialLine> line, line2;  // the main device's channels
    std::shared_ptr<sim::SerialLine> farLine, farLine2;
    const sim::ModelEntry* far = nullptr;
};

bool Wire(const ServeOptions& o, Wiring* w) {
    sim::LinePacing pacing;
    pacing.paced = o.paced;
    if (o.line == "loopback") {
        // Paced, characters go round the plug at the rate the device is set
        // to, and the chip's transmit FIFO holds the host back.
        w->line = std::make_shared<sim::LoopbackPlug>(pacing);
        w->line2 = std::make_shared<sim::LoopbackPlug>(pacing);
        return true;
    }
    if (o.line == "none") {
        if (o.paced) {
            std::fprintf(stderr,
                         "serlynx serve: --paced: there is no line to pace with --line "
                         "none\n");
            return false;
        }
        w->line = std::make_shared<OpenLine>();
        w->line2 = std::make_shared<OpenLine>();
        return true;
    }
    if (o.line.rfind("null-modem:", 0) == 0) {
        const std::string name = o.line.substr(11);
        w->far = sim::FindModel(name);
        if (w->far == nullptr) {
            std::fprintf(stderr,
                         "serlynx serve: --line %s: unknown device \"%s\"; the models are: %s\n",
                         o.line.c_str(), name.c_str(), sim::ModelNames().c_str());
            return false;
        }
        // The cable joins the two first channels; second channels (of a
        // two-channel device) get plugs of their own.
        auto cable = sim::NullModem::Create(pacing);
        w->line = cable->EndA();
        w->farLine = cable->EndB();
        w->line2 = std::make_shared<sim::LoopbackPlug>(pacing);
        w->farLine2 = std::make_shared<sim::LoopbackPlug>(pacing);
        return true;
    }
    std::fprintf(stderr,
                 "serlynx serve: --line \"%s\": expected loopback, none or null-modem:NAME\n",
                 o.line.c_str());
    return false;
}

bool InstallDriver() {
    if (cehost::UsbInstallClient(kDriverLibrary))
        return true;
    std::fprintf(stderr,
                 "serlynx serve: the driver library could not be installed: is libserlynx.so "
                 "next to the serlynx executable?\n");
    return false;
}

// The real device `options.usb` names, as a model to plug on a kReal bus.
bool RealDevice(const ServeOptions& options, sim::BuiltModel* model) {
    cehost::RealUsbSelector selector;
    std::string error;
    if (!cehost::ParseRealUsbSelector(options.usb, &selector, &error)) {
        std::fprintf(stderr, "serlynx serve: --usb %s\n", error.c_str());
        return false;
    }
    const std::vector<cehost::RealUsbDevice> devices = cehost::ListRealUsbDevices();
    const int at = cehost::SelectRealUsbDevice(devices, selector, &error);
    if (at < 0) {
        std::fprintf(stderr, "serlynx serve: %s\n", error.c_str());
        return false;
    }
    auto real = std::make_shared<cehost::RealUsbDeviceModel>(devices[size_t(at)]);
    model->usb = real;
    model->stateJson = [real] {
        const cehost::RealUsbDevice& d = real->Device();
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendor, d.product);
        return std::string("{\"model\":\"usb\",\"ids\":\"") + ids + "\",\"port\":\"" + d.port +
               "\"}";
    };
    return true;
}

int Serve(const ServeOptions& options) {
    Console& console = TheConsole();
    sim::BuiltModel realModel;
    if (!options.usb.empty() && !RealDevice(options, &realModel))
        return 1;
    const sim::ModelEntry* entry = options.usb.empty() ? sim::FindModel(options.device) : nullptr;
    if (entry == nullptr && options.usb.empty()) {
        std::fprintf(stderr, "serlynx serve: unknown device \"%s\"; the models are: %s\n",
                     options.device.c_str(), sim::ModelNames().c_str());
        return 2;
    }
    Wiring wiring;
    if (!Wire(options, &wiring))
        return 2;
    if (pipe2(gSignalPipe, O_CLOEXEC) != 0)
        return 1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!options.registry.empty()) {
        if (std::filesystem::exists(options.registry)) {
            cehost::RegFileError error;
            if (!cehost::ImportRegFile(options.registry, &error)) {
                std::fprintf(stderr, "serlynx serve: %s: %s\n", options.registry.c_str(),
                             error.ToString().c_str());
                return 1;
            }
            console.Line("loaded the registry from %s", options.registry.c_str());
        } else {
            console.Line(
                "%s does not exist yet: starting with an empty registry, saved there "
                "at exit",
                options.registry.c_str());
        }
    }
    auto bus = std::make_unique<cehost::UsbBus>(options.usb.empty() ? cehost::UsbTiming::kUntimed
                                                                    : cehost::UsbTiming::kReal);
    // The traffic log grows with every transfer: keep it only when asked.
    bus->SetLogging(!options.capture.empty());

    // The far device of a null modem is served too, on the next port.
    std::vector<std::unique_ptr<Server>> servers;
    servers.push_back(std::make_unique<Server>(options, ""));
    if (wiring.far != nullptr) {
        ServeOptions far;
        far.device = wiring.far->name;
        far.host = options.host;
        far.port = options.port == 0 ? 0 : options.port + 1;
        servers.push_back(std::make_unique<Server>(far, " (far end of the null modem)"));
    }
    bool ok = InstallDriver();
    if (ok) {
        console.Line("installed the driver: %s names serlynx.dll",
                     cehost::Utf8(kCatchAllKeyPath).c_str());
        ok = servers[0]->ServeDevice(
            *bus, entry ? entry->Make(wiring.line, wiring.line2) : std::move(realModel));
    }
    // Each first attach spends the catch-all entry: arm it again.
    if (ok && servers.size() > 1)
        ok = InstallDriver() &&
             servers[1]->ServeDevice(*bus, wiring.far->Make(wiring.farLine, wiring.farLine2));
    for (auto& server : servers)
        ok = ok && server->Listen();
    ok = ok && servers[0]->OpenPty();
    int status = 0;
    if (ok) {
        for (auto& server : servers)
            server->Start();
        console.Line("ready; Ctrl-C unplugs the device and exits");
        while (true) {
            std::vector<pollfd> fds{{gSignalPipe[0], POLLIN, 0}};
            for (auto& server : servers)
                fds.push_back({server->ListenFd(), POLLIN, 0});
            int n = poll(fds.data(), fds.size(), 500);
            if (n < 0 && errno != EINTR)
                break;
            if (fds[0].revents & POLLIN)
                break;
            if (servers[0]->DeviceGone()) {
                console.EndStatus();
                console.Line(
                    "the device was unplugged and the driver removed its port; plug it in "
                    "and start serve again");
                status = 1;
                break;
            }
            for (size_t i = 0; i < servers.size(); ++i) {
                if (fds[i + 1].revents & POLLIN)
                    servers[i]->Accept();
                servers[i]->Tick();
            }
            console.Status(servers[0]->StatusText());
        }
        console.EndStatus();
        console.Line("stopping");
    } else {
        status = 1;
    }
    for (auto it = servers.rbegin(); it != servers.rend(); ++it)
        (*it)->Shutdown();
    if (!options.capture.empty()) {
        if (bus->WritePcap(options.capture)) {
            console.Line("wrote the USB traffic to %s", options.capture.c_str());
        } else {
            std::fprintf(stderr, "serlynx serve: cannot write %s\n", options.capture.c_str());
            status = 1;
        }
    }
    servers.clear();
    bus.reset();
    if (!options.registry.empty() && status == 0) {
        cehost::RegFileError error;
        if (cehost::ExportRegFile(options.registry, u"", &error)) {
            console.Line("saved the registry to %s", options.registry.c_str());
        } else {
            std::fprintf(stderr, "serlynx serve: %s: %s\n", options.registry.c_str(),
                         error.ToString().c_str());
            status = 1;
        }
    }
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        std::fprintf(stderr, "serlynx serve: the platform counted misuse or leaks: %s\n",
                     cehost::CountersReport().c_str());
    return status;
}

}  // namespace

bool ParseLineFormat(const std::string& text, LineFormat* format) {
    if (text.size() < 3 || text[0] < '5' || text[0] > '8')
        return false;
    static const char kParities[] = "NOEMS";  // RFC 2217 codes 1..5 in this order
    const char* p = std::strchr(kParities, std::toupper(static_cast<unsigned char>(text[1])));
    if (p == nullptr || *p == '\0')
        return false;
    const std::string stop = text.substr(2);
    uint8_t stopCode = stop == "1"     ? rfc2217::kStopOne
                       : stop == "1.5" ? rfc2217::kStopOneAndHalf
                       : stop == "2"   ? rfc2217::kStopTwo
                                       : 0;
    if (stopCode == 0)
        return false;
    format->dataBits = static_cast<uint8_t>(text[0] - '0');
    format->parity = static_cast<uint8_t>(rfc2217::kParityNone + (p - kParities));
    format->stopBits = stopCode;
    return true;
}

int RunServe(const ServeOptions& options) {
    return Serve(options);
}

}  // namespace serlynx
