// A device model for tests that feed the driver what a real chip would not:
// descriptors edited on the fly, strings of any shape, and IN packets,
// stalls or NAKs scripted per endpoint. Wrapped around a real chip model
// (`inner`), everything not scripted or edited is answered by that model,
// so the port starts and runs as on the bench.
//
// Threads: the UsbDeviceModel methods run on the bus's scheduler thread; the
// set-up methods on the test's thread. mu_ guards the script and the edits;
// it is never held while calling the inner model.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "cehost/usb_device_model.h"

namespace testfix {

using cehost::Bytes;
using cehost::UsbHandshake;

// One scripted answer to a bulk- or interrupt-IN poll.
struct InStep {
    UsbHandshake handshake = UsbHandshake::kAck;
    Bytes packet;  // cut to the endpoint's packet size
};

class ScriptedModel : public cehost::UsbDeviceModel {
  public:
    // The inner model's wake-ups (new IN data, room for OUT data) reach the
    // bus through this model, which is the one plugged.
    explicit ScriptedModel(std::shared_ptr<cehost::UsbDeviceModel> inner = nullptr)
        : inner_(std::move(inner)) {
        if (inner_)
            inner_->SetWaker(&forwardWake_);
    }
    ~ScriptedModel() override {
        if (inner_)
            inner_->SetWaker(nullptr);
    }

    // Fixed descriptors (empty: the inner model's).
    void SetDescriptors(Bytes device, Bytes config) {
        Locked([&] { device_ = std::move(device), config_ = std::move(config); });
    }
    // An edit applied to every configuration descriptor handed out (after
    // the fixed one or the inner model's); null removes it.
    void SetConfigEdit(std::function<Bytes(Bytes)> edit) {
        Locked([&] { edit_ = edit; });
    }
    void SetString(uint8_t index, Bytes descriptor) {
        Locked([&] { strings_[index] = std::move(descriptor); });
    }
    // Queues an answer for `endpoint`. Once an endpoint has been scripted it
    // NAKs when its script runs out (the inner model no longer answers it).
    void Script(uint8_t endpoint, InStep step) {
        Locked([&] { steps_[endpoint].push_back(std::move(step)); });
        Wake();
    }
    size_t Pending() {
        std::lock_guard<std::mutex> g(mu_);
        size_t n = 0;
        for (auto& [endpoint, steps] : steps_)
            n += steps.size();
        return n;
    }
    void DropScript() {
        Locked([&] { steps_.clear(); });
    }

    Bytes DeviceDescriptor() override {
        Bytes device = Locked([&] { return device_; });
        return device.empty() && inner_ ? inner_->DeviceDescriptor() : device;
    }
    Bytes ConfigurationDescriptor(uint8_t index) override {
        auto [config, edit] =
            Locked([&] { return std::pair(index == 0 ? config_ : Bytes{}, edit_); });
        if (config.empty() && inner_)
            config = inner_->ConfigurationDescriptor(index);
        return edit && !config.empty() ? edit(std::move(config)) : config;
    }
    Bytes StringDescriptor(uint8_t index, uint16_t language) override {
        auto set = Locked(
            [&] { return strings_.count(index) ? std::optional(strings_[index]) : std::nullopt; });
        return set ? *set : inner_ ? inner_->StringDescriptor(index, language) : Bytes{};
    }
    UsbHandshake Control(const USB_DEVICE_REQUEST& setup, const Bytes& out, Bytes& in) override {
        if (inner_)
            return inner_->Control(setup, out, in);
        // Without a chip model every request is taken; reads get zeros.
        if (setup.bmRequestType & 0x80)
            in.assign(setup.wLength < 64 ? setup.wLength : 64, 0);
        return UsbHandshake::kAck;
    }
    UsbHandshake Out(uint8_t endpoint, const uint8_t* data, size_t length) override {
        return inner_ ? inner_->Out(endpoint, data, length) : UsbHandshake::kAck;
    }
    UsbHandshake In(uint8_t endpoint, size_t maxPacket, Bytes& packet) override {
        std::unique_lock<std::mutex> g(mu_);
        auto it = steps_.find(endpoint);
        if (it == steps_.end() || it->second.empty()) {
            const bool scripted = it != steps_.end();
            g.unlock();
            return inner_ && !scripted ? inner_->In(endpoint, maxPacket, packet)
                                       : UsbHandshake::kNak;
        }
        const InStep step = std::move(it->second.front());
        it->second.pop_front();
        packet.assign(step.packet.begin(),
                      step.packet.begin() + std::min(step.packet.size(), maxPacket));
        return step.handshake;
    }
    void ClearHalt(uint8_t endpoint) override { inner_ ? inner_->ClearHalt(endpoint) : void(); }
    void Configured(uint8_t value) override { inner_ ? inner_->Configured(value) : void(); }
    void Unplugged() override { inner_ ? inner_->Unplugged() : void(); }
    std::string Name() const override { return inner_ ? inner_->Name() : "scripted"; }

