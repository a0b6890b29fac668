// The library's request vocabulary: one JSON request in, one JSON reply out. The operations are
// "version", "certificates", "sign", "authenticate", "select_certificate" and "echo";
// docs/signer.md describes each with its reply.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/backend.hpp"

namespace npc::signer {

// Where a request finds its keys and its user. Each is called when an operation first needs it
// (a version request opens no dialog), and may fail through fail().
struct request_services {
  std::unique_ptr<backend> (*open_backend)();
  std::unique_ptr<user_prompts> (*open_prompts)(std::string_view language);
};

// Answers one request. The reply is always a JSON object; a failure is an error reply with a
// stable code, never an exception. Throws only std::bad_alloc.
std::string answer(std::string_view request, const request_services& services);

// The reply to a fault that escaped answer(): an internal_error reply.
std::string internal_error_reply(std::string_view message);

}  // namespace npc::signer
