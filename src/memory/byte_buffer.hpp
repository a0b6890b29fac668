// A growable run of bytes whose new room is not cleared first, so that text decoded into it is
// written once; large blocks are whole huge pages where the system has them, and grow by moving
// pages, not copying bytes. Holds message texts and assembled requests, always NUL-terminated.
#pragma once

#include <cstddef>
#include <string_view>

namespace npc {

class byte_buffer {
 public:
  byte_buffer() = default;
  byte_buffer(const byte_buffer&) = delete;
  byte_buffer& operator=(const byte_buffer&) = delete;
  byte_buffer(byte_buffer&& other) noexcept;
  byte_buffer& operator=(byte_buffer&& other) noexcept;
  ~byte_buffer();

  char* data() { return data_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data_, size_}; }
  operator std::string_view() const { return view(); }
  // The bytes as a C string: they are followed by a NUL, and an empty buffer gives "".
  const char* c_str() const { return data_ != nullptr ? data_ : ""; }

  // Makes room for `extra` bytes after the current ones and a NUL after those, and returns where
  // they go; the room holds whatever was there. Throws std::bad_alloc when memory runs out.
  char* reserve_more(std::size_t extra);
  // Makes the capacity at least `total` bytes and a NUL.
  void reserve(std::size_t total);
  // Counts `written` bytes placed at the end (within the room reserve_more made) and writes the
  // NUL after them.
  void commit(std::size_t written);
  // Keeps the first `length` bytes (at most size()).
  void truncate(std::size_t length);
  void clear() { truncate(0); }
  void assign(std::string_view bytes);
  void append(std::string_view bytes);
  // Lets the memory go.
  void release();

 private:
  void free_block();

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // bytes usable, the NUL's place not counted
  bool mapped_ = false;       // a block of whole huge pages, not one from malloc
};

}  // namespace npc
