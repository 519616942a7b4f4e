#include <gtest/gtest.h>

#include <csignal>

#include "util/signal_guard.h"

namespace {

volatile sig_atomic_t delivered = 0;
void on_signal(int) { delivered = delivered + 1; }

bool blocked(int sig) {
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    return sigismember(&now, sig) == 1;
}

class SignalGuard : public ::testing::Test {
protected:
    void SetUp() override {
        sigset_t empty;
        sigemptyset(&empty);
        sigprocmask(SIG_SETMASK, &empty, &saved_mask);
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, &saved_action);
        delivered = 0;
    }
    void TearDown() override {
        SetCliSig(0);
        sigaction(SIGUSR1, &saved_action, nullptr);
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    }
    sigset_t saved_mask;
    struct sigaction saved_action;
};

TEST_F(SignalGuard, WithoutGuardNothingChanges) {
    SetCliSig(0);
    EXPECT_EQ(GetCliSig(), 0);
    sigset_t before;
    sigset_t after;
    sigset_t extra;
    sigemptyset(&extra);
    sigaddset(&extra, SIGUSR2);
    sigprocmask(SIG_BLOCK, &extra, nullptr);
    sigprocmask(SIG_SETMASK, nullptr, &before);

    EXPECT_EQ(DisableInterrupts(), 0U);
    sigprocmask(SIG_SETMASK, nullptr, &after);
    EXPECT_FALSE(blocked(SIGUSR1));
    RestoreInterruptState(0);
    EXPECT_TRUE(blocked(SIGUSR2));  // untouched
    RestoreInterruptState(1);
    EXPECT_FALSE(blocked(SIGUSR1));
    for (int sig = 1; sig < 32; ++sig) EXPECT_EQ(sigismember(&before, sig), sigismember(&after, sig)) << sig;

    raise(SIGUSR1);
    EXPECT_EQ(delivered, 1);
}

TEST_F(SignalGuard, HeldSignalIsDeferredUntilRestored) {
    SetCliSig(SIGUSR1);
    EXPECT_EQ(GetCliSig(), SIGUSR1);
    uint32_t previous = DisableInterrupts();
    EXPECT_EQ(previous, 0U);
    EXPECT_TRUE(blocked(SIGUSR1));
    raise(SIGUSR1);
    EXPECT_EQ(delivered, 0);
    RestoreInterruptState(previous);
    EXPECT_EQ(delivered, 1);
    EXPECT_FALSE(blocked(SIGUSR1));
}

TEST_F(SignalGuard, NestedHoldsReleaseOnlyAtTheOuterRestore) {
    SetCliSig(SIGUSR1);
    uint32_t outer = DisableInterrupts();
    uint32_t inner = DisableInterrupts();
    EXPECT_EQ(outer, 0U);
    EXPECT_EQ(inner, 1U);
    raise(SIGUSR1);
    RestoreInterruptState(inner);
    EXPECT_TRUE(blocked(SIGUSR1));
    EXPECT_EQ(delivered, 0);
    RestoreInterruptState(outer);
    EXPECT_FALSE(blocked(SIGUSR1));
    EXPECT_EQ(delivered, 1);
}

TEST_F(SignalGuard, DeeplyNestedHoldsUnwindInOrder) {
    SetCliSig(SIGUSR1);
    uint32_t a = DisableInterrupts();
    uint32_t b = DisableInterrupts();
    uint32_t c = DisableInterrupts();
    EXPECT_EQ(a, 0U);
    EXPECT_EQ(b, 1U);
    EXPECT_EQ(c, 1U);
    raise(SIGUSR1);
    RestoreInterruptState(c);
    RestoreInterruptState(b);
    EXPECT_TRUE(blocked(SIGUSR1));
    EXPECT_EQ(delivered, 0);
    RestoreInterruptState(a);
    EXPECT_FALSE(blocked(SIGUSR1));
    EXPECT_EQ(delivered, 1);
    // A fresh hold after the unwinding blocks again.
    uint32_t d = DisableInterrupts();
    EXPECT_EQ(d, 0U);
    EXPECT_TRUE(blocked(SIGUSR1));
    RestoreInterruptState(d);
    EXPECT_FALSE(blocked(SIGUSR1));
}

TEST_F(SignalGuard, OnlyTheGuardSignalIsHeld) {
    SetCliSig(SIGUSR1);
    uint32_t previous = DisableInterrupts();
    EXPECT_FALSE(blocked(SIGUSR2));
    EXPECT_FALSE(blocked(SIGTERM));
    RestoreInterruptState(previous);
}

TEST_F(SignalGuard, AlreadyBlockedSignalStaysBlocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    SetCliSig(SIGUSR1);
    uint32_t previous = DisableInterrupts();
    EXPECT_EQ(previous, 1U);
    RestoreInterruptState(previous);
    EXPECT_TRUE(blocked(SIGUSR1));
}

}  // namespace