  private:
    template <class F>
    auto Locked(F f) -> std::invoke_result_t<F> {
        std::lock_guard<std::mutex> g(mu_);
        return f();
    }
    const std::shared_ptr<cehost::UsbDeviceModel> inner_;
    std::function<void()> forwardWake_{[this] { Wake(); }};
    std::mutex mu_;
    Bytes device_, config_;                        // mu_
    std::function<Bytes(Bytes)> edit_;             // mu_
    std::map<uint8_t, Bytes> strings_;             // mu_
    std::map<uint8_t, std::deque<InStep>> steps_;  // mu_
};

// ---- Configuration-descriptor edits ----------------------------------------
// A configuration descriptor is a chain of descriptors, each starting with
// its bLength and bDescriptorType; wTotalLength (bytes 2..3) is kept right.

inline Bytes FixTotalLength(Bytes config) {
    if (config.size() >= 4)
        config[2] = static_cast<uint8_t>(config.size()), config[3] = config.size() >> 8;
    return config;
}

// Sets the field at `offset` of the endpoint descriptor of `address` to
// `value` (wMaxPacketSize, at 4, takes two bytes), or with offset 0 drops
// the descriptor and lowers its interface's bNumEndpoints.
inline Bytes EditEndpoint(Bytes config, uint8_t address, size_t offset, uint16_t value) {
    for (size_t at = 0, interface = 0; at + 2 <= config.size() && config[at] >= 2;) {
        interface = config[at + 1] == 4 ? at : interface;
        if (config[at + 1] != 5 || at + 7 > config.size() || config[at + 2] != address) {
            at += config[at];
        } else if (offset != 0) {
            config[at + offset] = static_cast<uint8_t>(value);
            if (offset == 4)
                config[at + 5] = static_cast<uint8_t>(value >> 8);
            at += config[at];
        } else {
            config.erase(config.begin() + static_cast<long>(at),
                         config.begin() + static_cast<long>(at + config[at]));
            if (interface != 0 && config[interface + 4] > 0)
                --config[interface + 4];
        }
    }
    return FixTotalLength(std::move(config));
}

// Every interface keeps its alternate setting 0 without endpoints; its
// endpoints move to a new alternate setting 1 that follows it.
inline Bytes EndpointsOnlyInAlternates(Bytes config) {
    for (size_t at = 9; at + 9 <= config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] != 4)
            continue;
        Bytes alt0(config.begin() + static_cast<long>(at),
                   config.begin() + static_cast<long>(at + 9));
        alt0[4] = 0;         // bNumEndpoints
        config[at + 3] = 1;  // bAlternateSetting of the one that keeps them
        config.insert(config.begin() + static_cast<long>(at), alt0.begin(), alt0.end());
        at += alt0.size();
    }
    return FixTotalLength(std::move(config));
}

}  // namespace testfix
