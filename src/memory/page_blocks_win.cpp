// Huge-page blocks on Windows: none (large pages there need a privilege a browser's child lacks),
// so the byte buffer stays on malloc.
#include "memory/page_blocks.hpp"

namespace npc::page_blocks {

bool available() { return false; }
char* map(std::size_t) { return nullptr; }
char* remap(char*, std::size_t, std::size_t) { return nullptr; }
void unmap(char*, std::size_t) {}

}  // namespace npc::page_blocks
