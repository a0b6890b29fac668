// The signing library the benchmarks run the host with: "reply:N" answers N bytes, anything else
// answers its length and checksum, so the driver can tell every request arrived whole.
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "bench_common.hpp"

#define NPC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

char short_reply[64];

char* make_reply(std::size_t size) {
  auto* reply = static_cast<char*>(std::malloc(size + 1));
  if (reply == nullptr) return nullptr;
  npc::bench::hint_huge_pages(reply, size + 1);
  npc::bench::fill_reply(reply, size);
  reply[size] = '\0';
  return reply;
}

char* prepared = nullptr;
std::size_t prepared_size = 0;

std::size_t size_after(const char* request, std::size_t prefix_size) {
  return std::strtoull(request + prefix_size - 1, nullptr, 10);
}

}  // namespace

NPC_EXPORT const char* addon_process_query(const char* request, const char* /*extra*/) {
  const std::size_t length = std::strlen(request);
  const std::string_view text(request, length);
  if (text.starts_with(npc::bench::REPLY_PREFIX)) {
    const std::size_t size = size_after(request, sizeof npc::bench::REPLY_PREFIX);
    if (prepared != nullptr && prepared_size == size) return std::exchange(prepared, nullptr);
    return make_reply(size);
  }
  if (text.starts_with(npc::bench::PREPARE_PREFIX)) {
    std::free(prepared);
    prepared_size = size_after(request, sizeof npc::bench::PREPARE_PREFIX);
    prepared = make_reply(prepared_size);
  }
  // Short answers are made in place: the host calls one query at a time and hands each result
  // back before the next, so one buffer serves, and malloc would cost more than the host does.
  npc::bench::checksum_reply(short_reply, request, length);
  return short_reply;
}

NPC_EXPORT void addon_free(const char* result) {
  if (result != short_reply) std::free(const_cast<char*>(result));
}
