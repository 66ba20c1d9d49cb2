// Opening a TCP connection to the first address of a resolved list that accepts one. Each
// address gets a non-blocking connect bounded to 10 s; the sockets it returns stay non-blocking
// for their whole life. Stateless apart from the clock it reads; any thread may call it, though
// only the session thread does.
#pragma once

#include <netdb.h>

#include <chrono>

#include "pool/clock.h"

namespace tavo {

// How long one address may take to accept the connection.
inline constexpr std::chrono::milliseconds kConnectTimeout{10000};

// Tries the addresses of `list` in order and returns the descriptor of the first one that
// connected, or -1 when none did (refused, unreachable, or slower than kConnectTimeout each).
// Sockets of failed attempts are closed. The bound is read from `clock`; a clock that stands
// still still gives up after kConnectTimeout of real time.
int connect_first(const addrinfo* list, Clock& clock);

}  // namespace tavo
