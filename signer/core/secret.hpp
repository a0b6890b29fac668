// One buffer for a secret (the PIN), wiped when it goes: never copied into a std::string, whose
// old allocations would keep the bytes after a reallocation.
#pragma once

#include <cstddef>
#include <string_view>

namespace npc::signer {

// Overwrites `size` bytes with zeros so that the compiler cannot leave the store out.
void wipe(void* bytes, std::size_t size);

// A fixed buffer of CAPACITY bytes; what does not fit is refused rather than reallocated.
class secret {
 public:
  static constexpr std::size_t CAPACITY = 256;

  secret() = default;
  ~secret() { clear(); }
  secret(const secret&) = delete;
  secret& operator=(const secret&) = delete;

  // Appends; false (and nothing appended) when the result would not fit.
  bool append(std::string_view bytes) {
    if (bytes.size() > CAPACITY - size_) return false;
    for (const char c : bytes) bytes_[size_++] = c;
    return true;
  }
  void clear() {
    wipe(bytes_, sizeof bytes_);
    size_ = 0;
  }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  const char* data() const { return bytes_; }
  char* data() { return bytes_; }

 private:
  char bytes_[CAPACITY] = {};
  std::size_t size_ = 0;
};

}  // namespace npc::signer
