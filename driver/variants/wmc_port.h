// Two-channel port (type 2): a CDC port for the primary channel with a
// complete basic port embedded as the second channel. Both channels have
// their own ring, events, locks and worker thread; handles stay on the
// primary's open list and move between channels with SelectChannel.
#pragma once

#include "driver/variants/cdc_port.h"

class WmcPort : public CdcPort {
  public:
    WmcPort() noexcept {}

    BOOL Start() override;
    BOOL Stop() override;
    void WakeAll() override;
    BOOL SelectChannel(OpenHandle* handle, DWORD channel) override;

    // The second channel, with SerialPort's operations; its `parent` is this
    // port once Start ran. The attach code binds its two endpoints.
    SerialPort secondary;
};
