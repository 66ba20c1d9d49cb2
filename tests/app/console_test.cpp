#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/console.h"

namespace tavo {
namespace {

std::string log_line(const Palette& palette, const std::string& colour, const std::string& tag,
                     const std::string& message) {
  Console console(palette.grey, palette.reset);
  testing::internal::CaptureStdout();
  console.log(colour, tag, message);
  return testing::internal::GetCapturedStdout();
}

TEST(Console, PadsTagsToFiveColumnsAndWritesLongerOnesWhole) {
  const Palette plain = Palette::make(false);
  struct Case { std::string tag, expected_tail; };
  const std::vector<Case> cases = {
      {"gpu0", "] gpu0  hello\n"},
      {"gpu10", "] gpu10 hello\n"},
      {"gpu100", "] gpu100 hello\n"},
      {"", "]       hello\n"},
  };
  for (const Case& c : cases) {
    const std::string line = log_line(plain, plain.cyan, c.tag, "hello");
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[\d\d:\d\d:\d\d\].*\n)"))) << line;
    EXPECT_EQ(line.substr(9), c.expected_tail) << c.tag;
  }
}

TEST(Console, ColouredLineWrapsStampAndTagInTheirColours) {
  const Palette colours = Palette::make(true);
  const std::string line = log_line(colours, colours.green, "share", "accepted (1/0)");
  const std::string stamp = line.substr(colours.grey.size(), 10);
  EXPECT_EQ(line, colours.grey + stamp + colours.reset + " " + colours.green + "share" +
                      colours.reset + " accepted (1/0)\n");
}

TEST(Console, PaletteValues) {
  const Palette p = Palette::make(true);
  EXPECT_EQ(p.reset, "\033[0m");
  EXPECT_EQ(p.green, "\033[32m");
  EXPECT_EQ(p.red, "\033[31m");
  EXPECT_EQ(p.grey, "\033[90m");
  EXPECT_EQ(p.cyan, "\033[36m");
  EXPECT_EQ(p.yellow, "\033[33m");
  EXPECT_EQ(p.accent, "\033[38;2;255;77;0m");
  const Palette off = Palette::make(false);
  for (const std::string* s : {&off.reset, &off.green, &off.red, &off.grey, &off.cyan, &off.yellow,
                               &off.accent}) {
    EXPECT_TRUE(s->empty());
  }
}

TEST(Console, ConcurrentWritersNeverMixLines) {
  const Palette plain = Palette::make(false);
  Console console(plain.grey, plain.reset);
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string message(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) console.log(plain.cyan, "gpu" + std::to_string(t), message);
    });
  }
  for (std::thread& t : threads) t.join();
  const std::string out = testing::internal::GetCapturedStdout();
  const std::regex whole(R"(\[\d\d:\d\d:\d\d\] gpu(\d)  ([a-d])\2{199})");
  std::size_t start = 0;
  int lines = 0;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = out.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
    EXPECT_EQ(m[1].str()[0] - '0', m[2].str()[0] - 'a');
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, kThreads * kLines);
}

TEST(FormatHashrate, ChoosesTheUnitOnTheUnscaledRate) {
  struct Case { double rate; const char* text; };
  const Case cases[] = {
      {0, "0.0 H/s"},           {999.96, "1000.0 H/s"},       {999.94, "999.9 H/s"},
      {1000, "1.00 kH/s"},      {999999.999, "1000.00 kH/s"}, {1e6, "1.00 MH/s"},
      {12.5e6, "12.50 MH/s"},   {999999999.9, "1000.00 MH/s"}, {1.5e9, "1.50 GH/s"},
      {2.5e12, "2500.00 GH/s"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_hashrate(c.rate), c.text) << c.rate;
}

// Splits UTF-8 into code points; every glyph of the banner is one column wide.
std::size_t columns(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

TEST(Banner, SixRowsOfEqualWidthWithTheTextsBesideRowsTwoToFour) {
  testing::internal::CaptureStdout();
  print_banner("Tavo Vornic QRB", "Vexalon miner (Dovhash)", "1.1.0", false);  // colour off
  const std::string out = testing::internal::GetCapturedStdout();
  std::vector<std::string> rows;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    rows.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows.front(), "");
  EXPECT_EQ(rows.back(), "");
  EXPECT_EQ(out.find('\033'), std::string::npos);
  const char* beside[6] = {nullptr, "Tavo Vornic QRB", "Vexalon miner (Dovhash)", "1.1.0", nullptr,
                           nullptr};
  std::size_t width = 0;
  for (int r = 0; r < 6; ++r) {
    std::string glyphs = rows[r + 1];
    ASSERT_EQ(glyphs.substr(0, 2), "  ");
    if (beside[r] != nullptr) {
      const std::string tail = std::string("   ") + beside[r];
      ASSERT_GE(glyphs.size(), tail.size());
      ASSERT_EQ(glyphs.substr(glyphs.size() - tail.size()), tail) << r;
      glyphs.resize(glyphs.size() - tail.size());
    }
    if (r == 0) width = columns(glyphs);
    EXPECT_EQ(columns(glyphs), width) << "row " << r + 1;
    // Only block and double-line shadow glyphs, and blanks.
    for (const std::string allowed : {"█", "╗", "╔", "═", "╝", "║", "╚", " "}) {
      std::size_t at;
      while ((at = glyphs.find(allowed)) != std::string::npos) glyphs.erase(at, allowed.size());
    }
    EXPECT_TRUE(glyphs.empty()) << "row " << r + 1 << " has other characters";
  }
  // The last row is the bottom shadow only.
  EXPECT_EQ(rows[6].find("█"), std::string::npos);
}

}  // namespace
}  // namespace tavo
