#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "platform/toolkit/toolkit_headless.h"

namespace odu::platform {
namespace {

TEST(VirtualClock, RunsEventsInTimeOrderAndSchedulingOrderOnTies) {
  VirtualClock clock;
  std::string order;
  clock.Schedule(Millis(20), [&] { order += "c"; });
  clock.Schedule(Millis(10), [&] { order += "a"; });
  clock.Schedule(Millis(10), [&] { order += "b"; });
  clock.AdvanceTo(Millis(15));
  EXPECT_EQ(order, "ab");
  EXPECT_EQ(clock.Now(), Millis(15));
  clock.AdvanceTo(Millis(100));
  EXPECT_EQ(order, "abc");
}

TEST(VirtualClock, TimedWaitRunsEventsUntilReadyOrDeadline) {
  VirtualClock clock;
  std::mutex m;
  std::condition_variable cv;
  bool flag = false;
  clock.Schedule(Millis(300), [&] {
    std::lock_guard g(m);
    flag = true;
  });
  std::unique_lock lock(m);
  EXPECT_FALSE(clock.WaitUntil(lock, cv, Millis(100), [&] { return flag; }));
  EXPECT_EQ(clock.Now(), Millis(100));
  EXPECT_TRUE(clock.WaitUntil(lock, cv, Millis(1000), [&] { return flag; }));
  EXPECT_EQ(clock.Now(), Millis(300));
}

TEST(HeadlessToolkit, TimersFireInDueOrderAndRepeatUntilDisabled) {
  VirtualClock clock;
  HeadlessToolkit toolkit(clock);
  TComponent owner(nullptr);
  auto* fast = new TTimer(&owner);
  auto* slow = new TTimer(&owner);
  std::vector<std::pair<char, int64_t>> ticks;
  int fast_ticks = 0;
  fast->OnTimer = [&](TTimer& t) {
    ticks.emplace_back('f', clock.Now().count() / 1'000'000);
    if (++fast_ticks == 3) t.SetEnabled(false);
  };
  slow->OnTimer = [&](TTimer& t) {
    ticks.emplace_back('s', clock.Now().count() / 1'000'000);
    t.SetEnabled(false);
  };
  fast->SetInterval(100);
  slow->SetInterval(150);
  fast->SetEnabled(true);
  slow->SetEnabled(true);
  toolkit.RunFor(Millis(1000));
  const std::vector<std::pair<char, int64_t>> expected{{'f', 100}, {'s', 150}, {'f', 200}, {'f', 300}};
  EXPECT_EQ(ticks, expected);
}

TEST(HeadlessToolkit, MessageBoxKeepsTheLoopRunningUntilAnswered) {
  VirtualClock clock;
  HeadlessToolkit toolkit(clock);
  TComponent owner(nullptr);
  auto* timer = new TTimer(&owner);
  int ticks = 0;
  timer->OnTimer = [&](TTimer&) { ++ticks; };
  timer->SetInterval(100);
  timer->SetEnabled(true);
  toolkit.answer = [&](const HeadlessToolkit::Box& box) { return clock.Now() >= box.opened_at + Millis(350); };
  toolkit.MessageBox("text", "caption");
  EXPECT_EQ(ticks, 3);
  ASSERT_EQ(toolkit.boxes().size(), 1u);
  EXPECT_EQ(toolkit.boxes()[0].caption, "caption");
  EXPECT_EQ(toolkit.open_boxes(), 0);
}

}  // namespace
}  // namespace odu::platform
