#include "app/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tavo {
namespace {

constexpr std::string_view kTcpPrefix = "stratum+tcp://";
constexpr std::string_view kSslPrefix = "stratum+ssl://";

bool is_one_of(std::string_view arg, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (arg == name) return true;
  }
  return false;
}

bool parse_pool_address(std::string_view value, Options& options) {
  if (value.starts_with(kTcpPrefix)) {
    value.remove_prefix(kTcpPrefix.size());
  } else if (value.starts_with(kSslPrefix)) {
    value.remove_prefix(kSslPrefix.size());
    options.tls = true;
  }
  const std::size_t colon = value.rfind(':');
  if (colon == std::string_view::npos) {
    std::fprintf(stderr, "--url expects host:port\n");
    return false;
  }
  const std::string port_text(value.substr(colon + 1));
  // strtol semantics on purpose: "3333x" is port 3333, "abc" reads as 0 and is refused below.
  const long port = std::strtol(port_text.c_str(), nullptr, 10);
  if (port < 1 || port > 65535) {
    std::fprintf(stderr, "invalid port\n");
    return false;
  }
  options.host = std::string(value.substr(0, colon));
  options.port = static_cast<std::uint16_t>(port);
  return true;
}

void parse_payout_address(const std::string& value, Options& options) {
  const std::size_t dot = value.find('.');
  if (dot == std::string::npos) {
    options.user = value;
    return;
  }
  if (options.worker.empty()) options.worker = value.substr(dot + 1);
  options.user = value.substr(0, dot);
}

// Any single character separates entries; two separators in a row, a negative number or a number
// beyond 32 bits is refused rather than wrapped into some other card's ordinal.
bool parse_device_list(const std::string& value, Options& options) {
  const char* at = value.c_str();
  const char* const end = at + value.size();
  while (at < end) {
    char* stop = nullptr;
    errno = 0;
    const long number = std::strtol(at, &stop, 10);
    if (stop == at || number < 0 || number > INT32_MAX || errno == ERANGE) {
      std::fprintf(stderr, "--devices expects 0,1,...\n");
      return false;
    }
    options.devices.push_back(static_cast<std::int32_t>(number));
    at = stop;
    if (at < end) ++at;
  }
  return true;
}

}  // namespace

void print_usage() {
  std::printf("%s %s — Vexalon (VXN) GPU miner, Dovhash, 2 %% dev fee\n", kDisplayName, kVersion);
  std::printf("\n");
  std::printf("Usage: %s -o <host:port> -u <vx1q-address>[.worker] [options]\n", kProgramName);
  std::printf("\n");
  std::printf("  -o, --url <host:port>    pool (stratum+tcp:// prefix accepted)\n");
  std::printf("  -u, --user <address>     your VXN payout address vx1q... (address.worker accepted)\n");
  std::printf("      --worker <name>      worker name (sent as address.name)\n");
  std::printf("  -d, --devices <0,1,..>   cards to mine on (default: all NVIDIA cards)\n");
  std::printf("      --tls                encrypt the connection (pool TLS port)\n");
  std::printf("      --stats-file <f>     write JSON stats every 10 s\n");
  std::printf("  -p, --pass <x>           accepted and ignored\n");
  std::printf("      --no-color           uncolored output\n");
  std::printf("  -h, --help               this help\n");
  std::printf("  -V, --version            version\n");
  std::printf("\n");
  std::printf("Needs an NVIDIA card and a current driver. Each card checks and tunes itself at every start.\n");
}

bool parse_options(int argc, const char* const* argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // Options with a value take the next argument whatever it looks like.
    auto value = [&](const char*& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "option %s: missing value\n", argv[i]);
        return false;
      }
      out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (is_one_of(arg, {"-h", "--help"})) {
      print_usage();
      std::fflush(stdout);
      std::exit(0);
    } else if (is_one_of(arg, {"-V", "--version"})) {
      std::printf("%s %s\n", kDisplayName, kVersion);
      std::fflush(stdout);
      std::exit(0);
    } else if (arg == "--no-color") {
      options.color = false;
    } else if (arg == "--tls") {
      options.tls = true;
    } else if (is_one_of(arg, {"-o", "--url", "--pool"})) {
      if (!value(v) || !parse_pool_address(v, options)) return false;
    } else if (is_one_of(arg, {"-u", "--user", "--wallet"})) {
      if (!value(v)) return false;
      parse_payout_address(v, options);
    } else if (is_one_of(arg, {"--worker", "--rig-id"})) {
      if (!value(v)) return false;
      options.worker = v;
    } else if (is_one_of(arg, {"-d", "--devices", "--device"})) {
      if (!value(v) || !parse_device_list(v, options)) return false;
    } else if (arg == "--stats-file") {
      if (!value(v)) return false;
      options.stats_file = v;
    } else if (is_one_of(arg, {"-p", "--pass", "-a", "--algo"})) {
      if (!value(v)) return false;
    } else {
      std::fprintf(stderr, "unknown option: %s\n", argv[i]);
      return false;
    }
  }
  if (options.host.empty() || options.user.empty()) {
    print_usage();
    return false;
  }
  return true;
}

}  // namespace tavo
