#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "app/report.h"
#include "tests/support/temp_dir.h"

namespace tavo {
namespace {

std::string strip_stamps(const std::string& out) {
  std::string result;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    result += out.substr(start + 11, end - start - 11) + "\n";  // drop "[hh:mm:ss] "
    start = end + 1;
  }
  return result;
}

std::string report_text(const ReportFigures& figures, const ReadingsSource& readings) {
  const Palette plain = Palette::make(false);
  Console console(plain.grey, plain.reset);
  testing::internal::CaptureStdout();
  print_report(console, plain, figures, readings);
  return strip_stamps(testing::internal::GetCapturedStdout());
}

ReportFigures two_gpus() {
  ReportFigures f;
  f.devices = {0, 1};
  f.mining = {true, true};
  f.rate10 = {12.5e6, 999.96};
  f.rate60 = {12.0e6, 900};
  f.all10 = 12.501e6;
  f.all60 = 12.0009e6;
  f.all900 = 0;
  f.accepted = 7;
  f.rejected = 1;
  return f;
}

TEST(Report, GpuLinesCarryTheReadingsAndTheSummaryRoundsThePowerTotal) {
  const auto readings = [](int device) {
    GpuReadings r;
    r.celsius = 61 + device;
    r.milliwatts = device == 0 ? 150600 : 200700;
    r.fan_percent = 45;
    return r;
  };
  EXPECT_EQ(report_text(two_gpus(), readings),
            "gpu0  12.50 MH/s  61°C  150 W  fan 45%\n"
            "gpu1  1000.0 H/s  62°C  200 W  fan 45%\n"
            "speed 10s/60s/15m  12.50 MH/s / 12.00 MH/s / 0.0 H/s   shares 7/1   351 W\n");
}

TEST(Report, MissingReadingsLeaveTheirPiecesOutAndStoppedGpusGetNoLine) {
  ReportFigures f = two_gpus();
  f.mining = {false, true};
  const auto partial = [](int) {
    GpuReadings r;
    r.celsius = 70;  // a handle, but power and fan fail
    return r;
  };
  EXPECT_EQ(report_text(f, partial),
            "gpu1  1000.0 H/s  70°C\n"
            "speed 10s/60s/15m  12.50 MH/s / 12.00 MH/s / 0.0 H/s   shares 7/1\n");
  EXPECT_EQ(report_text(f, nullptr),
            "gpu1  1000.0 H/s\n"
            "speed 10s/60s/15m  12.50 MH/s / 12.00 MH/s / 0.0 H/s   shares 7/1\n");
}

TEST(StatsFile, DocumentHasTheFixedKeyOrderAndTruncatedRates) {
  ReportFigures f;
  f.devices = {0};
  f.mining = {true};
  f.rate10 = {0};
  f.rate60 = {250.9};
  f.all60 = 250.9;
  f.accepted = 3;
  EXPECT_EQ(stats_document(f, 600),
            "{\"hashrate_hs\":250,\"gpus\":[250],\"accepted\":3,\"rejected\":0,\"uptime_s\":600,"
            "\"version\":\"1.1.0\",\"algo\":\"dovhash\"}\n");
  ReportFigures g = two_gpus();
  g.mining = {true, false};  // a stopped worker keeps its entry
  EXPECT_EQ(stats_document(g, 12),
            "{\"hashrate_hs\":12000900,\"gpus\":[12000000,900],\"accepted\":7,\"rejected\":1,"
            "\"uptime_s\":12,\"version\":\"1.1.0\",\"algo\":\"dovhash\"}\n");
}

TEST(StatsFile, ReplacedAtomicallyAndSilentWhereItCannotBeWritten) {
  test::TempDir dir;
  const std::string path = dir.file("stats.json");
  const std::string a(3000, 'a');
  const std::string b(5000, 'b');
  write_stats_file(path, a + "\n");
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::string seen = test::read_file(path);
      if (seen != a + "\n" && seen != b + "\n") torn.fetch_add(1);
    }
  });
  for (int i = 0; i < 300; ++i) write_stats_file(path, (i % 2 ? a : b) + "\n");
  done.store(true);
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  write_stats_file(dir.file("missing/stats.json"), "x\n");  // no folder: nothing, no crash
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST(StatsFile, AFullDiskKeepsTheLastGoodDocument) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  test::TempDir dir;
  // The temporary file is a link to /dev/full: every write fails as on a full disk.
  const std::string path = dir.file("stats.json");
  write_stats_file(path, "good\n");
  std::filesystem::create_symlink("/dev/full", path + ".tmp");
  write_stats_file(path, std::string(100000, 'x'));
  EXPECT_EQ(test::read_file(path), "good\n");
}

}  // namespace
}  // namespace tavo
