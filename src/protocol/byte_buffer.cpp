// The byte buffer: realloc-based growth for small blocks and, where the system has them, blocks of
// whole huge pages for large ones, since fresh memory faulted in 4 KiB pages costs more than
// decoding into it.
#include "protocol/byte_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace npc {
namespace {

// Blocks this large or larger are mapped in whole huge pages (2 MiB each on x86-64) where the
// system can; smaller ones come from malloc.
constexpr std::size_t huge_page = std::size_t{2} << 20;

#if defined(MADV_HUGEPAGE) && defined(MREMAP_MAYMOVE) && defined(MREMAP_FIXED)

constexpr bool can_map = true;

// Maps `size` bytes (whole huge pages) at an address that is a multiple of the huge page, so
// every page of it can be huge: a fault then brings in 2 MiB at once instead of 4 KiB. Null when
// refused.
char* map_block(std::size_t size) {
  void* raw = ::mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(raw);
  const auto aligned = (begin + huge_page - 1) & ~(huge_page - 1);
  const auto end = begin + size + huge_page;
  if (aligned != begin) ::munmap(raw, aligned - begin);
  if (end != aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
  // Only a hint: where huge pages are off, the block is ordinary memory.
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<char*>(aligned);
}

// Grows a mapped block to `size` bytes. Its pages move rather than its bytes: in place when the
// address space after it is free, else into a new aligned block.
char* remap_block(char* block, std::size_t old_size, std::size_t size) {
  if (::mremap(block, old_size, size, 0) != MAP_FAILED) return block;
  char* moved = map_block(size);
  if (moved == nullptr) return nullptr;
  if (::mremap(block, old_size, old_size, MREMAP_MAYMOVE | MREMAP_FIXED, moved) == MAP_FAILED) {
    ::munmap(moved, size);
    return nullptr;
  }
  return moved;
}

void unmap_block(char* block, std::size_t size) { ::munmap(block, size); }

#else

constexpr bool can_map = false;
char* map_block(std::size_t) { return nullptr; }
char* remap_block(char*, std::size_t, std::size_t) { return nullptr; }
void unmap_block(char*, std::size_t) {}

#endif

}  // namespace

byte_buffer::byte_buffer(byte_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

byte_buffer& byte_buffer::operator=(byte_buffer&& other) noexcept {
  if (this != &other) {
    free_block();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

byte_buffer::~byte_buffer() { free_block(); }

void byte_buffer::free_block() {
  if (mapped_)
    unmap_block(data_, capacity_ + 1);
  else
    std::free(data_);
}

void byte_buffer::reserve(std::size_t total) {
  if (total <= capacity_) return;
  if (total >= static_cast<std::size_t>(-1) / 2) throw std::bad_alloc();
  if (can_map && total + 1 >= huge_page) {
    const std::size_t size = (total + 1 + huge_page - 1) / huge_page * huge_page;
    char* grown = mapped_ ? remap_block(data_, capacity_ + 1, size) : map_block(size);
    if (grown == nullptr) throw std::bad_alloc();
    if (!mapped_ && data_ != nullptr) {
      std::memcpy(grown, data_, size_);
      std::free(data_);
    }
    data_ = grown;
    capacity_ = size - 1;
    mapped_ = true;
  } else {
    auto* grown = static_cast<char*>(std::realloc(data_, total + 1));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = grown;
    capacity_ = total;
  }
  data_[size_] = '\0';
}

char* byte_buffer::reserve_more(std::size_t extra) {
  if (extra > capacity_ - size_ || data_ == nullptr) {
    if (extra >= static_cast<std::size_t>(-1) / 4) throw std::bad_alloc();
    // Growing by half again keeps appends linear; large blocks grow by moving pages, not bytes.
    reserve(std::max(size_ + extra, capacity_ + capacity_ / 2 + 64));
  }
  return data_ + size_;
}

void byte_buffer::commit(std::size_t written) {
  size_ += written;
  data_[size_] = '\0';
}

void byte_buffer::truncate(std::size_t length) {
  if (data_ == nullptr) return;
  size_ = std::min(length, size_);
  data_[size_] = '\0';
}

void byte_buffer::assign(std::string_view bytes) {
  clear();
  append(bytes);
}

void byte_buffer::append(std::string_view bytes) {
  char* out = reserve_more(bytes.size());
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  commit(bytes.size());
}

void byte_buffer::release() {
  free_block();
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  mapped_ = false;
}

}  // namespace npc
