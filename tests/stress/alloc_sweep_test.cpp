// Memory running out at each allocation in turn: of the first attach (which
// writes the device key), of the configured attach with the port's start,
// and of opening the port; and likewise each event and thread the attach and
// the open create. Each failure must leave nothing behind (heap back to its
// level, no misuse, no unclosed transfer) and must not spoil the next,
// unfaulted try: the device is then served as "COM1:" and moves data.
#include <gtest/gtest.h>

#include <string>

#include "stress_fixture.h"

namespace stresstest {
namespace {

struct Resource;

class AllocSweepTest : public PlatformTest, public ::testing::WithParamInterface<const char*> {
  protected:
    // Plugs, serves and unplugs the device with each creation of `r` during
    // the first attach, the configured attach, then the open, failing in
    // turn. The sweeps also fail the first creation after each step, which
    // must leave it unharmed.
    void Sweep(const Resource& r);

    // The heap at `blocks` live blocks, nothing misused, nothing leaked.
    static void ExpectClean(uint64_t blocks) {
        EXPECT_EQ(cehost::GetHeapStats().liveBlocks, blocks);
        EXPECT_EQ(cehost::MisuseTotal() + cehost::LeakTotal(), 0u) << cehost::CountersReport();
    }
    static void ExpectServed() { EXPECT_EQ(Echo(40), ""); }
};

// The platform objects whose creation the sweeps make fail, each with its
// count of successful creations and its one-shot failure (0 cancels).
struct Resource {
    const char* name;
    uint64_t (*created)();
    void (*failNth)(uint64_t);
};
const Resource kResources[] = {
    {"allocation", [] { return cehost::GetHeapStats().allocations; }, cehost::FailNthAllocation},
    {"event", cehost::EventsCreated, cehost::FailNthEventCreation},
    {"thread", cehost::ThreadsCreated, cehost::FailNthThreadCreation},
};

TEST_P(AllocSweepTest, AttachesAndOpen) {
    for (const Resource& r : kResources) {
        SCOPED_TRACE(r.name);
        Sweep(r);
        if (HasFatalFailure())
            return;
    }
}

void AllocSweepTest::Sweep(const Resource& r) {
    auto creationsOf = [&r](auto step) {
        const uint64_t before = r.created();
        step();
        return r.created() - before + 1;
    };
    cehost::UsbBus bus;
    auto model = badtest::MakeChip(GetParam());
    const std::u16string key = comtest::DeviceKeyPath(model->DeviceDescriptor());
    const uint64_t unplugged = cehost::GetHeapStats().liveBlocks;
    cehost::UsbDeviceId id = 0;
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    const uint64_t first = creationsOf([&] { bus.Unplug(bus.Plug(model)); });
    for (uint64_t n = 1; n <= first; ++n) {
        SCOPED_TRACE("first attach " + std::string(r.name) + " " + std::to_string(n));
        cehost::RegDeleteTree(key);
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        r.failNth(n);
        id = bus.Plug(model);
        r.failNth(0);
        ASSERT_NE(id, 0u);
        EXPECT_TRUE(bus.Owner(id).empty());
        ASSERT_TRUE(bus.Unplug(id));
        ExpectClean(unplugged);
    }
    // Past the first attach's own creations, it wrote the device key.
    ASSERT_TRUE(cehost::RegKeyExists(key));

    const uint64_t attach = creationsOf([&] { id = bus.Plug(model); });
    ASSERT_EQ(bus.Owner(id), u"Serlynx");
    const uint64_t served = cehost::GetHeapStats().liveBlocks;
    const uint64_t open = creationsOf([] { ExpectServed(); });
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, served);
    ASSERT_TRUE(bus.Unplug(id));

    for (uint64_t n = 1; n <= attach; ++n) {
        SCOPED_TRACE("attach " + std::string(r.name) + " " + std::to_string(n));
        r.failNth(n);
        id = bus.Plug(model);
        r.failNth(0);
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(bus.Unplug(id));
        ExpectClean(unplugged);
        // The failure spoiled nothing: the next plug is served.
        id = bus.Plug(model);
        ASSERT_EQ(bus.Owner(id), u"Serlynx");
        ExpectServed();
        ASSERT_TRUE(bus.Unplug(id));
        EXPECT_EQ(cehost::GetHeapStats().liveBlocks, unplugged);
    }

    id = bus.Plug(model);
    ASSERT_EQ(bus.Owner(id), u"Serlynx");
    const uint64_t level = cehost::GetHeapStats().liveBlocks;
    for (uint64_t n = 1; n <= open; ++n) {
        SCOPED_TRACE("open " + std::string(r.name) + " " + std::to_string(n));
        r.failNth(n);
        HANDLE h = comtest::OpenCom();
        r.failNth(0);
        EXPECT_TRUE(h == INVALID_HANDLE_VALUE || CloseHandle(h));
        ExpectClean(level);
        ExpectServed();
        EXPECT_EQ(cehost::MisuseTotal() + cehost::LeakTotal(), 0u) << cehost::CountersReport();
    }
    EXPECT_TRUE(bus.Unplug(id));
}

INSTANTIATE_TEST_SUITE_P(Kinds, AllocSweepTest, ::testing::ValuesIn(kKinds), [](const auto& info) {
    std::string name = info.param;
    std::erase(name, '-');
    return name;
});

}  // namespace
}  // namespace stresstest
