// The Stratum texts the client writes and the one pool value it turns into text. Outgoing
// messages are assembled from fixed pieces with only the variable strings escaped, one JSON
// object per line, each ended by a single line feed. Pure functions; any thread may call them
// (miner worker threads build submits concurrently).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pool/json.h"

namespace tavo {

// The password sent with mining.authorize. Pools of this kind identify the miner by its login
// name alone; the field only has to be present.
inline constexpr char kPlaceholderPassword[] = "x";

// {"id":1,"method":"mining.subscribe","params":["<agent>"]} and a line feed.
std::string subscribe_message(std::string_view agent);

// {"id":2,"method":"mining.authorize","params":["<login>","x"]} and a line feed.
std::string authorize_message(std::string_view login);

// {"id":<id>,"method":"mining.submit","params":["<login>","<job>","<en2>","<ntime>","<nonce>"]}
// and a line feed; ntime and nonce as eight lowercase hex digits, extranonce2 as given.
std::string submit_message(std::uint64_t id, std::string_view login, std::string_view job_id,
                           std::string_view extranonce2_hex, std::uint32_t ntime,
                           std::uint32_t nonce);

// A pool's error member as one line of text: the message of a [code, message, data] array,
// a plain string, an object's "message", else "rejected". `error` may be null (no member).
std::string error_text(const JsonValue* error);

}  // namespace tavo
