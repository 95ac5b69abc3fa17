// Pieces shared by the fuzz targets: a reader over the fuzzer's bytes, the
// served-port set-up
// (driver installed, device plugged for its first attach and plugged again
// for the configured one, "COM1:" open) and the end-of-input checks that turn
// a platform misuse or leak into a finding.
//
// Threads: everything here runs on the fuzzer's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "ce/sync.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_device_model.h"
#include "common/scripted_model.h"
#include "sim/catalog.h"

namespace fuzz {

using cehost::Bytes;

// Takes values from the front of the input; past its end every value is 0
// and every byte string empty.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - pos_; }
    uint8_t U8() { return Empty() ? 0 : data_[pos_++]; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    Bytes Take(size_t n) {
        n = n < Left() ? n : Left();
        Bytes b(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return b;
    }
    // A length-prefixed byte string (one length byte).
    Bytes Chunk() { return Take(U8()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The scripted device model is the tests' own (tests/common).
using testfix::InStep;
using testfix::ScriptedModel;

// Loads the driver library once for the whole run, so that its coverage
// counters stay registered while the emulated loader loads and releases it
// around every plug.
void KeepDriverLoaded();

// Brings the platform back to its start (no bus may exist).
void Reset();

// Aborts (a finding) when the platform counted a misuse or leak; sweeps for
// leftovers first. `what` names the input's stage in the report.
void CheckCounters(const char* what);

// The driver installed, `model` plugged for its first attach and plugged
// again; false when the configured attach did not claim it.
bool Serve(cehost::UsbBus& bus, const std::shared_ptr<cehost::UsbDeviceModel>& model,
           cehost::UsbDeviceId* id);

// CreateFileW("COM1:") for reading and writing; INVALID_HANDLE_VALUE or 0 on failure.
HANDLE OpenCom();

// Moves a few bytes through an open port (a write, a read that returns at
// once) and closes the handle.
void ExerciseAndClose(HANDLE h);

// The devices the targets plug, by number (an input's kind byte picks one):
// models of the catalog, with a loopback plug behind each serial channel.
// The order stays, so that the corpora keep their meaning.
constexpr const char* kKinds[] = {"bulk",         "cdc-acm",         "cdc-cts",
                                  "cdc-nocoding", "cdc-two-channel", "ftdi",
                                  "ftdi-hs",      "ftdi-header",     "rcs310"};
constexpr int kModelKinds = sizeof kKinds / sizeof kKinds[0];
std::shared_ptr<cehost::UsbDeviceModel> MakeModel(int kind);
// The endpoints its data moves on.
sim::DataPath DataPath(int kind);

}  // namespace fuzz

namespace fuzz {

// One device of every kind, each behind a ScriptedModel, all served on one
// bus as "COM1:" to "COM9:" (kind k is COM<k+1>), with a handle open on each.
// Built on first use and kept for the whole run; Reserve(k) rebuilds one.
class Fleet {
  public:
    static Fleet& Get();
    HANDLE Handle(int kind) const { return handles_[kind]; }
    ScriptedModel& Model(int kind) { return *models_[kind]; }
    cehost::UsbBus& Bus() { return *bus_; }
    cehost::UsbDeviceId Id(int kind) const { return ids_[kind]; }
    // Closes and opens the kind's handle again (the last close and the first
    // open bring the port's settings back to their defaults). False when the
    // port no longer opens.
    bool Reopen(int kind);
    // The end-of-input checks of a target that used the kind's port: no
    // misuse counted, and the port still opens (a finding otherwise).
    void CheckAfterInput(int kind);

  private:
    Fleet();
    std::unique_ptr<cehost::UsbBus> bus_;
    std::shared_ptr<ScriptedModel> models_[kModelKinds];
    cehost::UsbDeviceId ids_[kModelKinds] = {};
    HANDLE handles_[kModelKinds] = {};
};

std::u16string ComName(int kind);

}  // namespace fuzz
