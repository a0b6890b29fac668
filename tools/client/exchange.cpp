// Frames, envelopes, split requests and chunked replies as the extension sees them; every
// function reports a fault and a line of text rather than throwing.
#include "client/exchange.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "codec/base64.hpp"
#include "codec/base64_strict.hpp"
#include "protocol/framing.hpp"

namespace npc::client {
namespace {

outcome failure(fault kind, std::string detail) { return outcome{kind, std::move(detail)}; }

// Reads up to `length` bytes, stopping early only at the end of input; returns the count read,
// or -1 with errno set.
long read_fully(int fd, char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::read(fd, data + done, length - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long>(done);
}

// Appends the decoded bytes of a canonical base64 text to `out`.
void append_decoded(std::string& out, std::string_view base64) {
  const std::size_t old_size = out.size();
  // base64_decode writes a NUL after the bytes, hence the one extra byte of room.
  out.resize(old_size + base64.size() / 4 * 3 + 1);
  const std::size_t written = base64_decode(out.data() + old_size, base64.data(), base64.size());
  out.resize(old_size + written);
}

outcome expect_ack(int from_host, std::string_view what) {
  std::string answer;
  outcome result = read_frame(from_host, answer);
  if (!succeeded(result)) {
    if (result.kind == fault::host_ended) result.detail = "the host closed its output instead of acknowledging " + std::string(what);
    return result;
  }
  if (answer != MORE_ACK)
    return failure(fault::bad_ack, "the host answered " + std::string(what) + " with " + excerpt(answer) +
                                       " instead of the acknowledgement " + std::string(MORE_ACK));
  return {};
}

// A request the host would take for one of its own messages, asked of the host's own classify on
// the text as the host reads it (up to its first NUL). In pieces it reaches the library as it is.
bool host_takes_for_its_own(std::string_view request) {
  return classify(request.substr(0, request.find('\0'))) != message_kind::query;
}

}  // namespace

outcome write_all(int fd, const char* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t put = ::write(fd, data + done, length - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) return failure(fault::host_ended, "the host closed its input before answering");
      return failure(fault::io, std::string("cannot write to the host: ") + std::strerror(errno));
    }
    done += static_cast<std::size_t>(put);
  }
  return {};
}

outcome write_frame(int fd, std::string_view body) {
  char prefix[LENGTH_SIZE];
  put_length(static_cast<std::uint32_t>(body.size()), prefix);
  outcome result = write_all(fd, prefix, sizeof prefix);
  if (!succeeded(result)) return result;
  return write_all(fd, body.data(), body.size());
}

outcome read_frame(int fd, std::string& body) {
  char prefix[LENGTH_SIZE];
  const long got = read_fully(fd, prefix, sizeof prefix);
  if (got < 0) return failure(fault::io, std::string("cannot read from the host: ") + std::strerror(errno));
  if (got == 0) return failure(fault::host_ended, "the host closed its output before answering");
  if (got < static_cast<long>(LENGTH_SIZE))
    return failure(fault::cut_short, "a frame from the host was cut short after " + std::to_string(got) +
                                         " of its " + std::to_string(LENGTH_SIZE) + " length bytes");
  const std::uint32_t length = get_length(prefix);
  if (length > DIRECT_REPLY_LIMIT)
    return failure(fault::too_long, "the host sent a frame of " + std::to_string(length) +
                                        " bytes; no frame may be longer than " +
                                        std::to_string(DIRECT_REPLY_LIMIT));
  body.resize(length);
  const long read = read_fully(fd, body.data(), length);
  if (read < 0) return failure(fault::io, std::string("cannot read from the host: ") + std::strerror(errno));
  if (static_cast<std::size_t>(read) < length) {
    body.resize(static_cast<std::size_t>(read));
    return failure(fault::cut_short, "a frame from the host was cut short after " + std::to_string(read) +
                                         " of its " + std::to_string(length) + " body bytes");
  }
  return {};
}

std::string envelope(std::string_view text) {
  const std::size_t encoded = base64_encoded_length(text.size());
  std::string body(encoded + 2, '"');
  // base64_encode ends with a NUL, which lands on the closing quote; put the quote back.
  base64_encode(text.data(), text.size(), body.data() + 1);
  body.back() = '"';
  return body;
}

std::string message_frame(std::string_view text) {
  // The envelope is written in place after the prefix, as envelope() writes it.
  const std::size_t body = base64_encoded_length(text.size()) + 2;
  std::string frame(LENGTH_SIZE + body, '"');
  put_length(static_cast<std::uint32_t>(body), frame.data());
  base64_encode(text.data(), text.size(), frame.data() + LENGTH_SIZE + 1);
  frame.back() = '"';
  return frame;
}

outcome send_message(int fd, std::string_view text) {
  const std::string frame = message_frame(text);
  return write_all(fd, frame.data(), frame.size());
}

