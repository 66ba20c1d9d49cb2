#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace tavo::test {

namespace {
using Clock = std::chrono::steady_clock;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

bool ChildProcess::start(const ProcessSpec& spec) {
  int out_pipe[2];
  int err_pipe[2];
  if (spec.argv.empty()) return false;
  if (spec.stdout_is_terminal) {
    if (::openpty(&out_pipe[0], &out_pipe[1], nullptr, nullptr, nullptr) != 0) return false;
    ::fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(out_pipe[1], F_SETFD, FD_CLOEXEC);
  } else if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    return false;
  }
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : spec.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The environment is built before fork: between fork and exec only async-signal-safe calls.
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    bool dropped = false;
    for (const std::string& k : spec.unset_env) dropped = dropped || k == key;
    for (const auto& kv : spec.set_env) dropped = dropped || kv.first == key;
    if (!dropped) env_text.push_back(entry);
  }
  for (const auto& [k, v] : spec.set_env) env_text.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (!spec.working_dir.empty() && ::chdir(spec.working_dir.c_str()) != 0) ::_exit(126);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (pid_ < 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return false;
  }
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  return true;
}

bool ChildProcess::pump(std::chrono::milliseconds budget) {
  pollfd fds[2];
  int n = 0;
  if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
  if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
  if (n == 0) return false;
  const int ready = ::poll(fds, n, static_cast<int>(budget.count()));
  if (ready <= 0) return true;
  for (int i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
    const bool is_out = fds[i].fd == out_fd_;
    if (got > 0) {
      (is_out ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      ::close(fds[i].fd);
      (is_out ? out_fd_ : err_fd_) = -1;
    }
  }
  return true;
}

bool ChildProcess::wait_for(const std::string& text, std::chrono::milliseconds timeout,
                            bool in_err) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if ((in_err ? err_ : out_).find(text) != std::string::npos) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (!pump(std::min(left, std::chrono::milliseconds(100)))) {
      return (in_err ? err_ : out_).find(text) != std::string::npos;
    }
  }
}

void ChildProcess::signal(int signal_number) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal_number);
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  const auto deadline = Clock::now() + timeout;
  while (!reaped_) {
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = true;
      break;
    }
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      reaped_ = true;
      result.timed_out = true;
      break;
    }
    if (!pump(std::chrono::milliseconds(20))) ::usleep(10'000);
  }
  // Drain what the child left in the pipes.
  while (pump(std::chrono::milliseconds(50))) {
  }
  result.out = out_;
  result.err = err_;
  if (WIFEXITED(status_)) {
    result.exited = true;
    result.exit_code = WEXITSTATUS(status_);
  } else if (WIFSIGNALED(status_)) {
    result.term_signal = WTERMSIG(status_);
  }
  return result;
}

ProcessResult run_process(const ProcessSpec& spec, std::chrono::milliseconds timeout) {
  ChildProcess child;
  if (!child.start(spec)) return ProcessResult{};
  return child.wait(timeout);
}

}  // namespace tavo::test
