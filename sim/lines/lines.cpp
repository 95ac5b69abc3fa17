// Serial lines: the attach point, the loopback plug and the scripted line.
#include <chrono>

#include "sim/serial_line.h"

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

// ---- LoopbackPlug ----

void LoopbackPlug::Transmit(const uint8_t* data, size_t length) {
    DeliverReceive(data, length);
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
    DeliverBreak(on);
}

void LoopbackPlug::Configure(const LineConfig& config) {
    std::lock_guard<std::mutex> g(mu_);
    config_ = config;
}

ModemInputs LoopbackPlug::Inputs() const {
    std::lock_guard<std::mutex> g(mu_);
    return inputs_;
}

LineConfig LoopbackPlug::Config() const {
    std::lock_guard<std::mutex> g(mu_);
    return config_;
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
