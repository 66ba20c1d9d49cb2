// PoolProcess: the bundled test pool (tools/testpool) run as a child process on 127.0.0.1 with a
// free port, its JSON-lines log and its control channel, for end-to-end tests of the real binary.
// One test thread uses an instance; the destructor stops the pool.
#pragma once

#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "pool/json.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace tavo::test {

class PoolProcess {
 public:
  // Starts the pool with `extra` arguments after the fixed ones; ok() tells whether it listens.
  explicit PoolProcess(std::vector<std::string> extra = {});
  ~PoolProcess();

  bool ok() const { return port_ > 0 && control_port_ > 0; }
  int port() const { return port_; }

  // One control command; returns the pool's reply line ("ok ...", "error ...") or "" on failure.
  std::string command(const std::string& line);

  // Every event of the log so far, parsed.
  std::vector<JsonValue> events() const;
  // The events named `name`.
  std::vector<JsonValue> events(const std::string& name) const;

 private:
  TempDir dir_;
  ChildProcess child_;
  int port_ = 0;
  int control_port_ = 0;
};

// Waits until `done()` holds or the timeout passes, checking every 100 ms.
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

}  // namespace tavo::test
