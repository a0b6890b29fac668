// Huge-page blocks on Linux: anonymous mappings aligned to the huge page, grown with mremap.
// Systems without mremap (macOS among them) have none, and the byte buffer stays on malloc.
#include <cstdint>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "memory/page_blocks.hpp"

namespace npc::page_blocks {

#if defined(MADV_HUGEPAGE) && defined(MREMAP_MAYMOVE) && defined(MREMAP_FIXED)

bool available() { return true; }

char* map(std::size_t size) {
  void* raw = ::mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  // Mapped one huge page longer, then trimmed to the aligned part, so every page of it can be huge.
  const auto begin = reinterpret_cast<std::uintptr_t>(raw);
  const auto aligned = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const auto end = begin + size + HUGE_PAGE;
  if (aligned != begin) ::munmap(raw, aligned - begin);
  if (end != aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
  // Only a hint: where huge pages are off, the block is ordinary memory.
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<char*>(aligned);
}

char* remap(char* block, std::size_t old_size, std::size_t size) {
  if (::mremap(block, old_size, size, 0) != MAP_FAILED) return block;
  char* moved = map(size);
  if (moved == nullptr) return nullptr;
  if (::mremap(block, old_size, old_size, MREMAP_MAYMOVE | MREMAP_FIXED, moved) == MAP_FAILED) {
    ::munmap(moved, size);
    return nullptr;
  }
  return moved;
}

void unmap(char* block, std::size_t size) { ::munmap(block, size); }

#else

bool available() { return false; }
char* map(std::size_t) { return nullptr; }
char* remap(char*, std::size_t, std::size_t) { return nullptr; }
void unmap(char*, std::size_t) {}

#endif

}  // namespace npc::page_blocks
