// The library's two exported entry points, which bind the request handling to this platform's
// backend and dialogs; everything else in it stays hidden.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "platform.hpp"
#include "request.hpp"

namespace {

const npc::signer::request_services PLATFORM{npc::signer::open_backend, npc::signer::open_prompts};

// Answered when not even a reply can be allocated; addon_free knows not to release it.
constexpr char NO_MEMORY_REPLY[] =
    R"({"status":"error","error":"internal_error","message":"out of memory"})";

const char* to_result(const std::string& reply) {
  char* result = static_cast<char*>(std::malloc(reply.size() + 1));
  if (!result) return NO_MEMORY_REPLY;
  std::memcpy(result, reply.c_str(), reply.size() + 1);
  return result;
}

}  // namespace

extern "C" {

#if defined(_WIN32)
#define NPC_EXPORT __declspec(dllexport)
#else
#define NPC_EXPORT __attribute__((visibility("default")))
#endif

// The reply is allocated with malloc and released by addon_free; `extra` is not used.
NPC_EXPORT const char* addon_process_query(const char* request, const char* /*extra*/) {
  try {
    return to_result(npc::signer::answer(request ? request : "", PLATFORM));
  } catch (const std::exception& error) {
    try {
      return to_result(npc::signer::internal_error_reply(error.what()));
    } catch (...) {
      return NO_MEMORY_REPLY;
    }
  } catch (...) {
    try {
      return to_result(npc::signer::internal_error_reply("unexpected fault"));
    } catch (...) {
      return NO_MEMORY_REPLY;
    }
  }
}

NPC_EXPORT void addon_free(const char* result) {
  if (result != NO_MEMORY_REPLY) std::free(const_cast<char*>(result));
}

}  // extern "C"
