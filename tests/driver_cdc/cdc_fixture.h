// Fixture of the CDC port tests: one of the CDC device models behind
// scripted lines, served as COM1: by the driver.
#pragma once

#include <memory>

#include "common/com_port_test.h"
#include "sim/cdc_model.h"
#include "sim/serial_line.h"

namespace cdctest {

using comtest::ByteVector;

class CdcPortTest : public comtest::ComPortTest {
  protected:
    // Serves the model and opens COM1:. The first open's requests are
    // synchronous: the device has its line coding and control lines when
    // this returns.
    HANDLE ServeAndOpen(const sim::CdcModelConfig& config,
                        const std::function<void(const std::u16string&)>& editKey = nullptr) {
        line_ = std::make_shared<sim::ScriptedLine>();
        line2_ = std::make_shared<sim::ScriptedLine>();
        model_ = std::make_shared<sim::CdcModel>(config, line_, line2_);
        Serve(model_, editKey);
        HANDLE h = comtest::OpenCom();
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        return h;
    }

    // The wValue of the last request of this code the device received.
    int LastValue(uint8_t request) const {
        int value = -1;
        for (const sim::CdcRequest& r : model_->Requests())
            value = r.request == request ? r.value : value;
        return value;
    }

    std::shared_ptr<sim::ScriptedLine> line_, line2_;
    std::shared_ptr<sim::CdcModel> model_;
};

}  // namespace cdctest
