#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/supervisor.h"

namespace tavo {
namespace {

// Time moves only when the loop sleeps: each sleep adds `step_ns`.
class FakeClock final : public LoopClock {
 public:
  explicit FakeClock(std::int64_t step_ns) : step_ns_(step_ns) {}
  void sleep_one_second() override { now_ += step_ns_; }
  std::int64_t now_ns() override { return now_; }
  std::int64_t now_ = 5'000'000'000;  // any start instant
  std::int64_t step_ns_;
};

// Records every duty in order and ends the run after `stop_after` wake-ups.
class RecordingDuties final : public PassDuties {
 public:
  RecordingDuties(std::atomic<bool>& stop, int stop_after) : stop_(stop), stop_after_(stop_after) {}
  bool health_and_sample() override {
    log.push_back("health");
    ++passes;
    return passes == lose_all_at;
  }
  void contribution_step(std::int64_t elapsed_s) override {
    log.push_back("fee " + std::to_string(elapsed_s));
    if (passes == stop_after_) stop_.store(true);  // as a signal arriving mid-pass would
  }
  bool any_mining() override { return mining; }
  void report(std::int64_t elapsed_s) override { log.push_back("report " + std::to_string(elapsed_s)); }

  std::vector<std::string> log;
  int passes = 0;
  int lose_all_at = -1;
  bool mining = true;

 private:
  std::atomic<bool>& stop_;
  int stop_after_;
};

TEST(Supervise, RunsTheDutiesInOrderAndReportsEveryTenthWakeUp) {
  std::atomic<bool> stop{false};
  FakeClock clock(1'000'000'000);
  RecordingDuties duties(stop, 20);
  const LoopResult result = supervise(stop, clock, duties);
  EXPECT_EQ(result.ticks, 20u);
  EXPECT_FALSE(result.all_lost);
  ASSERT_EQ(duties.log.size(), 42u);
  EXPECT_EQ(duties.log[0], "health");
  EXPECT_EQ(duties.log[1], "fee 1");
  EXPECT_EQ(duties.log[18], "health");
  EXPECT_EQ(duties.log[19], "fee 10");
  EXPECT_EQ(duties.log[20], "report 10");
  EXPECT_EQ(duties.log[41], "report 20");
}

TEST(Supervise, ElapsedSecondsAreTruncatedFromTheMonotonicStart) {
  std::atomic<bool> stop{false};
  FakeClock clock(1'500'000'000);  // a slow machine: every pass takes 1.5 s
  RecordingDuties duties(stop, 3);
  supervise(stop, clock, duties);
  EXPECT_EQ(duties.log, (std::vector<std::string>{"health", "fee 1", "health", "fee 3", "health",
                                                  "fee 4"}));
}

TEST(Supervise, NoReportWhileNoGpuMinesAndTheRhythmContinues) {
  std::atomic<bool> stop{false};
  FakeClock clock(1'000'000'000);
  RecordingDuties duties(stop, 20);
  duties.mining = false;
  supervise(stop, clock, duties);
  for (const std::string& entry : duties.log) EXPECT_EQ(entry.find("report"), std::string::npos);
}

TEST(Supervise, LosingEveryGpuEndsTheLoopAtOnce) {
  std::atomic<bool> stop{false};
  FakeClock clock(1'000'000'000);
  RecordingDuties duties(stop, 100);
  duties.lose_all_at = 4;
  const LoopResult result = supervise(stop, clock, duties);
  EXPECT_TRUE(result.all_lost);
  EXPECT_EQ(result.ticks, 3u);
  EXPECT_EQ(duties.log.back(), "health");
}

TEST(Supervise, AStopBeforeTheFirstPassRunsNoPass) {
  std::atomic<bool> stop{true};
  FakeClock clock(1'000'000'000);
  RecordingDuties duties(stop, 100);
  EXPECT_EQ(supervise(stop, clock, duties).ticks, 0u);
  EXPECT_TRUE(duties.log.empty());
  EXPECT_EQ(clock.now_, 5'000'000'000);  // did not sleep
}

}  // namespace
}  // namespace tavo
