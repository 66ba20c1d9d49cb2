// The command line as users meet it: the options table parsed in-process, and the real binary for
// help, version, exit statuses, colours and stop signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "app/options.h"
#include "tests/support/process.h"

namespace tavo {
namespace {

using namespace std::chrono_literals;

const std::string kUsage =
    "Tavo Vornic QRB 1.1.0 — Vexalon (VXN) GPU miner, Dovhash, 2 % dev fee\n"
    "\n"
    "Usage: tavo-vornic-qrb -o <host:port> -u <vx1q-address>[.worker] [options]\n"
    "\n"
    "  -o, --url <host:port>    pool (stratum+tcp:// prefix accepted)\n"
    "  -u, --user <address>     your VXN payout address vx1q... (address.worker accepted)\n"
    "      --worker <name>      worker name (sent as address.name)\n"
    "  -d, --devices <0,1,..>   cards to mine on (default: all NVIDIA cards)\n"
    "      --tls                encrypt the connection (pool TLS port)\n"
    "      --stats-file <f>     write JSON stats every 10 s\n"
    "  -p, --pass <x>           accepted and ignored\n"
    "      --no-color           uncolored output\n"
    "  -h, --help               this help\n"
    "  -V, --version            version\n"
    "\n"
    "Needs an NVIDIA card and a current driver. Each card checks and tunes itself at every start.\n";

struct Parsed {
  bool ok;
  Options options;
  std::string out, err;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "tavo-vornic-qrb");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  Parsed p{};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  p.ok = parse_options(static_cast<int>(argv.size()), argv.data(), p.options);
  p.out = testing::internal::GetCapturedStdout();
  p.err = testing::internal::GetCapturedStderr();
  return p;
}

TEST(ParseOptions, RejectsWithTheExactMessage) {
  struct Case { std::vector<std::string> args; std::string err; bool usage; };
  const std::vector<Case> cases = {
      {{}, "", true},
      {{"-o", "h:1"}, "", true},                       // no payout address
      {{"-u", "vx1qabc"}, "", true},                   // no pool
      {{"-o", ":3333", "-u", "a"}, "", true},          // empty host passes the address rule only
      {{"-o", "h:0", "-u", "a"}, "invalid port\n", false},
      {{"-o", "h:65536", "-u", "a"}, "invalid port\n", false},
      {{"-o", "h:abc", "-u", "a"}, "invalid port\n", false},
      {{"-o", "h:99999999999999999999", "-u", "a"}, "invalid port\n", false},
      {{"-o", "h", "-u", "a"}, "--url expects host:port\n", false},
      {{"-o", "stratum+ssl://h", "-u", "a"}, "--url expects host:port\n", false},
      {{"-u", "a", "-p"}, "option -p: missing value\n", false},
      {{"-u", "a", "--stats-file"}, "option --stats-file: missing value\n", false},
      {{"--bogus", "-o", "h:1"}, "unknown option: --bogus\n", false},
      {{"-o", "h:1", "-u", "a", "--url=h:2"}, "unknown option: --url=h:2\n", false},
      {{"-d", "0,,1", "-o", "h:1", "-u", "a"}, "--devices expects 0,1,...\n", false},
      {{"-d", "-1", "-o", "h:1", "-u", "a"}, "--devices expects 0,1,...\n", false},
      {{"-d", "x", "-o", "h:1", "-u", "a"}, "--devices expects 0,1,...\n", false},
      {{"-d", "2147483648", "-o", "h:1", "-u", "a"}, "--devices expects 0,1,...\n", false},
      {{"-d", "99999999999999999999", "-o", "h:1", "-u", "a"}, "--devices expects 0,1,...\n", false},
      // The earliest problem on the line is the one reported.
      {{"-o", "h", "--bogus"}, "--url expects host:port\n", false},
  };
  for (const Case& c : cases) {
    const Parsed p = parse(c.args);
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    EXPECT_FALSE(p.ok) << line;
    EXPECT_EQ(p.err, c.err) << line;
    EXPECT_EQ(p.out, c.usage ? kUsage : "") << line;
  }
}

TEST(ParseOptions, AcceptsTheAddressForms) {
  struct Case {
    std::vector<std::string> args;
    std::string host;
    unsigned port;
    bool tls;
    std::string user, worker;
  };
  const std::vector<Case> cases = {
      {{"-o", "pool.example:3333", "-u", "vx1qabc"}, "pool.example", 3333, false, "vx1qabc", ""},
      {{"--url", "stratum+tcp://h:4444", "--user", "a"}, "h", 4444, false, "a", ""},
      {{"--pool", "stratum+ssl://h:443", "--wallet", "a"}, "h", 443, true, "a", ""},
      {{"-o", "h:3333x", "-u", "a"}, "h", 3333, false, "a", ""},
      {{"-o", "h: 3333", "-u", "a"}, "h", 3333, false, "a", ""},
      {{"-o", "h:65535", "-u", "a"}, "h", 65535, false, "a", ""},
      {{"-o", "[::1]:3333", "-u", "a"}, "[::1]", 3333, false, "a", ""},
      {{"-o", "h:1", "--tls", "-u", "a"}, "h", 1, true, "a", ""},
      {{"-o", "stratum+ssl://h:1", "-o", "h:2", "-u", "a"}, "h", 2, true, "a", ""},  // tls stays
      {{"-o", "stratum+tcp://stratum+ssl://h:2", "-u", "a"}, "stratum+ssl://h", 2, false, "a", ""},
      {{"-o", "h:1", "-u", "addr.rig1"}, "h", 1, false, "addr", "rig1"},
      {{"-o", "h:1", "-u", "addr.a.b"}, "h", 1, false, "addr", "a.b"},
      {{"-o", "h:1", "--worker", "w", "-u", "addr.rig1"}, "h", 1, false, "addr", "w"},
      {{"-o", "h:1", "-u", "addr.rig1", "--rig-id", "w"}, "h", 1, false, "addr", "w"},
      {{"-o", "h:1", "-u", "addr", "-p", "-o", "-a", "x", "--algo", "y", "--pass", "z"}, "h", 1,
       false, "addr", ""},
  };
  for (const Case& c : cases) {
    const Parsed p = parse(c.args);
    ASSERT_TRUE(p.ok) << c.args[1] << " " << p.err;
    EXPECT_EQ(p.options.host, c.host);
    EXPECT_EQ(p.options.port, c.port);
    EXPECT_EQ(p.options.tls, c.tls);
    EXPECT_EQ(p.options.user, c.user);
    EXPECT_EQ(p.options.worker, c.worker);
    EXPECT_TRUE(p.out.empty() && p.err.empty());
  }
}

TEST(ParseOptions, DeviceListsAndFlags) {
  struct Case { std::vector<std::string> args; std::vector<std::int32_t> devices; };
  const std::vector<Case> cases = {
      {{"-d", "0,1"}, {0, 1}},
      {{"-d", "0 1"}, {0, 1}},
      {{"-d", "0;1"}, {0, 1}},
      {{"-d", "0,1,"}, {0, 1}},
      {{"-d", ""}, {}},
      {{"-d", "0", "--device", "1"}, {0, 1}},
      {{"--devices", "2,0", "-d", "2"}, {2, 0, 2}},
      {{"-d", "+3"}, {3}},
      {{"-d", "2147483647"}, {2147483647}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "h:1", "-u", "a"});
    const Parsed p = parse(args);
    ASSERT_TRUE(p.ok) << c.args[1];
    EXPECT_EQ(p.options.devices, c.devices) << c.args[1];
  }
  const Parsed p = parse({"-o", "h:1", "-u", "a", "--no-color", "--stats-file", "-s.json"});
  ASSERT_TRUE(p.ok);
  EXPECT_FALSE(p.options.color);
  EXPECT_EQ(p.options.stats_file, "-s.json");
  const Parsed defaults = parse({"-o", "h:1", "-u", "a"});
  EXPECT_TRUE(defaults.options.color);
  EXPECT_TRUE(defaults.options.stats_file.empty());
  EXPECT_TRUE(defaults.options.devices.empty());
}

