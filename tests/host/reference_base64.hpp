// Slow, obviously right base64 for the fuzz targets and the model-based test to hold the real
// codec and the request loop against: filter the alphabet first, then take the values four at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace npc::test {

inline constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline std::string reference_decode(std::string_view text) {
  std::string values;
  values.reserve(text.size());
  for (const char c : text)
    if (const auto at = alphabet.find(c); at != std::string_view::npos) values += static_cast<char>(at);
  std::string bytes;
  bytes.reserve(values.size() / 4 * 3 + 2);
  for (std::size_t i = 0; i < values.size(); i += 4) {
    const std::size_t k = std::min<std::size_t>(4, values.size() - i);
    unsigned v[4] = {0, 0, 0, 0};
    for (std::size_t j = 0; j < k; ++j) v[j] = static_cast<unsigned char>(values[i + j]);
    const char out[3] = {static_cast<char>(v[0] << 2 | v[1] >> 4), static_cast<char>(v[1] << 4 | v[2] >> 2),
                         static_cast<char>(v[2] << 6 | v[3])};
    bytes.append(out, k - 1);  // a group of k values yields k - 1 bytes; a full one, three
  }
  return bytes;
}

inline std::string reference_encode(std::string_view bytes) {
  std::string text((bytes.size() + 2) / 3 * 4, '=');
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* out = text.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3, out += 4) {
    out[0] = alphabet[in[i] >> 2];
    out[1] = alphabet[(in[i] & 3) << 4 | in[i + 1] >> 4];
    out[2] = alphabet[(in[i + 1] & 15) << 2 | in[i + 2] >> 6];
    out[3] = alphabet[in[i + 2] & 63];
  }
  if (bytes.size() - i == 1) {
    out[0] = alphabet[in[i] >> 2];
    out[1] = alphabet[(in[i] & 3) << 4];
  } else if (bytes.size() - i == 2) {
    out[0] = alphabet[in[i] >> 2];
    out[1] = alphabet[(in[i] & 3) << 4 | in[i + 1] >> 4];
    out[2] = alphabet[(in[i + 1] & 15) << 2];
  }
  return text;
}

}  // namespace npc::test
