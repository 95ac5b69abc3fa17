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
    PortTokenRelease(b);
    EXPECT_EQ(PortTokenLookup(b), nullptr);
}

// A slot serves a new port after release; the old token must not find it.
TEST(RegistrationPortToken, StaleTokenNeverFindsTheSlotsNextPort) {
    DWORD old = PortTokenRegister(FakePort(1));
    PortTokenRelease(old);
    DWORD fresh = PortTokenRegister(FakePort(2));
    ASSERT_NE(fresh, 0u);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(PortTokenLookup(old), nullptr);
    EXPECT_EQ(PortTokenLookup(fresh), FakePort(2));
    // Releasing the stale token again must not free the slot's new owner.
    PortTokenRelease(old);
    EXPECT_EQ(PortTokenLookup(fresh), FakePort(2));
    PortTokenRelease(fresh);
}

TEST(RegistrationPortToken, ForgedTokensFindNothing) {
    DWORD live = PortTokenRegister(FakePort(3));
    ASSERT_NE(live, 0u);
    const DWORD forged[] = {0u,           1u,           0xFFu,        0xFFFFFFFFu,
                            live ^ 0x100, live + 0x100, live & 0xFFu, (live & ~0xFFu) | 0xFF,
                            live & ~0xFFu};
    for (DWORD token : forged) {
        EXPECT_EQ(PortTokenLookup(token), nullptr) << std::hex << token;
        PortTokenRelease(token);  // ignored
    }
    EXPECT_EQ(PortTokenLookup(live), FakePort(3));
    PortTokenRelease(live);
    EXPECT_EQ(PortTokenRegister(nullptr), 0u);
}

TEST(RegistrationPortToken, FullTableRefusesAndRecovers) {
    std::vector<DWORD> tokens;
    for (DWORD i = 0; i < kPortTokenSlots; ++i) {
        DWORD t = PortTokenRegister(FakePort(100 + i));
        ASSERT_NE(t, 0u) << i;
        tokens.push_back(t);
    }
    EXPECT_EQ(PortTokenRegister(FakePort(999)), 0u);
    PortTokenRelease(tokens[17]);
    DWORD again = PortTokenRegister(FakePort(999));
    EXPECT_NE(again, 0u);
    EXPECT_EQ(PortTokenLookup(again), FakePort(999));
    tokens[17] = again;
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
    std::atomic<bool> attachDone{false};
    std::atomic<bool> sawDone{false};
    BOOL started = FALSE;
    std::thread removal([&] {
        BOOL ok = PortTokenWaitAttached(token, &started);
        sawDone = ok && attachDone.load();
    });
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
    started = TRUE;
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
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> wrong{0};
    std::atomic<int> failedRegister{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong, &failedRegister] {
            for (int i = 0; i < kRounds; ++i) {
                SerialPort* mine = FakePort(1 + t * kRounds + i);
                DWORD token = PortTokenRegister(mine);
                if (token == 0) {
                    ++failedRegister;
                    continue;
                }
                if (PortTokenLookup(token) != mine)
                    ++wrong;
                PortTokenRelease(token);
                SerialPort* after = PortTokenLookup(token);
                if (after != nullptr)
                    ++wrong;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failedRegister.load(), 0);
}

}  // namespace
