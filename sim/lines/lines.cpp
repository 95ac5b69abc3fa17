// Serial lines: the attach point, the loopback plug, the null modem and the
// scripted line.
#include <chrono>

#include "sim/serial_line.h"
#include "wire.h"

namespace sim {

void SerialLine::Attach(LineDevice* device) {
    ModemInputs now = Inputs();
    std::lock_guard<std::recursive_mutex> g(deviceMu_);
    device_ = device;
    if (device_)
        device_->LineInputs(now);
}

void SerialLine::DeliverReceive(const uint8_t* data, size_t length) {
    std::lock_guard<std::recursive_mutex> g(deviceMu_);
    if (device_)
        device_->LineReceive(data, length);
}
void SerialLine::DeliverInputs(const ModemInputs& inputs) {
    std::lock_guard<std::recursive_mutex> g(deviceMu_);
    if (device_)
        device_->LineInputs(inputs);
}
void SerialLine::DeliverError(uint32_t errors) {
    std::lock_guard<std::recursive_mutex> g(deviceMu_);
    if (device_)
        device_->LineError(errors);
}
void SerialLine::DeliverBreak(bool on) {
    std::lock_guard<std::recursive_mutex> g(deviceMu_);
    if (device_)
        device_->LineBreak(on);
}

void SerialLine::DeliverTransmitReady() {
    std::lock_guard<std::recursive_mutex> g(deviceMu_);
    if (device_)
        device_->LineTransmitReady();
}

// ---- LoopbackPlug ----

LoopbackPlug::LoopbackPlug() : LoopbackPlug(LinePacing{}) {}

LoopbackPlug::LoopbackPlug(LinePacing pacing) : wire_(std::make_unique<Wire>(this, this, pacing)) {}

LoopbackPlug::~LoopbackPlug() {
    wire_.reset();
}

void LoopbackPlug::Transmit(const uint8_t* data, size_t length) {
    wire_->Send(data, length);
}

size_t LoopbackPlug::TransmitRoom() const {
    return wire_->Room();
}

uint64_t LoopbackPlug::Delivered() const {
    return wire_->Delivered();
}

void LoopbackPlug::SetOutputs(bool dtr, bool rts) {
    ModemInputs in;
    {
        std::lock_guard<std::mutex> g(mu_);
        inputs_.cts = rts;
        inputs_.dsr = dtr;
        inputs_.dcd = dtr;
        in = inputs_;
    }
    DeliverInputs(in);
}

void LoopbackPlug::SetBreak(bool on) {
    wire_->SendBreak(on);
}

void LoopbackPlug::Configure(const LineConfig& config) {
    {
        std::lock_guard<std::mutex> g(mu_);
        config_ = config;
    }
    // Both sides of the plug are the same UART.
    wire_->SetTx(config);
    wire_->SetRx(config);
}

ModemInputs LoopbackPlug::Inputs() const {
    std::lock_guard<std::mutex> g(mu_);
    return inputs_;
}

LineConfig LoopbackPlug::Config() const {
    std::lock_guard<std::mutex> g(mu_);
    return config_;
}

// ---- NullModem ----

std::shared_ptr<NullModem> NullModem::Create(LinePacing pacing) {
    std::shared_ptr<NullModem> cable(new NullModem(pacing));
    cable->self_ = cable;
    return cable;
}

NullModem::NullModem(LinePacing pacing) {
    a_.cable = b_.cable = this;
    a_.peer = &b_;
    b_.peer = &a_;
    aToB_ = std::make_unique<Wire>(&a_, &b_, pacing);
    bToA_ = std::make_unique<Wire>(&b_, &a_, pacing);
    a_.out = aToB_.get();
    b_.out = bToA_.get();
}

NullModem::~NullModem() {
    aToB_.reset();
    bToA_.reset();
}

std::shared_ptr<SerialLine> NullModem::EndA() {
    return std::shared_ptr<SerialLine>(self_.lock(), &a_);
}
std::shared_ptr<SerialLine> NullModem::EndB() {
    return std::shared_ptr<SerialLine>(self_.lock(), &b_);
}

LineConfig NullModem::ConfigA() const {
    std::lock_guard<std::mutex> g(a_.mu);
    return a_.config;
}
LineConfig NullModem::ConfigB() const {
    std::lock_guard<std::mutex> g(b_.mu);
    return b_.config;
}
uint64_t NullModem::DeliveredFromA() const {
    return aToB_->Delivered();
}
uint64_t NullModem::DeliveredFromB() const {
    return bToA_->Delivered();
}

void NullModem::End::Transmit(const uint8_t* data, size_t length) {
    out->Send(data, length);
}

void NullModem::End::SetOutputs(bool dtr, bool rts) {
    ModemInputs in;
    {
        std::lock_guard<std::mutex> g(peer->mu);
        peer->inputs.cts = rts;
        peer->inputs.dsr = dtr;
        peer->inputs.dcd = dtr;
        in = peer->inputs;
    }
    peer->DeliverInputs(in);
}

void NullModem::End::SetBreak(bool on) {
    out->SendBreak(on);
}

void NullModem::End::Configure(const LineConfig& c) {
    {
        std::lock_guard<std::mutex> g(mu);
        config = c;
    }
    out->SetTx(c);
    peer->out->SetRx(c);
}

ModemInputs NullModem::End::Inputs() const {
    std::lock_guard<std::mutex> g(mu);
    return inputs;
}

size_t NullModem::End::TransmitRoom() const {
    return out->Room();
}

// ---- ScriptedLine ----

void ScriptedLine::Inject(const std::vector<uint8_t>& bytes) {
    DeliverReceive(bytes.data(), bytes.size());
}

void ScriptedLine::SetInput(bool ModemInputs::*which, bool on) {
    ModemInputs in;
    {
        std::lock_guard<std::mutex> g(mu_);
        inputs_.*which = on;
        in = inputs_;
    }
    DeliverInputs(in);
}

void ScriptedLine::SetCts(bool on) {
    SetInput(&ModemInputs::cts, on);
}
void ScriptedLine::SetDsr(bool on) {
    SetInput(&ModemInputs::dsr, on);
}
void ScriptedLine::SetRi(bool on) {
    SetInput(&ModemInputs::ri, on);
}
void ScriptedLine::SetDcd(bool on) {
    SetInput(&ModemInputs::dcd, on);
}
void ScriptedLine::InjectError(uint32_t errors) {
    DeliverError(errors);
}
void ScriptedLine::InjectBreak(bool on) {
    DeliverBreak(on);
}

std::vector<uint8_t> ScriptedLine::TakeTransmitted() {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<uint8_t> out;
    out.swap(transmitted_);
    return out;
}

bool ScriptedLine::WaitTransmitted(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                        [&] { return transmitted_.size() >= count; });
}

bool ScriptedLine::Dtr() const {
    std::lock_guard<std::mutex> g(mu_);
    return dtr_;
}
bool ScriptedLine::Rts() const {
    std::lock_guard<std::mutex> g(mu_);
    return rts_;
}
bool ScriptedLine::Break() const {
    std::lock_guard<std::mutex> g(mu_);
    return break_;
}
LineConfig ScriptedLine::Config() const {
    std::lock_guard<std::mutex> g(mu_);
    return config_;
}

void ScriptedLine::Transmit(const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> g(mu_);
        transmitted_.insert(transmitted_.end(), data, data + length);
    }
    cv_.notify_all();
}

void ScriptedLine::SetOutputs(bool dtr, bool rts) {
    std::lock_guard<std::mutex> g(mu_);
    dtr_ = dtr;
    rts_ = rts;
}

void ScriptedLine::SetBreak(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    break_ = on;
}

void ScriptedLine::Configure(const LineConfig& config) {
    std::lock_guard<std::mutex> g(mu_);
    config_ = config;
}

ModemInputs ScriptedLine::Inputs() const {
    std::lock_guard<std::mutex> g(mu_);
    return inputs_;
}

}  // namespace sim
