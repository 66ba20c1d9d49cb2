// The hardware monitor against the NVML stand-in variants, each found only through the library
// search path, as the real library would be.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/process.h"

namespace tavo {
namespace {

std::string probe(const std::string& variant) {
  test::ProcessSpec spec;
  spec.argv = {TAVO_BUILD_DIR "/tests/app/nvml_probe"};
  if (!variant.empty()) spec.set_env = {{"LD_LIBRARY_PATH", TAVO_BUILD_DIR "/nvml/" + variant}};
  else spec.unset_env = {"LD_LIBRARY_PATH"};
  const test::ProcessResult r = test::run_process(spec, std::chrono::seconds(10));
  EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
  return r.out;
}

TEST(Monitor, ReadsEveryPieceTheLibraryOffers) {
  EXPECT_EQ(probe("standard"), "available 1\n0 61 150600 45\n1 62 200700 50\n");
}

TEST(Monitor, EachFailureOnlyRemovesItsOwnReadings) {
  EXPECT_EQ(probe("no-fan"), "available 1\n0 61 150600 -\n1 62 200700 -\n");
  EXPECT_EQ(probe("bad-handle"), "available 1\n0 61 150600 45\n1 - - -\n");
  EXPECT_EQ(probe("init-fails"), "available 0\n0 - - -\n1 - - -\n");
  EXPECT_EQ(probe(""), "available 0\n0 - - -\n1 - - -\n");  // no library on this host
}

}  // namespace
}  // namespace tavo
