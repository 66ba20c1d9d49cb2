#include "tests/e2e/pool_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace tavo::test {

namespace {

int read_port(const std::string& path) {
  const std::string text = read_file(path);
  return text.empty() ? 0 : std::atoi(text.c_str());
}

}  // namespace

PoolProcess::PoolProcess(std::vector<std::string> extra) {
  ProcessSpec spec;
  spec.argv = {"/usr/bin/env", "python3", TAVO_SOURCE_DIR "/tools/testpool/testpool.py",
               "--host", "127.0.0.1", "--port", "0", "--port-file", dir_.file("port"),
               "--control-port", "0", "--control-port-file", dir_.file("control"),
               "--log", dir_.file("log.jsonl"), "--quiet"};
  spec.argv.insert(spec.argv.end(), extra.begin(), extra.end());
  if (!child_.start(spec)) return;
  eventually([&] { return read_port(dir_.file("port")) > 0 && read_port(dir_.file("control")) > 0; },
             std::chrono::seconds(20));
  port_ = read_port(dir_.file("port"));
  control_port_ = read_port(dir_.file("control"));
}

PoolProcess::~PoolProcess() {
  child_.signal(SIGTERM);
  child_.wait(std::chrono::seconds(10));
}

std::string PoolProcess::command(const std::string& line) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(control_port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string text = line + "\n";
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (reply.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[512];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  ::close(fd);
  if (const auto end = reply.find('\n'); end != std::string::npos) reply.resize(end);
  return reply;
}

std::vector<JsonValue> PoolProcess::events() const {
  std::vector<JsonValue> result;
  const std::string log = read_file(dir_.file("log.jsonl"));
  std::size_t start = 0;
  while (start < log.size()) {
    const std::size_t end = log.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    JsonValue event;
    if (json_parse(std::string_view(log).substr(start, end - start), event)) {
      result.push_back(std::move(event));
    }
    start = end + 1;
  }
  return result;
}

std::vector<JsonValue> PoolProcess::events(const std::string& name) const {
  std::vector<JsonValue> result;
  for (JsonValue& event : events()) {
    if (get_string(event, "event", "") == name) result.push_back(std::move(event));
  }
  return result;
}

}  // namespace tavo::test
