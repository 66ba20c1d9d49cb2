// The contribution schedule driven with synthetic elapsed seconds and a recording double of the
// client and miner: no test waits 98 minutes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/fee.h"

namespace tavo {
namespace {

class Recorder final : public ContributionHooks {
 public:
  bool authorized() override { return authorized_now; }
  bool any_mining() override { return mining_now; }
  void pause_miner() override { events.push_back("pause"); }
  void stop_client() override { events.push_back("stop"); }
  void start_client(const Stratum::Config& config) override {
    events.push_back("start " + config.user + "|" + config.worker);
  }
  bool authorized_now = true;
  bool mining_now = true;
  std::vector<std::string> events;
};

class Schedule : public testing::Test {
 protected:
  Schedule() {
    options.host = "pool";
    options.port = 3333;
    options.user = "vx1quser";
    options.worker = "rig1";  // as parsed from "vx1quser.rig1"
    config.host = "pool";
    config.port = 3333;
    config.user = options.user;
    config.worker = options.worker;
    config.agent = "TavoVornic-QRB/1.1.0";
    config.tls = true;
  }

  // Runs the step for each second in [from, to) and returns the console text.
  std::string run(std::int64_t from, std::int64_t to) {
    testing::internal::CaptureStdout();
    for (std::int64_t s = from; s < to; ++s) schedule.step(s);
    return testing::internal::GetCapturedStdout();
  }

  Options options;
  Stratum::Config config;
  std::atomic<bool> dev_active{false};
  Recorder hooks;
  Palette palette = Palette::make(false);
  Console console{palette.grey, palette.reset};
  ContributionSchedule schedule{options, config, dev_active, hooks, console, palette};
};

TEST_F(Schedule, SwitchesAt5880SecondsForExactly120CountedWakeUps) {
  EXPECT_EQ(run(1, 5880), "");
  EXPECT_TRUE(hooks.events.empty());
  const std::string on = run(5880, 5881);
  EXPECT_TRUE(dev_active.load());
  EXPECT_NE(on.find(" fee   2% dev contribution (120 s)\n"), std::string::npos) << on;
  EXPECT_EQ(hooks.events, (std::vector<std::string>{
                              "pause", "stop", std::string("start ") + kDeveloperAddress + "|"}));
  EXPECT_EQ(config.user, kDeveloperAddress);
  EXPECT_EQ(config.host, "pool");
  EXPECT_TRUE(config.tls);
  EXPECT_EQ(config.agent, "TavoVornic-QRB/1.1.0");

  // 120 counted wake-ups go on; the 121st finds the target reached and switches back.
  EXPECT_EQ(run(5881, 6001), "");
  EXPECT_TRUE(dev_active.load());
  const std::string off = run(6001, 6002);
  EXPECT_FALSE(dev_active.load());
  EXPECT_NE(off.find(" fee   back to your wallet\n"), std::string::npos) << off;
  EXPECT_EQ(hooks.events.back(), "start vx1quser|rig1");
  EXPECT_EQ(config.user, "vx1quser");
  EXPECT_EQ(config.worker, "rig1");

  // A finished phase never restarts in the same cycle; the next one begins at 6000 + 5880.
  EXPECT_EQ(run(6002, 11880), "");
  run(11880, 11881);
  EXPECT_TRUE(dev_active.load());
}

TEST_F(Schedule, WithoutLoginOrMiningTheCapEndsThePhaseAt360) {
  hooks.authorized_now = false;
  run(5880, 5881);
  ASSERT_TRUE(dev_active.load());
  run(5881, 5881 + 360);  // wake-ups 1..360 after the switch: 359 is the last that goes on
  EXPECT_TRUE(dev_active.load());
  run(5881 + 360, 5881 + 361);
  EXPECT_FALSE(dev_active.load());
}

TEST_F(Schedule, OnlyWakeUpsWithLoginAndMiningCount) {
  hooks.mining_now = false;
  run(5880, 5881);
  run(5881, 5981);  // 100 wake-ups that do not count
  hooks.mining_now = true;
  run(5981, 6101);  // 120 that count
  EXPECT_TRUE(dev_active.load());
  run(6101, 6102);
  EXPECT_FALSE(dev_active.load());
}

TEST_F(Schedule, AStartLateInTheCycleSwitchesAtTheFirstWakeUpInsideTheWindow) {
  run(11999, 12000);  // position 5999 of the first cycle
  EXPECT_TRUE(dev_active.load());
}

}  // namespace
}  // namespace tavo
