#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "ce/windows.h"
#include "cehost/devmgr.h"
#include "cehost/regfile.h"
#include "cehost/usb_real.h"
#include "platform.h"

namespace serlynx {

namespace {

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

}  // namespace

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

}  // namespace serlynx
