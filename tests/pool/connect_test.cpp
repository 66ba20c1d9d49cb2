// Walking a resolved address list: a refusing address is skipped without a word, and the first
// one that accepts wins.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "pool/connect.h"
#include "tests/pool/fake_pool.h"
#include "tests/pool/manual_clock.h"

namespace tavo::test {
namespace {

// An address list like getaddrinfo's, for loopback ports in the given order.
class AddressList {
 public:
  explicit AddressList(const std::vector<std::uint16_t>& ports) : addrs_(ports.size()), infos_(ports.size()) {
    for (std::size_t i = 0; i < ports.size(); ++i) {
      addrs_[i].sin_family = AF_INET;
      addrs_[i].sin_port = htons(ports[i]);
      addrs_[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      infos_[i].ai_family = AF_INET;
      infos_[i].ai_socktype = SOCK_STREAM;
      infos_[i].ai_addr = reinterpret_cast<sockaddr*>(&addrs_[i]);
      infos_[i].ai_addrlen = sizeof(sockaddr_in);
      infos_[i].ai_next = i + 1 < ports.size() ? &infos_[i + 1] : nullptr;
    }
  }
  const addrinfo* get() const { return infos_.empty() ? nullptr : &infos_[0]; }

 private:
  std::vector<sockaddr_in> addrs_;
  std::vector<addrinfo> infos_;
};

std::uint16_t peer_port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

TEST(ConnectFirst, SkipsRefusingAddressesAndStopsAtTheFirstThatAccepts) {
  ManualClock clock;
  FakePool first;
  FakePool second;
  const std::uint16_t closed = refusing_port();
  const AddressList list({closed, closed, second.port(), first.port()});
  const int fd = connect_first(list.get(), clock);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(peer_port_of(fd), second.port());
  EXPECT_TRUE(second.accept());
  EXPECT_FALSE(first.accept(std::chrono::milliseconds(100)));
  ::close(fd);
}

TEST(ConnectFirst, NoAddressAcceptingGivesMinusOne) {
  ManualClock clock;
  const std::uint16_t closed = refusing_port();
  EXPECT_EQ(connect_first(AddressList({closed, closed}).get(), clock), -1);
  EXPECT_EQ(connect_first(nullptr, clock), -1);
}

}  // namespace
}  // namespace tavo::test