test::ProcessSpec binary(std::vector<std::string> args) {
  test::ProcessSpec spec;
  spec.argv = {TAVO_BINARY};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  return spec;
}

TEST(Binary, HelpVersionAndErrorsEndWithTheirStatus) {
  struct Case { std::vector<std::string> args; int status; std::string out, err; };
  const std::vector<Case> cases = {
      {{}, 1, kUsage, ""},
      {{"-h"}, 0, kUsage, ""},
      {{"--help", "--bogus"}, 0, kUsage, ""},
      {{"--bogus", "-h"}, 1, "", "unknown option: --bogus\n"},
      {{"-V"}, 0, "Tavo Vornic QRB 1.1.0\n", ""},
      {{"-o", "h:1", "-u", "a", "--version"}, 0, "Tavo Vornic QRB 1.1.0\n", ""},
      {{"-o", "h:0", "-u", "a"}, 1, "", "invalid port\n"},
      {{"-u", "a", "-p"}, 1, "", "option -p: missing value\n"},
  };
  for (const Case& c : cases) {
    const test::ProcessResult r = test::run_process(binary(c.args), 10s);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, c.status);
    EXPECT_EQ(r.out, c.out);  // no banner on any of these paths
    EXPECT_EQ(r.err, c.err);
  }
}

