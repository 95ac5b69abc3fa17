#include "com_port.h"

#include <cstdio>

namespace serlynx {

using rfc2217::Flow;

ComPort::ComPort(HANDLE handle, std::function<void()> changed, bool modemLines)
    : handle_(handle), changed_(std::move(changed)), modemLines_(modemLines) {
    dcb_.DCBlength = sizeof(DCB);
    GetCommState(handle_, &dcb_);
    dtr_ = dcb_.fDtrControl == DTR_CONTROL_ENABLE;
    rts_ = dcb_.fRtsControl == RTS_CONTROL_ENABLE;
}

rfc2217::PortSettings ComPort::Settings() {
    std::lock_guard<std::mutex> g(mu_);
    rfc2217::PortSettings s;
    s.baud = dcb_.BaudRate;
    s.dataBits = dcb_.ByteSize;
    s.parity = static_cast<uint8_t>(dcb_.Parity + 1);
    s.stopBits = dcb_.StopBits == TWOSTOPBITS    ? rfc2217::kStopTwo
                 : dcb_.StopBits == ONE5STOPBITS ? rfc2217::kStopOneAndHalf
                                                 : rfc2217::kStopOne;
    s.flow = flow_;
    s.dtr = dtr_;
    s.rts = rts_;
    s.breakOn = breakOn_;
    return s;
}

bool ComPort::ApplyLocked(const DCB& before) {
    // The port re-applies DTR and RTS from the DCB, so it carries the levels
    // the client last set.
    dcb_.fDtrControl = dtr_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (flow_ != Flow::kHardware)
        dcb_.fRtsControl = rts_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (SetCommState(handle_, &dcb_))
        return true;
    dcb_ = before;
    return false;
}

bool ComPort::SetBaud(uint32_t baud) {
    std::lock_guard<std::mutex> g(mu_);
    DCB before = dcb_;
    dcb_.BaudRate = baud;
    return ApplyLocked(before);
}

bool ComPort::SetDataBits(uint8_t bits) {
    std::lock_guard<std::mutex> g(mu_);
    DCB before = dcb_;
    dcb_.ByteSize = bits;
    return ApplyLocked(before);
}

bool ComPort::SetParity(uint8_t code) {
    std::lock_guard<std::mutex> g(mu_);
    DCB before = dcb_;
    dcb_.Parity = static_cast<BYTE>(code - 1);  // protocol 1 none .. 5 space; DCB 0 .. 4
    dcb_.fParity = dcb_.Parity != NOPARITY;
    return ApplyLocked(before);
}

bool ComPort::SetStopBits(uint8_t code) {
    std::lock_guard<std::mutex> g(mu_);
    DCB before = dcb_;
    dcb_.StopBits = code == rfc2217::kStopTwo          ? TWOSTOPBITS
                    : code == rfc2217::kStopOneAndHalf ? ONE5STOPBITS
                                                       : ONESTOPBIT;
    return ApplyLocked(before);
}

bool ComPort::SetFlow(Flow flow) {
    std::lock_guard<std::mutex> g(mu_);
    DCB before = dcb_;
    const Flow oldFlow = flow_;
    dcb_.fOutxCtsFlow = flow == Flow::kHardware;
    dcb_.fRtsControl = flow == Flow::kHardware ? RTS_CONTROL_HANDSHAKE
                       : rts_                  ? RTS_CONTROL_ENABLE
                                               : RTS_CONTROL_DISABLE;
    dcb_.fOutX = dcb_.fInX = flow == Flow::kXonXoff;
    dcb_.XonChar = 0x11;
    dcb_.XoffChar = 0x13;
    flow_ = flow;
    if (ApplyLocked(before))
        return true;
    flow_ = oldFlow;
    return false;
}

bool ComPort::SetDtr(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    if (modemLines_ && !EscapeCommFunction(handle_, on ? SETDTR : CLRDTR))
        return false;
    dtr_ = on;
    dcb_.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    return true;
}

bool ComPort::SetRts(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    // Under hardware flow control RTS belongs to the port (the request is
    // refused there too).
    if (flow_ == Flow::kHardware ||
        (modemLines_ && !EscapeCommFunction(handle_, on ? SETRTS : CLRRTS)))
        return false;
    rts_ = on;
    dcb_.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    return true;
}

bool ComPort::SetBreak(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    if (modemLines_ && !(on ? SetCommBreak(handle_) : ClearCommBreak(handle_)))
        return false;
    breakOn_ = on;
    return true;
}

bool ComPort::Purge(bool receive, bool transmit) {
    DWORD flags = (receive ? PURGE_RXCLEAR : 0u) | (transmit ? PURGE_TXCLEAR | PURGE_TXABORT : 0u);
    return PurgeComm(handle_, flags);
}

uint8_t ComPort::ModemLevels() {
    DWORD status = 0;
    if (!GetCommModemStatus(handle_, &status))
        return 0;
    // MS_CTS_ON .. MS_RLSD_ON are the protocol's CTS, DSR, RI and CD bits.
    return static_cast<uint8_t>(status & 0xF0);
}

void ComPort::Write(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> g(writeMu_);
    size_t done = 0;
    // A write that times out while flow control holds the line is taken up
    // again: nothing the client sent is dropped unless the port closes, is
    // purged or goes away.
    while (done < length && !closing_) {
        DWORD written = 0;
        BOOL ok =
            WriteFile(handle_, data + done, static_cast<DWORD>(length - done), &written, nullptr);
        done += written;
        if (!ok)
            break;
    }
    toDevice += done;
}

void ComPort::Close() {
    closing_ = true;
    PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT);
}

void ComPort::Changed() {
    if (changed_)
        changed_();
}

void ComPort::Quiet() {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (breakOn_)
            ClearCommBreak(handle_);
        breakOn_ = false;
        EscapeCommFunction(handle_, CLRDTR);
        dtr_ = false;
        if (flow_ != Flow::kHardware)
            EscapeCommFunction(handle_, CLRRTS);
        rts_ = false;
        dcb_.fDtrControl = DTR_CONTROL_DISABLE;
        if (flow_ != Flow::kHardware)
            dcb_.fRtsControl = RTS_CONTROL_DISABLE;
    }
    Changed();
}

std::string ComPort::Summary() {
    std::lock_guard<std::mutex> g(mu_);
    static const char kParity[] = "NOEMS";
    static const char* kStop[] = {"1", "1.5", "2"};
    char text[64];
    std::snprintf(text, sizeof text, "%u %u%c%s%s", static_cast<unsigned>(dcb_.BaudRate),
                  static_cast<unsigned>(dcb_.ByteSize),
                  dcb_.Parity < 5 ? kParity[dcb_.Parity] : '?',
                  dcb_.StopBits < 3 ? kStop[dcb_.StopBits] : "?",
                  flow_ == Flow::kHardware  ? " RTS/CTS"
                  : flow_ == Flow::kXonXoff ? " XON/XOFF"
                                            : "");
    return text;
}

}  // namespace serlynx
