#include "pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace serlynx {

namespace {

struct SpeedEntry {
    speed_t speed;
    uint32_t baud;
};
const SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

}  // namespace

uint32_t SpeedToBaud(unsigned speed) {
    for (const SpeedEntry& e : kSpeeds) {
        if (e.speed == speed)
            return e.baud;
    }
    return 0;
}

std::unique_ptr<PtyBridge> PtyBridge::Open(const std::string& link, ComPort& port,
                                           std::string* error) {
    std::error_code ec;
    if (std::filesystem::symlink_status(link, ec).type() != std::filesystem::file_type::not_found) {
        *error = "the path already exists; remove it or choose another";
        return nullptr;
    }
    std::unique_ptr<PtyBridge> b(new PtyBridge(port));
    b->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (b->master_ < 0 || grantpt(b->master_) != 0 || unlockpt(b->master_) != 0) {
        *error = std::string("cannot create a pty: ") + std::strerror(errno);
        return nullptr;
    }
    const char* name = ptsname(b->master_);
    if (name == nullptr) {
        *error = "cannot name the pty's slave";
        return nullptr;
    }
    b->slaveName_ = name;
    chmod(name, 0600);
    // Held open so that the master never sees a hang-up between programs.
    b->slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (b->slave_ < 0) {
        *error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return nullptr;
    }
    termios t{};
    tcgetattr(b->slave_, &t);
    cfmakeraw(&t);
    t.c_lflag |= EXTPROC;
    cfsetspeed(&t, B9600);
    tcsetattr(b->slave_, TCSANOW, &t);
    int one = 1;
    if (ioctl(b->master_, TIOCPKT, &one) != 0) {
        *error = std::string("packet mode refused: ") + std::strerror(errno);
        return nullptr;
    }
    fcntl(b->master_, F_SETFL, fcntl(b->master_, F_GETFL) | O_NONBLOCK);
    if (symlink(name, link.c_str()) != 0) {
        *error = std::string("cannot create the symlink: ") + std::strerror(errno);
        return nullptr;
    }
    b->link_ = link;
    if (pipe2(b->stopPipe_, O_CLOEXEC) != 0) {
        *error = "cannot create a pipe";
        return nullptr;
    }
    b->ApplyTermios();
    b->thread_ = std::thread([p = b.get()] { p->Loop(); });
    return b;
}

PtyBridge::~PtyBridge() {
    Stop();
    for (int fd : {master_, slave_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0)
            close(fd);
    }
}

void PtyBridge::Stop() {
    if (stopped_.exchange(true))
        return;
    if (stopPipe_[1] >= 0) {
        const char b = 1;
        ssize_t ignored = write(stopPipe_[1], &b, 1);
        (void)ignored;
    }
    if (thread_.joinable())
        thread_.join();
    if (!link_.empty())
        unlink(link_.c_str());
}

void PtyBridge::FromPort(const uint8_t* data, size_t length) {
    int waits = 0;
    while (length > 0 && !stopped_) {
        ssize_t n = write(master_, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (++waits > 10)
            return;  // nobody reads the slave
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 10);
    }
}

void PtyBridge::ApplyTermios() {
    termios t{};
    if (tcgetattr(master_, &t) != 0)
        return;
    // A program that rewrote the local modes may have cleared EXTPROC; without
    // it no further change would be reported. Set it again at once: this
    // writes back the whole termios just read, and a change the program makes
    // meanwhile (reported to no one, EXTPROC being clear) would be undone.
    // Doing it after the port's settings, which take USB requests, left the
    // program's next change time enough to be lost that way.
    if ((t.c_lflag & EXTPROC) == 0) {
        t.c_lflag |= EXTPROC;
        tcsetattr(master_, TCSANOW, &t);
    }
    uint32_t baud = SpeedToBaud(cfgetospeed(&t));
    rfc2217::PortSettings now = port_.Settings();
    bool changed = false;
    if (baud != 0 && baud != now.baud)
        changed |= port_.SetBaud(baud);
    uint8_t stop = (t.c_cflag & CSTOPB) ? rfc2217::kStopTwo : rfc2217::kStopOne;
    if (stop != now.stopBits)
        changed |= port_.SetStopBits(stop);
    rfc2217::Flow flow = (t.c_cflag & CRTSCTS)          ? rfc2217::Flow::kHardware
                         : (t.c_iflag & (IXON | IXOFF)) ? rfc2217::Flow::kXonXoff
                                                        : rfc2217::Flow::kNone;
    if (flow != now.flow)
        changed |= port_.SetFlow(flow);
    if (changed)
        port_.Changed();
}

void PtyBridge::Loop() {
    uint8_t buffer[4097];
    while (!stopped_) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        const uint8_t control = buffer[0];
        if (control == TIOCPKT_DATA) {
            if (n > 1)
                port_.Write(buffer + 1, static_cast<size_t>(n - 1));
            continue;
        }
        if (control & TIOCPKT_IOCTL)
            ApplyTermios();
        if (control & TIOCPKT_FLUSHREAD)
            port_.Purge(true, false);
        if (control & TIOCPKT_FLUSHWRITE)
            port_.Purge(false, true);
    }
}

}  // namespace serlynx
