// The algorithms and encodings every backend shares.
#include "crypto.hpp"

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
  std::string bytes(text.size() / 4 * 3 + 1, '\0');
  std::size_t length = 0;
  if (!base64_decode_strict(bytes.data(), text.data(), text.size(), length)) return std::nullopt;
  bytes.resize(length);
  return bytes;
}

}  // namespace npc::signer