split_plan plan_split(std::size_t request_length, std::size_t piece_size) {
  // The last piece takes what the full pieces leave, 1 to piece_size bytes, so a request of
  // exactly k pieces is k - 1 pieces and a full last piece.
  return split_plan{request_length == 0 ? 0 : (request_length - 1) / piece_size, piece_size};
}

std::string start_message(std::size_t count) {
  return std::string(START_PREFIX) + ",\"count\":" + std::to_string(count) + "}";
}

std::string piece_message(std::string_view key, std::string_view bytes) {
  const std::size_t encoded = base64_encoded_length(bytes.size());
  std::string text = "{\"" + std::string(key) + "\":\"";
  const std::size_t head = text.size();
  text.resize(head + encoded + 1);
  base64_encode(bytes.data(), bytes.size(), text.data() + head);
  text.resize(head + encoded);
  text += "\"}";
  return text;
}

outcome send_request(int to_host, int from_host, std::string_view request, const send_settings& settings,
                     send_report& report) {
  report = send_report{};
  const std::size_t piece_size = std::clamp<std::size_t>(settings.piece_size, 1, CHUNK_SIZE);
  if (!settings.split && request.size() <= piece_size && !host_takes_for_its_own(request)) {
    report.messages = 1;
    return send_message(to_host, request);
  }
  const split_plan plan = plan_split(request.size(), piece_size);
  report.split = true;
  outcome result = send_message(to_host, start_message(plan.count));
  if (!succeeded(result)) return result;
  report.messages = 1;
  result = expect_ack(from_host, "the start of a split request");
  if (!succeeded(result)) return result;
  for (std::size_t i = 0; i < plan.count; ++i) {
    result = send_message(to_host, piece_message("part", request.substr(i * piece_size, piece_size)));
    if (!succeeded(result)) return result;
    ++report.messages;
    ++report.pieces;
    result = expect_ack(from_host, "piece " + std::to_string(i + 1) + " of " + std::to_string(plan.count));
    if (!succeeded(result)) return result;
  }
  result = send_message(to_host, piece_message("last", request.substr(plan.count * piece_size)));
  if (succeeded(result)) ++report.messages;
  return result;
}

chunk_view parse_chunk(std::string_view text) {
  chunk_kind kind = chunk_kind::not_chunk;
  if (text.starts_with(CHUNK_PART_HEAD))
    kind = chunk_kind::part;
  else if (text.starts_with(CHUNK_LAST_HEAD))
    kind = chunk_kind::last;
  if (kind == chunk_kind::not_chunk || text.size() < CHUNK_OVERHEAD || !text.ends_with(CHUNK_TAIL)) return {};
  const std::string_view base64 = text.substr(CHUNK_PART_HEAD.size(), text.size() - CHUNK_OVERHEAD);
  if (!base64_is_canonical(base64.data(), base64.size())) return {};
  return chunk_view{kind, base64};
}

std::size_t decoded_length(std::string_view base64) {
  std::size_t padding = 0;
  while (padding < base64.size() && base64[base64.size() - 1 - padding] == '=') ++padding;
  return base64.size() / 4 * 3 - padding;
}

outcome read_reply(int from_host, int to_host, std::string& reply, reply_report& report) {
  report = reply_report{};
  outcome result = read_frame(from_host, reply);
  if (!succeeded(result)) return result;
  report.frames = 1;
  if (parse_chunk(reply).kind != chunk_kind::part) return {};

  // The frame is itself the first chunk: move it aside, since `reply` collects the bytes.
  std::string frame = std::move(reply);
  reply.clear();
  chunk_view chunk = parse_chunk(frame);
  for (;;) {
    const std::size_t carried = decoded_length(chunk.base64);
    if (chunk.kind == chunk_kind::part ? carried != CHUNK_SIZE : carried >= CHUNK_SIZE)
      return failure(fault::bad_chunk, "chunk " + std::to_string(report.frames) + " of a long reply carries " +
                                           std::to_string(carried) + " bytes; a \"part\" chunk carries exactly " +
                                           std::to_string(CHUNK_SIZE) + " and the \"last\" one fewer");
    append_decoded(reply, chunk.base64);
    if (chunk.kind == chunk_kind::last) return {};

    result = send_message(to_host, MORE_TEXT);
    if (!succeeded(result)) return result;
    result = read_frame(from_host, frame);
    if (!succeeded(result)) {
      if (result.kind == fault::host_ended)
        result.detail = "the host closed its output after chunk " + std::to_string(report.frames) + " of a long reply";
      return result;
    }
    ++report.frames;
    chunk = parse_chunk(frame);
    if (chunk.kind == chunk_kind::not_chunk)
      return failure(fault::bad_chunk, "chunk " + std::to_string(report.frames) + " of a long reply is malformed: " +
                                           excerpt(frame));
  }
}

std::string excerpt(std::string_view bytes, std::size_t max_bytes) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = "'";
  for (const char c : bytes.substr(0, max_bytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    }
  }
  out += "'";
  if (bytes.size() > max_bytes) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

}  // namespace npc::client
