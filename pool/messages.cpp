#include "pool/messages.h"

#include "pool/hex.h"

namespace tavo {

std::string subscribe_message(std::string_view agent) {
  std::string m = "{\"id\":1,\"method\":\"mining.subscribe\",\"params\":[\"";
  m += json_escape(agent);
  m += "\"]}\n";
  return m;
}

std::string authorize_message(std::string_view login) {
  std::string m = "{\"id\":2,\"method\":\"mining.authorize\",\"params\":[\"";
  m += json_escape(login);
  m += "\",\"";
  m += kPlaceholderPassword;
  m += "\"]}\n";
  return m;
}

std::string submit_message(std::uint64_t id, std::string_view login, std::string_view job_id,
                           std::string_view extranonce2_hex, std::uint32_t ntime,
                           std::uint32_t nonce) {
  std::string m = "{\"id\":";
  m += std::to_string(id);
  m += ",\"method\":\"mining.submit\",\"params\":[\"";
  m += json_escape(login);
  m += "\",\"";
  m += json_escape(job_id);
  m += "\",\"";
  m += extranonce2_hex;
  m += "\",\"";
  m += hex_u32(ntime);
  m += "\",\"";
  m += hex_u32(nonce);
  m += "\"]}\n";
  return m;
}

std::string error_text(const JsonValue* error) {
  if (error == nullptr) return "rejected";
  switch (error->kind) {
    case JsonKind::Array:
      if (error->array.size() >= 2) return error->array[1].string;
      return "rejected";
    case JsonKind::String:
      return error->string;
    case JsonKind::Object:
      return get_string(*error, "message", "rejected");
    default:
      return "rejected";
  }
}

}  // namespace tavo
