// Reader for the SHA3-256 known-answer files under tests/data/sha3: "Len = <bits>", "Msg = <hex>",
// "MD = <hex>" triples. Only byte-aligned entries are returned; bit-string entries cannot be fed
// to a byte-oriented hash. An entry of length 0 is the empty message.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "tests/work/test_bytes.h"

namespace tavo::test {

struct Sha3Vector {
  std::vector<std::uint8_t> msg;
  std::vector<std::uint8_t> md;
  std::string where;   // file and Len, for failure messages
};

inline std::vector<Sha3Vector> load_sha3_vectors(const std::string& path) {
  std::vector<Sha3Vector> out;
  std::ifstream in(path);
  std::string line;
  long bits = -1;
  std::string msg_hex;
  auto value_of = [](const std::string& l) {
    std::string v = l.substr(l.find('=') + 1);
    while (!v.empty() && (v.front() == ' ')) v.erase(v.begin());
    while (!v.empty() && (v.back() == ' ' || v.back() == '\r')) v.pop_back();
    return v;
  };
  while (std::getline(in, line)) {
    if (line.rfind("Len", 0) == 0) {
      bits = std::stol(value_of(line));
    } else if (line.rfind("Msg", 0) == 0) {
      msg_hex = value_of(line);
    } else if (line.rfind("MD", 0) == 0 && bits >= 0) {
      if (bits % 8 == 0) {
        std::vector<std::uint8_t> msg = from_hex(msg_hex);
        msg.resize(static_cast<std::size_t>(bits / 8));
        out.push_back({msg, from_hex(value_of(line)), path + " Len=" + std::to_string(bits)});
      }
      bits = -1;
    }
  }
  return out;
}

inline std::vector<Sha3Vector> all_sha3_vectors() {
  const std::string dir = std::string(TAVO_TESTDATA_DIR) + "/sha3/";
  std::vector<Sha3Vector> all = load_sha3_vectors(dir + "nist-cavp/SHA3_256ShortMsg.rsp");
  for (auto& v : load_sha3_vectors(dir + "keccak-team/ShortMsgKAT_SHA3-256.txt")) all.push_back(v);
  return all;
}

}  // namespace tavo::test
