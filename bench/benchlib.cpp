// The signing library the benchmarks run the host with: "reply:N" answers N bytes, anything else
// answers its length and checksum, so the driver can tell every request arrived whole.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bench_common.hpp"

#define NPC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
char short_reply[64];
}  // namespace

NPC_EXPORT const char* addon_process_query(const char* request, const char* /*extra*/) {
  const std::size_t length = std::strlen(request);
  const std::string_view text(request, length);
  if (text.starts_with(npc::bench::REPLY_PREFIX)) {
    const std::size_t size = std::strtoull(request + sizeof npc::bench::REPLY_PREFIX - 1, nullptr, 10);
    auto* reply = static_cast<char*>(std::malloc(size + 1));
    if (reply == nullptr) return nullptr;
    npc::bench::fill_reply(reply, size);
    reply[size] = '\0';
    return reply;
  }
  // Short answers are made in place: the host calls one query at a time and hands each result
  // back before the next, so one buffer serves, and malloc would cost more than the host does.
  npc::bench::checksum_reply(short_reply, request, length);
  return short_reply;
}

NPC_EXPORT void addon_free(const char* result) {
  if (result != short_reply) std::free(const_cast<char*>(result));
}
