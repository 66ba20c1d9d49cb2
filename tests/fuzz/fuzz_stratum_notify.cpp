// Fuzz target: the handling of the pool's work announcements (subscribe result, mining.notify,
// mining.set_difficulty, mining.set_extranonce), with the fuzzer's bytes placed where a pool puts
// the values, so that mutations are spent on the fields rather than on the JSON-RPC envelope.
//
// The first byte picks the slot the rest of the input fills (as JSON text):
//   0  the subscribe result             {"id":1,"result":<input>,"error":null}
//   1  the notify parameters             {"id":null,"method":"mining.notify","params":<input>}
//   2  the set_difficulty parameters
//   3  the set_extranonce parameters
//   4  one notify parameter, chosen by the second byte, in an otherwise good notification
// and then a well-formed notification follows. Whatever the fuzzed line left behind (an
// extranonce1, an extranonce2 size, a difficulty), the job built afterwards must still be one a
// worker can mine (ClientProbe checks it), and every notification that is not refused must
// dispatch exactly one job.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/client_probe.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const std::vector<std::string>& good_params() {
  static const std::vector<std::string> params = {
      "\"4f1a\"",
      "\"00000000a1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbcc\"",
      // Version, one input spending nothing, script length, then the height push (100000).
      "\"01000000" "01" + std::string(64, '0') + "ffffffff" "20" "03a08601\"",
      // The rest of the script, sequence, one output of 50 coins to OP_TRUE, lock time.
      "\"2f74657374706f6f6c2f" "ffffffff" "01" "00f2052a01000000" "01" "51" "00000000\"",
      "[\"" + std::string(64, 'c') + "\"]",
      "\"20000000\"",
      "\"1b00ffff\"",
      "\"66a1b2c3\"",
      "true",
  };
  return params;
}

std::string notify_with(const std::vector<std::string>& params) {
  std::string line = R"({"id":null,"method":"mining.notify","params":[)";
  for (std::size_t i = 0; i < params.size(); ++i) line += (i ? "," : "") + params[i];
  return line + "]}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string line;
  switch (data[0] % 5) {
    case 0: line = R"({"id":1,"result":)" + value + R"(,"error":null})"; break;
    case 1: line = R"({"id":null,"method":"mining.notify","params":)" + value + "}"; break;
    case 2: line = R"({"id":null,"method":"mining.set_difficulty","params":)" + value + "}"; break;
    case 3: line = R"({"id":null,"method":"mining.set_extranonce","params":)" + value + "}"; break;
    default: {
      std::vector<std::string> params = good_params();
      params[data[1] % params.size()] = value.substr(1);
      line = notify_with(params);
    }
  }

  tavo::fuzz::ClientProbe probe;
  probe.line(line);
  const std::uint64_t before = probe.jobs();
  probe.line(notify_with(good_params()));
  FUZZ_CHECK(probe.jobs() == before + 1);
  return 0;
}
