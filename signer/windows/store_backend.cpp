// The backend of the user's Windows certificate store: the certificates in MY with a private
// key, described from their decoded structures, and signatures made by the key's own provider
// (which shows its own PIN dialog), and BCrypt's check of a signature.
#include <windows.h>

#include <set>

#include "core/backend.hpp"
#include "core/dialog_content.hpp"
#include "core/failure.hpp"
#include "core/translation.hpp"
#include "platform.hpp"
#include "windows/cng.hpp"
#include "windows/store.hpp"

namespace npc::signer {

namespace win {
namespace {

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
    input.prompt = wide_of(signature_context(shown, choose_translation(shown.language, user_languages())));
    return sign_with_store_key(certificate.der, input);
  }

  bool verify(const certificate_record& certificate, const signature_job& job,
              std::string_view signature) override {
    const padding pad = certificate.info.kind == key_kind::ec ? padding::none : job.pad;
    return win::verify(certificate.der, pad, *job.hash, job.digest, signature);
  }
};

}  // namespace
}  // namespace win

std::unique_ptr<backend> open_backend() { return std::make_unique<win::store_backend>(); }

}  // namespace npc::signer
