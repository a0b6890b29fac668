// The library's request vocabulary: one JSON request in, one JSON reply out. The operations are
// "version", "certificates", "sign" and "echo"; docs/signer.md describes each with its reply.
#pragma once

#include <string>
#include <string_view>

namespace npc::signer {

// Answers one request. The reply is always a JSON object; a failure is an error reply with a
// stable code, never an exception. Throws only std::bad_alloc.
std::string answer(std::string_view request);

// The reply to a fault that escaped answer(): an internal_error reply.
std::string internal_error_reply(std::string_view message);

}  // namespace npc::signer
