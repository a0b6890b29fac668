// The signing library the benchmarks run the host with: "reply:N" answers N bytes, anything else
// answers its length and checksum, so the driver can tell every request arrived whole.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bench_common.hpp"

#define NPC_EXPORT extern "C" __attribute__((visibility("default")))

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
  auto* reply = static_cast<char*>(std::malloc(64));
  if (reply == nullptr) return nullptr;
  npc::bench::checksum_reply(reply, request, length);
  return reply;
}

NPC_EXPORT void addon_free(const char* result) { std::free(const_cast<char*>(result)); }
