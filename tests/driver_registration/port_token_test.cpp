// The 32-bit "ClientInfo" tokens that lead the stream entry points to their
// port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "driver/registration/port_token.h"

namespace {

// Tokens only compare addresses; no port object is needed.
SerialPort* FakePort(uintptr_t n) {
    return reinterpret_cast<SerialPort*>(0x1000 * n);
}

// A token finds its port until released; a slot serves a new port after
// release, which the old token must not find (nor free); forged tokens find
// nothing.
TEST(RegistrationPortToken, RegisteredTokenFindsItsPortUntilReleased) {
    DWORD a = PortTokenRegister(FakePort(1));
    DWORD b = PortTokenRegister(FakePort(2));
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(PortTokenLookup(a), FakePort(1));
    EXPECT_EQ(PortTokenLookup(b), FakePort(2));

    // The removal's close bars calls but not a detach, and a second notice
    // racing the first is told it came second.
    EXPECT_TRUE(PortTokenClose(a));
    EXPECT_FALSE(PortTokenClose(a));
    EXPECT_EQ(PortTokenEnter(a), nullptr);
    EXPECT_EQ(PortTokenEnterToDetach(a), FakePort(1));
    PortTokenLeave(a);
    EXPECT_EQ(PortTokenEnter(b), FakePort(2));
    PortTokenLeave(b);

    PortTokenRelease(a);
    EXPECT_EQ(PortTokenLookup(a), nullptr);
    EXPECT_EQ(PortTokenLookup(b), FakePort(2));
    DWORD fresh = PortTokenRegister(FakePort(3));
    ASSERT_NE(fresh, 0u);
    EXPECT_NE(fresh, a);
    EXPECT_EQ(PortTokenLookup(a), nullptr);
    PortTokenRelease(a);
    EXPECT_EQ(PortTokenLookup(fresh), FakePort(3));

    const DWORD forged[] = {0u,        1u,        0xFFu,     0xFFFFFFFFu,
                            b ^ 0x100, b + 0x100, b & 0xFFu, (b & ~0xFFu) | 0xFF,
                            b & ~0xFFu};
    for (DWORD token : forged) {
        EXPECT_EQ(PortTokenLookup(token), nullptr) << std::hex << token;
        PortTokenRelease(token);  // ignored
    }
    EXPECT_EQ(PortTokenLookup(b), FakePort(2));
    PortTokenRelease(b);
    PortTokenRelease(fresh);
    EXPECT_EQ(PortTokenRegister(nullptr), 0u);
}

TEST(RegistrationPortToken, FullTableRefusesAndRecovers) {
    std::vector<DWORD> tokens;
    for (DWORD i = 0; i < kPortTokenSlots; ++i) {
        tokens.push_back(PortTokenRegister(FakePort(100 + i)));
        ASSERT_NE(tokens.back(), 0u) << i;
    }
    EXPECT_EQ(PortTokenRegister(FakePort(999)), 0u);
    PortTokenRelease(tokens[17]);
    tokens[17] = PortTokenRegister(FakePort(999));
    EXPECT_EQ(PortTokenLookup(tokens[17]), FakePort(999));
    for (DWORD t : tokens)
        PortTokenRelease(t);
    for (DWORD t : tokens)
        EXPECT_EQ(PortTokenLookup(t), nullptr);
}

// A removal reported while the attach still works on the port waits until
// the attach is done, and learns whether the port was started.
TEST(RegistrationPortToken, RemovalWaitsForTheAttach) {
    DWORD token = PortTokenRegister(FakePort(7));
    ASSERT_NE(token, 0u);
    std::atomic<bool> attachDone{false}, sawDone{false};
    BOOL started = FALSE;
    std::thread removal([&] { sawDone = PortTokenWaitAttached(token, &started) && attachDone; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PortTokenMarkStarted(token);
    attachDone = true;
    PortTokenAttachDone(token);
    removal.join();
    EXPECT_TRUE(sawDone.load());
    EXPECT_TRUE(started);
    PortTokenRelease(token);

    // Not started; and an unknown or released token does not wait.
    token = PortTokenRegister(FakePort(8));
    PortTokenAttachDone(token);
    EXPECT_TRUE(PortTokenWaitAttached(token, &started));
    EXPECT_FALSE(started);
    PortTokenRelease(token);
    EXPECT_FALSE(PortTokenWaitAttached(token, &started));
    EXPECT_FALSE(PortTokenWaitAttached(0, &started));
}

// Attach and removal threads register and release while stream threads look
// tokens up: a lookup returns the token's own port or nothing, never
// another's.
TEST(RegistrationPortToken, ConcurrentUseNeverMixesPorts) {
    constexpr int kThreads = 4, kRounds = 2000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < kRounds; ++i) {
                SerialPort* mine = FakePort(1 + t * kRounds + i);
                DWORD token = PortTokenRegister(mine);
                wrong += token == 0 || PortTokenLookup(token) != mine;
                PortTokenRelease(token);
                wrong += PortTokenLookup(token) != nullptr;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
