// Options: the parsed command line, the program's whole configuration. parse_options fills it once
// on the main thread before anything else runs; afterwards it is only read (the run assembly, the
// callbacks and the contribution schedule keep references to it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavo {

inline constexpr const char* kDisplayName = "Tavo Vornic QRB";
inline constexpr const char* kVersion = "1.1.0";
inline constexpr const char* kProgramName = "tavo-vornic-qrb";
inline constexpr const char* kTagline = "Vexalon miner (Dovhash)";

struct Options {
  std::string host;
  std::uint16_t port = 0;
  std::string user;
  std::string worker;
  std::string stats_file;
  std::vector<std::int32_t> devices;  // empty: every device
  bool color = true;
  bool tls = false;
};

// Reads argv[1..argc-1] strictly left to right into `options`. Returns true when the run may go
// on. On a malformed argument it prints one message on standard error and returns false; on a
// missing pool or payout address it prints the usage text and returns false. -h/--help and
// -V/--version print to standard output and end the process with status 0 when they are reached.
bool parse_options(int argc, const char* const* argv, Options& options);

// The usage text, on standard output.
void print_usage();

}  // namespace tavo
