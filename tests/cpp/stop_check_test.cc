#include "fit/stop_check.h"

#include <gtest/gtest.h>

#include <thread>

namespace kovrant {
namespace {

TEST(StopCheck, FirstCallAsksAndLaterCallsAreThrottled) {
  StopCheck never;
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(never.should_stop());
  int calls = 0;
  StopCheck stop([&] {
    ++calls;
    return false;
  });
  for (int i = 0; i < 1000; ++i) stop.should_stop();
  EXPECT_GE(calls, 1);
  EXPECT_LT(calls, 1000);
  const int before = calls;
  std::this_thread::sleep_for(2 * kStopPollInterval);
  stop.should_stop();
  EXPECT_EQ(calls, before + 1);
}

TEST(StopCheck, StopIsStickyWithoutAskingAgain) {
  int calls = 0;
  StopCheck stop([&] {
    ++calls;
    return true;
  });
  EXPECT_TRUE(stop.should_stop());
  std::this_thread::sleep_for(2 * kStopPollInterval);
  EXPECT_TRUE(stop.should_stop());
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace kovrant
