#include "shared/runtime/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace tessel;
using namespace std::chrono_literals;

TEST(VirtualClock, SelfAdvancingSleepMovesTimeAtOnce) {
  VirtualClock clock(1000);
  std::stop_source never;
  EXPECT_FALSE(clock.sleep_for(1500ms, never.get_token()));
  EXPECT_EQ(clock.now_s(), 1001);  // whole seconds, truncated
  EXPECT_FALSE(clock.sleep_for(500ms, never.get_token()));
  EXPECT_EQ(clock.now_s(), 1002);
  clock.set_s(900);  // never back
  EXPECT_EQ(clock.now_s(), 1002);
}

TEST(VirtualClock, DrivenSleepWaitsForTheDriverOrStop) {
  VirtualClock clock(0, /*self_advancing=*/false);
  std::stop_source stop;
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    EXPECT_FALSE(clock.sleep_for(60s, stop.get_token()));
    woke = true;
  });
  while (clock.sleepers() == 0) std::this_thread::sleep_for(1ms);
  clock.advance_s(59);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(woke.load());
  clock.advance_s(1);
  sleeper.join();
  EXPECT_TRUE(woke.load());

  std::thread stopped([&] { EXPECT_TRUE(clock.sleep_for(3600s, stop.get_token())); });
  stop.request_stop();
  stopped.join();
}

TEST(RealClock, StopEndsASleep) {
  std::stop_source stop;
  std::thread t([&] { EXPECT_TRUE(real_clock()->sleep_for(std::chrono::hours(1), stop.get_token())); });
  stop.request_stop();
  t.join();
  std::stop_source never;
  EXPECT_FALSE(real_clock()->sleep_for(1ms, never.get_token()));
}
