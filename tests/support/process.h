// ChildProcess: starts a program (usually the built miner or the test pool) with its standard output
// and standard error captured through pipes, lets a test wait for text to appear, send signals and
// collect the exit status. Every wait is bounded. One test thread uses an instance at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tavo::test {

struct ProcessSpec {
  std::vector<std::string> argv;                               // argv[0] is the program path
  std::vector<std::pair<std::string, std::string>> set_env;    // added or replaced
  std::vector<std::string> unset_env;
  std::string working_dir;                                     // empty: inherit
  bool stdout_is_terminal = false;  // standard output on a pseudo-terminal (line ends become \r\n)
};

struct ProcessResult {
  bool exited = false;        // ended with exit(); exit_code is valid
  int exit_code = -1;
  int term_signal = 0;        // ended by this signal
  bool timed_out = false;     // did not end in time and was killed
  std::string out;
  std::string err;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False when the program cannot be started.
  bool start(const ProcessSpec& spec);
  // Reads output until `text` appears in standard output (or standard error when `in_err`), the
  // child ends, or the timeout passes. True when the text was seen.
  bool wait_for(const std::string& text, std::chrono::milliseconds timeout, bool in_err = false);
  void signal(int signal_number);
  // Waits for the end of the child; kills it (SIGKILL) when the timeout passes.
  ProcessResult wait(std::chrono::milliseconds timeout);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  pid_t pid() const { return pid_; }

 private:
  // Reads whatever is available within `budget`; returns false once both pipes are closed.
  bool pump(std::chrono::milliseconds budget);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  bool reaped_ = false;
  int status_ = 0;
};

// Starts, waits (bounded) and returns everything: the common case of a short-lived run.
ProcessResult run_process(const ProcessSpec& spec,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace tavo::test
