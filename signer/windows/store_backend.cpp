// The backend of the user's Windows certificate store: the certificates in MY with a private
// key, described from their decoded structures, and signatures made by the key's own provider
// (which shows its own PIN dialog), each checked with BCrypt before it leaves.
#include <windows.h>

#include <set>

#include "backend.hpp"
#include "failure.hpp"
#include "windows/cng.hpp"
#include "windows/der.hpp"
#include "windows/dialogs.hpp"
#include "windows/store.hpp"

namespace npc::signer {

void wipe(void* bytes, std::size_t size) { SecureZeroMemory(bytes, size); }

namespace win {
namespace {

// The line a provider's PIN dialog shows about the caller (its "use context").
std::wstring prompt_text(const sign_prompt& shown) {
  std::wstring text = shown.origin.empty() ? std::wstring(L"A browser extension asks for a signature")
                                           : L"Signature requested by " + detail::shown_text(shown.origin);
  if (!shown.common_name.empty()) text += L" with the certificate of " + detail::shown_text(shown.common_name);
  return text;
}

class store_backend final : public backend {
 public:
  std::vector<std::pair<std::string, std::string>> versions() override {
    return {{"crypto", "Windows certificate store and CNG"}};
  }

  std::string digest(const hash_algorithm& hash, std::string_view data) override {
    std::string digest = digest_of(hash, data);
    if (digest.empty()) fail(error_code::internal_error, "CNG could not compute the digest");
    return digest;
  }

  // An empty store is no failure: the user simply has no certificate with a key yet.
  std::vector<certificate_record> certificates() override {
    std::vector<certificate_record> found;
    std::set<std::string> seen;
    for (store_certificate& entry : store_certificates()) {
      auto info = describe(entry.der);
      if (!info || !seen.insert(info->fingerprint).second) continue;
      token_identity token;
      token.label = entry.provider;
      found.push_back({std::move(*info), std::move(entry.der), std::move(entry.label), std::move(token)});
    }
    return found;
  }

  std::string sign(const certificate_record& certificate, const signature_job& job,
                   const sign_prompt& shown, user_prompts& prompts) override {
    if (certificate.info.kind != key_kind::rsa && certificate.info.kind != key_kind::ec) {
      fail(error_code::unsupported_algorithm, "keys of type " + certificate.info.key_type + " are not supported");
    }
    // Whether the provider asks for a PIN is its own affair; the signature is the user's step
    // either way.
    prompts.confirm(shown, confirmation::signature);
    sign_input input;
    input.kind = certificate.info.kind;
    input.pad = certificate.info.kind == key_kind::ec ? padding::none : job.pad;
    input.hash = job.hash;
    input.digest = job.digest;
    input.prompt = prompt_text(shown);
    const std::string raw = sign_with_store_key(certificate.der, input);
    // A provider may hand back the wrong key's signature (a stale container, a swapped card).
    if (!verify(certificate.der, input.pad, *job.hash, job.digest, raw)) {
      fail(error_code::token_error, "the key's signature does not verify with the certificate");
    }
    if (certificate.info.kind != key_kind::ec) return raw;
    std::string der = ecdsa_der_from_raw(raw);
    if (der.empty()) fail(error_code::token_error, "the key's provider gave a malformed ECDSA signature");
    return der;
  }
};

}  // namespace
}  // namespace win

std::unique_ptr<backend> open_backend() { return std::make_unique<win::store_backend>(); }

}  // namespace npc::signer
