// Large blocks of whole huge pages for the byte buffer, where the system has them (one source per
// platform, chosen by CMake): a fault then brings in 2 MiB at once instead of 4 KiB, and a block
// grows by moving pages rather than copying bytes.
#pragma once

#include <cstddef>

namespace npc::page_blocks {

// A huge page's size on x86-64; block sizes are whole multiples of it.
inline constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Whether this system maps such blocks; where not, the others are never called.
bool available();

// Maps `size` bytes (whole huge pages) at an address that is a multiple of the huge page. Null
// when refused.
char* map(std::size_t size);

// Grows a mapped block of `old_size` bytes to `size`: in place when the address space after it is
// free, else into a new block, its pages moved. Null when refused; the block is then as it was.
char* remap(char* block, std::size_t old_size, std::size_t size);

// Unmaps a block of `size` bytes.
void unmap(char* block, std::size_t size);

}  // namespace npc::page_blocks
