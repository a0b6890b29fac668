// The byte buffer: realloc-based growth for small blocks and, where the system has them, blocks of
// whole huge pages for large ones, since fresh memory faulted in 4 KiB pages costs more than
// decoding into it.
#include "memory/byte_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "memory/page_blocks.hpp"

namespace npc {
namespace {

// Blocks this large or larger are mapped in whole huge pages where the system can; smaller ones
// come from malloc.
constexpr std::size_t huge_page = page_blocks::HUGE_PAGE;

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
    page_blocks::unmap(data_, capacity_ + 1);
  else
    std::free(data_);
}

void byte_buffer::reserve(std::size_t total) {
  if (total <= capacity_) return;
  if (total >= static_cast<std::size_t>(-1) / 2) throw std::bad_alloc();
  if (total + 1 >= huge_page && page_blocks::available()) {
    const std::size_t size = (total + 1 + huge_page - 1) / huge_page * huge_page;
    char* grown = mapped_ ? page_blocks::remap(data_, capacity_ + 1, size) : page_blocks::map(size);
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
