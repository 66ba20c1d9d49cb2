// Cutting the inbound byte stream into lines, and the limit on a partial line.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pool/framing.h"

namespace tavo {
namespace {

struct Cutter {
  std::string inbox;
  std::vector<std::string> lines;

  // Appends one read's worth of bytes and cuts; false when the partial line is too long.
  bool feed(const std::string& bytes) {
    inbox += bytes;
    return cut_lines(inbox, [this](std::string_view l) { lines.emplace_back(l); });
  }
};

TEST(LineFraming, CutsWholeLinesInOrderAndKeepsThePartialOne) {
  Cutter c;
  ASSERT_TRUE(c.feed("one\ntwo\nthr"));
  EXPECT_EQ(c.lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(c.inbox, "thr");
  ASSERT_TRUE(c.feed("ee"));
  EXPECT_EQ(c.lines.size(), 2u);  // no line feed yet: nothing handed over
  ASSERT_TRUE(c.feed("\n\n\r\nfour\r\n\n"));
  // Blank lines vanish; a carriage return stays with its line (a bare one is a line too).
  EXPECT_EQ(c.lines, (std::vector<std::string>{"one", "two", "three", "\r", "four\r"}));
  EXPECT_TRUE(c.inbox.empty());
}

TEST(LineFraming, PartialLineMayHold65536BytesButNotOneMore) {
  Cutter held;
  EXPECT_TRUE(held.feed(std::string(kMaxPartialLine, 'x')));
  EXPECT_TRUE(held.lines.empty());
  EXPECT_TRUE(held.feed("\n"));
  ASSERT_EQ(held.lines.size(), 1u);
  EXPECT_EQ(held.lines[0].size(), kMaxPartialLine);

  Cutter over;
  EXPECT_TRUE(over.feed(std::string(kMaxPartialLine - 4000, 'x')));
  EXPECT_FALSE(over.feed(std::string(4001, 'y')));

  // Complete lines delivered in the same read as an overlong tail are still handed over.
  Cutter tail;
  EXPECT_FALSE(tail.feed("ok\n" + std::string(kMaxPartialLine + 1, 'z')));
  EXPECT_EQ(tail.lines, (std::vector<std::string>{"ok"}));
}

TEST(LineFraming, LineWhoseFeedArrivesInTheReadThatCrossesTheLimitIsWhole) {
  Cutter c;
  ASSERT_TRUE(c.feed(std::string(kMaxPartialLine - 10, 'x')));
  ASSERT_TRUE(c.feed(std::string(100, 'x') + "\n" + "next"));
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0].size(), kMaxPartialLine + 90);
  EXPECT_EQ(c.inbox, "next");
}

}  // namespace
}  // namespace tavo
