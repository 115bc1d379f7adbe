#include <gtest/gtest.h>

#include "clock/clock.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/time.h>
#endif

TEST(ClockElapsed, LaterMinusEarlier) {
    EXPECT_EQ(clock_elapsed_ms(1500, 1000), 500u);
    EXPECT_EQ(clock_elapsed_ms(0xFFFFFFFFu, 0), 0xFFFFFFFFu);
}

TEST(ClockElapsed, AcrossTheWrap) {
    EXPECT_EQ(clock_elapsed_ms(5, 0xFFFFFFFBu), 10u);
    EXPECT_EQ(clock_elapsed_ms(0, 0xFFFFFFFFu), 1u);
}

TEST(ClockElapsed, EqualReadingsAreZero) {
    EXPECT_EQ(clock_elapsed_ms(7, 7), 0u);
    EXPECT_EQ(clock_elapsed_ms(0xFFFFFFFFu, 0xFFFFFFFFu), 0u);
}

TEST(ClockPrecision, RequestsSucceedInPairs) {
    EXPECT_EQ(clock_begin_precision(), 0u);
    EXPECT_EQ(clock_end_precision(), 0u);
}

TEST(ClockReadings, AdvanceAcrossASleep) {
    std::uint32_t before = clock_now_ms();
    clock_sleep_ms(30);
    std::uint32_t elapsed = clock_elapsed_ms(clock_now_ms(), before);
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 60000u);  // a reading from another counter would be far off
}

TEST(ClockReadings, NeverGoBack) {
    std::uint32_t last = clock_now_ms();
    for (int i = 0; i < 1000; ++i) {
        std::uint32_t now = clock_now_ms();
        // Going back by even 1 ms would show as an elapsed time near 2^32.
        ASSERT_LT(clock_elapsed_ms(now, last), 60000u);
        last = now;
    }
}

#ifndef _WIN32
namespace {

volatile sig_atomic_t alarms = 0;

void count_alarm(int) { alarms = alarms + 1; }

}  // namespace

TEST(ClockSleep, ResumesAfterASignalUntilTheFullTime) {
    struct sigaction action{};
    action.sa_handler = count_alarm;
    struct sigaction previous{};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    alarms = 0;
    itimerval timer{};
    timer.it_value.tv_usec = 20000;  // well inside the sleep
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    std::uint32_t before = clock_now_ms();
    clock_sleep_ms(200);
    std::uint32_t elapsed = clock_elapsed_ms(clock_now_ms(), before);

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(alarms, 1) << "the signal never came, so the sleep was not interrupted";
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 60000u);
}
#endif
