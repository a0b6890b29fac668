// The algorithms and encodings every backend shares.
#include "crypto.hpp"

#include <array>
#include <cctype>

#include "codec/base64.hpp"

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

}  // namespace

const hash_algorithm* find_hash(std::string_view name) {
  const std::string folded = fold(name);
  for (const hash_algorithm& hash : HASHES) {
    if (fold(hash.name) == folded) return &hash;
  }
  return nullptr;
}

std::string base64_text(std::string_view bytes) {
  std::string text(base64_encoded_length(bytes.size()) + 1, '\0');
  base64_encode(bytes.data(), bytes.size(), text.data());
  text.pop_back();
  return text;
}

std::optional<std::string> base64_bytes(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!base64_is_alphabet(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  std::string bytes(text.size() / 4 * 3 + 1, '\0');
  const std::size_t length = base64_decode(bytes.data(), text.data(), text.size());
  if (length != base64_decoded_size(text.size(), padding)) return std::nullopt;
  bytes.resize(length);
  return bytes;
}

}  // namespace npc::signer
