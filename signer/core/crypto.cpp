// The algorithms and encodings every backend shares.
#include "core/crypto.hpp"

#include <array>
#include <cctype>

#include "codec/base64.hpp"
#include "codec/base64_strict.hpp"

namespace npc::signer {
namespace {

constexpr std::array<hash_algorithm, 3> HASHES{{
    {hash_id::sha256, "SHA-256", "SHA256", 32},
    {hash_id::sha384, "SHA-384", "SHA384", 48},
    {hash_id::sha512, "SHA-512", "SHA512", 64},
}};

// Letters and digits only, upper case: "sha-256" and "SHA256" compare equal.
std::string fold(std::string_view name) {
  std::string folded;
  for (const char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      folded += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return folded;
}

// A DER length: short form below 0x80, else the count of big-endian bytes that follow.
void append_length(std::string& out, std::size_t length) {
  if (length < 0x80) {
    out += static_cast<char>(length);
    return;
  }
  std::string bytes;
  for (; length > 0; length >>= 8) bytes.insert(bytes.begin(), static_cast<char>(length & 0xff));
  out += static_cast<char>(0x80 | bytes.size());
  out += bytes;
}

// A non-negative INTEGER: leading zero bytes dropped, one put back when the top bit is set.
std::string der_unsigned(std::string_view magnitude) {
  std::size_t start = 0;
  while (start + 1 < magnitude.size() && magnitude[start] == 0) ++start;
  std::string content(magnitude.substr(start));
  if (content.empty()) content.assign(1, '\0');
  if (static_cast<unsigned char>(content[0]) & 0x80) content.insert(content.begin(), '\0');
  std::string out(1, '\x02');
  append_length(out, content.size());
  return out + content;
}

}  // namespace

const hash_algorithm* find_hash(std::string_view name) {
  const std::string folded = fold(name);
  for (const hash_algorithm& hash : HASHES) {
    if (fold(hash.name) == folded) return &hash;
  }
  return nullptr;
}

std::string base64_text(std::string_view bytes) { return base64_encode_string(bytes); }

std::optional<std::string> base64_bytes(std::string_view text) {
  std::string bytes(text.size() / 4 * 3 + 1, '\0');
  std::size_t length = 0;
  if (!base64_decode_strict(bytes.data(), text.data(), text.size(), length)) return std::nullopt;
  bytes.resize(length);
  return bytes;
}

std::string ecdsa_der_from_raw(std::string_view raw) {
  if (raw.empty() || raw.size() % 2 != 0) return {};
  const std::size_t half = raw.size() / 2;
  const std::string body = der_unsigned(raw.substr(0, half)) + der_unsigned(raw.substr(half));
  std::string out(1, '\x30');
  append_length(out, body.size());
  return out + body;
}

std::string hex_text(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    text += DIGITS[b >> 4];
    text += DIGITS[b & 0xf];
  }
  return text;
}

}  // namespace npc::signer
