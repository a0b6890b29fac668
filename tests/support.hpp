// Helpers shared by the tests: building inbound frames as a browser sends them and splitting the
// host's output into frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base64.hpp"
#include "protocol/wire.hpp"

namespace npc::test {

// The four length bytes of `length`, least significant first.
inline std::string length_bytes(std::uint32_t length) {
  std::string bytes(LENGTH_SIZE, '\0');
  put_length(length, bytes.data());
  return bytes;
}

// A frame with `body` exactly as given.
inline std::string raw_frame(std::string_view body) {
  return length_bytes(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

inline std::string base64_of(std::string_view bytes) { return base64_encode_string(bytes); }
inline std::string unbase64(std::string_view text) { return base64_decode_string(text); }

// A frame carrying `text` in the envelope the browser uses: a JSON string of its base64.
inline std::string frame_of(std::string_view text) { return raw_frame("\"" + base64_of(text) + "\""); }

// Splits the host's output into frame bodies; a frame whose body is cut short fails the test.
inline std::vector<std::string> read_frames(std::string_view out) {
  std::vector<std::string> frames;
  while (!out.empty()) {
    if (out.size() < LENGTH_SIZE) {
      ADD_FAILURE() << "output ends inside a length prefix";
      break;
    }
    const std::uint32_t length = get_length(out.data());
    out.remove_prefix(LENGTH_SIZE);
    if (out.size() < length) {
      ADD_FAILURE() << "frame of " << length << " bytes has only " << out.size();
      break;
    }
    frames.emplace_back(out.substr(0, length));
    out.remove_prefix(length);
  }
  return frames;
}

// The messages of a split request for `request`, pieces of `piece` bytes: start, pieces, last.
inline std::vector<std::string> split_request_texts(std::string_view request, std::size_t piece) {
  std::vector<std::string> pieces;
  std::size_t offset = 0;
  while (request.size() - offset > piece) {
    pieces.push_back(R"({"part":")" + base64_of(request.substr(offset, piece)) + "\"}");
    offset += piece;
  }
  std::vector<std::string> texts{R"({"part":"true","count":)" + std::to_string(pieces.size()) + "}"};
  texts.insert(texts.end(), pieces.begin(), pieces.end());
  texts.push_back(R"({"last":")" + base64_of(request.substr(offset)) + "\"}");
  return texts;
}

}  // namespace npc::test
