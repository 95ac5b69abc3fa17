// Two-channel port (type 2): a CDC port for the primary channel with a
// complete basic port embedded as the second channel. Both channels have
// their own ring, events, locks, settings and worker thread; handles stay on
// the primary's open list and move between channels with SelectChannel.
//
// Threads: Start/Stop [attach] (inside the primary's PortInit and
// PortTeardown); WakeAll and SelectChannel [app].
#pragma once

#include "driver/variants/cdc_port.h"

class WmcPort : public CdcPort {
  public:
    WmcPort() noexcept {}

    // FALSE, with nothing opened, when either channel lacks an endpoint;
    // otherwise the primary is started as a CDC port and the second channel
    // is brought up completely (worker thread included). When the second
    // channel cannot be brought up, the primary is stopped again and FALSE
    // returned: a port whose second channel has no events or thread must not
    // be served.
    BOOL Start() override SL_EXCLUDES(deviceLock);
    // Tears the second channel down first, then stops the primary's pipes.
    // FALSE when the second channel's worker could not be ended (its
    // teardown left it in place): the object must stay.
    BOOL Stop() override SL_EXCLUDES(deviceLock);
    // Wakes readers and writers of both channels.
    void WakeAll() override;
    // kChannelSecondary points the handle at `secondary`, kChannelPrimary
    // back at this port; any other code changes nothing and fails.
    BOOL SelectChannel(OpenHandle* handle, DWORD channel) override;

    // The second channel, with SerialPort's operations; its `parent` is this
    // port once Start ran. The attach code binds its two endpoints.
    SerialPort secondary;
};