// A run that started: banner, start-up lines, then a stop signal ends it cleanly within a pass.
test::ProcessResult stop_after_start(std::vector<std::pair<std::string, std::string>> env, int sig,
                                     bool terminal = false) {
  test::ChildProcess child;
  test::ProcessSpec spec = binary({"-o", "127.0.0.1:9", "-u", "vx1qtest.rig", "--worker", "w"});
  spec.set_env = std::move(env);
  spec.stdout_is_terminal = terminal;
  EXPECT_TRUE(child.start(spec));
  EXPECT_TRUE(child.wait_for("2% dev contribution", 20s));
  child.signal(sig);
  return child.wait(10s);
}

TEST(Binary, StopSignalInTheFirstSecondEndsCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    const test::ProcessResult r = stop_after_start({{"NO_COLOR", ""}}, sig);
    ASSERT_TRUE(r.exited) << "signal " << sig;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Tavo Vornic QRB"), std::string::npos);
    EXPECT_NE(r.out.find(" user  vx1qtest.w\n"), std::string::npos) << r.out;
    const std::size_t exit_line = r.out.find(" exit  shutdown requested — clean exit\n");
    ASSERT_NE(exit_line, std::string::npos) << r.out;
  }
}

TEST(Binary, ColourOnlyOnATerminalWithoutNoColor) {
  struct Case { bool terminal; bool no_color_set; bool no_color_option; bool coloured; };
  const Case cases[] = {
      {true, false, false, true},
      {true, true, false, false},   // NO_COLOR present but empty
      {true, false, true, false},   // --no-color
      {false, false, false, false}, // a pipe
  };
  for (const Case& c : cases) {
    std::vector<std::pair<std::string, std::string>> env;
    if (c.no_color_set) env.emplace_back("NO_COLOR", "");
    test::ChildProcess child;
    test::ProcessSpec spec = binary({"-o", "127.0.0.1:9", "-u", "vx1qtest"});
    if (c.no_color_option) spec.argv.push_back("--no-color");
    if (!c.no_color_set) spec.unset_env.push_back("NO_COLOR");
    spec.set_env = env;
    spec.stdout_is_terminal = c.terminal;
    ASSERT_TRUE(child.start(spec));
    EXPECT_TRUE(child.wait_for("2% dev contribution", 20s));
    child.signal(SIGTERM);
    const test::ProcessResult r = child.wait(10s);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.find('\033') != std::string::npos, c.coloured)
        << c.terminal << c.no_color_set << c.no_color_option;
    if (c.coloured) {
      EXPECT_NE(r.out.find("\033[1m\033[38;2;255;77;0m  "), std::string::npos);  // banner letters
      EXPECT_NE(r.out.find("\033[90mpool"), std::string::npos);                   // grey tag
    }
  }
}

}  // namespace
}  // namespace tavo
