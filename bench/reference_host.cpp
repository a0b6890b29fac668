// A framing-only host, the yardstick the real host is measured against in the same run: it reads
// every frame whole into one reused buffer and answers canned replies of the right forms and sizes,
// so its cost is the pipe's and the kernel's, not a codec's or a library's.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_common.hpp"
#include "codec/base64.hpp"
#include "protocol/wire.hpp"

namespace {

using namespace npc;

bool write_all(iovec* rest, std::size_t count) {
  std::size_t index = 0;
  while (index < count) {
    const ssize_t written = ::writev(STDOUT_FILENO, rest + index, static_cast<int>(count - index));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<std::size_t>(written);
    while (index < count && left >= rest[index].iov_len) left -= rest[index++].iov_len;
    if (index < count) {
      rest[index].iov_base = static_cast<char*>(rest[index].iov_base) + left;
      rest[index].iov_len -= left;
    }
  }
  return true;
}

// Length and body in one system call, as the real host does.
bool send(std::string_view head, std::string_view body = {}, std::string_view tail = {},
          std::string_view tail2 = {}) {
  const auto length = static_cast<std::uint32_t>(head.size() + body.size() + tail.size() + tail2.size());
  char prefix[LENGTH_SIZE];
  put_length(length, prefix);
  iovec parts[5] = {{prefix, LENGTH_SIZE},
                    {const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(body.data()), body.size()},
                    {const_cast<char*>(tail.data()), tail.size()},
                    {const_cast<char*>(tail2.data()), tail2.size()}};
  return write_all(parts, 5);
}

// Buffered input: 64 KiB reads, and bodies larger than what is buffered read straight into place.
struct input {
  std::vector<char> block = std::vector<char>(std::size_t{1} << 16);
  std::size_t begin = 0, end = 0;

  bool fill() {
    begin = 0;
    for (;;) {
      const ssize_t got = ::read(STDIN_FILENO, block.data(), block.size());
      if (got < 0 && errno == EINTR) continue;
      end = got > 0 ? static_cast<std::size_t>(got) : 0;
      return got > 0;
    }
  }

  bool read(char* out, std::size_t length) {
    while (length != 0) {
      if (begin == end) {
        if (length >= block.size()) {
          const ssize_t got = ::read(STDIN_FILENO, out, length);
          if (got < 0 && errno == EINTR) continue;
          if (got <= 0) return false;
          out += got;
          length -= static_cast<std::size_t>(got);
          continue;
        }
        if (!fill()) return false;
      }
      const std::size_t step = std::min(length, end - begin);
      std::memcpy(out, block.data() + begin, step);
      begin += step;
      out += step;
      length -= step;
    }
    return true;
  }
};

}  // namespace

int main() {
  // The pipes widened as the host widens them, so that the comparison is of the work on the
  // bytes, not of the pipes' capacity.
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO}) ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
  // The canned replies, made once: a full chunk message and the filler for whole replies.
  std::string filler(DIRECT_REPLY_LIMIT, '\0');
  bench::fill_reply(filler.data(), filler.size());
  std::string chunk_base64(base64_encoded_length(CHUNK_SIZE) + 1, '\0');
  base64_encode(filler.data(), CHUNK_SIZE, chunk_base64.data());
  chunk_base64.pop_back();
  const std::string_view canned_answer = R"({"length":0,"checksum":"0000000000000000"})";

  input in;
  // Holds each body whole, reused; grown without being cleared, as the bytes are read over it.
  char* body = nullptr;
  std::size_t body_capacity = 0;
  std::size_t remaining = 0;  // reply bytes still to send in chunks
  for (;;) {
    char prefix[LENGTH_SIZE];
    if (!in.read(prefix, LENGTH_SIZE)) return 0;
    const std::uint32_t length = get_length(prefix);
    if (length == 0 || length > 0x7FFF'FFFFu) return 0;
    if (body_capacity < length) {
      body = static_cast<char*>(std::realloc(body, length));
      if (body == nullptr) return 0;
      body_capacity = length;
      bench::hint_huge_pages(body, length);
    }
    if (!in.read(body, length)) return 0;

    // Only the first bytes are decoded, enough to tell the message's kind and a requested size.
    char decoded[64];
    const std::string_view text(decoded, base64_decode(decoded, body, std::min<std::size_t>(length, 60)));

    bool ok = true;
    if (length < 64 && text == CLOSE_TEXT) return 0;
    if (text.starts_with(MORE_PREFIX) || text.starts_with(bench::REPLY_PREFIX)) {
      if (!text.starts_with(MORE_PREFIX)) {
        remaining = std::strtoull(decoded + sizeof bench::REPLY_PREFIX - 1, nullptr, 10);
        if (remaining <= DIRECT_REPLY_LIMIT) {
          ok = send({filler.data(), remaining});
          remaining = 0;
          if (!ok) return 0;
          continue;
        }
      }
      const std::size_t step = std::min(remaining, CHUNK_SIZE);
      remaining -= step;
      if (step == CHUNK_SIZE) {
        ok = send(CHUNK_PART_HEAD, chunk_base64, CHUNK_TAIL);
      } else {
        // The canned text cut to this chunk's size, its final group encoded afresh.
        const std::size_t whole = step / 3 * 3;
        char group[5] = "";
        if (step > whole) base64_encode(filler.data() + whole, step - whole, group);
        remaining = 0;
        ok = send(CHUNK_LAST_HEAD, {chunk_base64.data(), whole / 3 * 4}, group, CHUNK_TAIL);
      }
    } else if (text.starts_with(PIECE_PREFIX)) {
      ok = send(MORE_ACK);  // a start or a piece
    } else {
      ok = send(canned_answer);  // a query or a last piece
    }
    if (!ok) return 0;
  }
}
