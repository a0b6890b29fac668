// Wiping a secret where the compiler cannot prove the store dead and drop it.
#include "core/secret.hpp"

#include <cstring>

namespace npc::signer {
namespace {

// Called through a volatile pointer, memset cannot be seen to write memory that is never read
// again, so the call stays (the same means OPENSSL_cleanse uses).
void* (*volatile const zero_bytes)(void*, int, std::size_t) = std::memset;

}  // namespace

void wipe(void* bytes, std::size_t size) { zero_bytes(bytes, 0, size); }

}  // namespace npc::signer
