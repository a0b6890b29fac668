// The backend of PKCS#11 tokens (through p11-kit) and OpenSSL: which token and object hold each
// certificate, the mechanism each key signs with, and a check of every signature before it
// leaves.
#include <openssl/crypto.h>

#include <map>
#include <new>

#include "backend.hpp"
#include "failure.hpp"
#include "openssl_crypto.hpp"
#include "token.hpp"

namespace npc::signer {
namespace {

CK_MECHANISM_TYPE pkcs11_hash(hash_id id) {
  switch (id) {
    case hash_id::sha256: return CKM_SHA256;
    case hash_id::sha384: return CKM_SHA384;
    case hash_id::sha512: return CKM_SHA512;
  }
  return CKM_SHA256;
}

CK_RSA_PKCS_MGF_TYPE pkcs11_mgf(hash_id id) {
  switch (id) {
    case hash_id::sha256: return CKG_MGF1_SHA256;
    case hash_id::sha384: return CKG_MGF1_SHA384;
    case hash_id::sha512: return CKG_MGF1_SHA512;
  }
  return CKG_MGF1_SHA256;
}

// The mechanism and its input for a key of `kind`.
sign_operation operation_for(key_kind kind, const signature_job& job) {
  sign_operation operation;
  if (kind == key_kind::ec) {
    operation.mechanism = CKM_ECDSA;
    operation.input = job.digest;
  } else if (job.pad == padding::pss) {
    operation.mechanism = CKM_RSA_PKCS_PSS;
    operation.pss = {pkcs11_hash(job.hash->id), pkcs11_mgf(job.hash->id), job.hash->size};
    operation.input = job.digest;
  } else {
    operation.mechanism = CKM_RSA_PKCS;
    operation.input = rsa_digest_info(*job.hash, job.digest);
    if (operation.input.empty()) throw std::bad_alloc();
  }
  return operation;
}

class pkcs11_backend final : public backend {
 public:
  std::vector<std::pair<std::string, std::string>> versions() override {
    return {{"p11_kit", NPC_P11KIT_VERSION}, {"openssl", OpenSSL_version(OPENSSL_VERSION)}};
  }

  std::string digest(const hash_algorithm& hash, std::string_view data) override {
    std::string digest = compute_digest(hash, data);
    if (digest.empty()) throw std::bad_alloc();
    return digest;
  }

  std::vector<certificate_record> certificates() override {
    modules_ = std::make_unique<module_list>();
    tokens_ = modules_->tokens();
    holders_.clear();
    if (tokens_.empty()) fail(error_code::no_token, "no token is present");
    std::vector<certificate_record> found;
    for (const token_slot& token : tokens_) {
      std::vector<token_certificate> objects;
      try {
        objects = read_certificates(token);
      } catch (const signer_failure&) {
        continue;  // a token that cannot be read must not hide the others
      }
      for (token_certificate& object : objects) {
        auto info = describe_certificate(object.der);
        if (!info) continue;
        auto& holders = holders_[info->fingerprint];
        const bool first = holders.empty();
        holders.push_back({&token, object});
        if (first) found.push_back({std::move(*info), object.der, object.label, token.identity});
      }
    }
    return found;
  }

  std::string sign(const certificate_record& certificate, const signature_job& job,
                   const sign_prompt& shown, user_prompts& prompts) override {
    const auto holders = holders_.find(certificate.info.fingerprint);
    if (holders == holders_.end() || holders->second.empty()) {
      fail(error_code::certificate_not_found, "no token holds the certificate", "certificate");
    }
    const holder& chosen = holders->second.front();
    std::string signature = sign_on_token(*chosen.token, chosen.object,
                                          operation_for(certificate.info.kind, job), shown, prompts);
    if (certificate.info.kind == key_kind::ec) {
      signature = ecdsa_signature_der(signature);
      if (signature.empty()) fail(error_code::token_error, "the token gave a malformed ECDSA signature");
    }
    // A key found by label alone may not be the certificate's: never hand out such a signature.
    if (!verify_signature(certificate.der, job.pad, *job.hash, job.digest, signature)) {
      fail(error_code::token_error, "the token's signature does not verify with the certificate");
    }
    return signature;
  }

 private:
  struct holder {
    const token_slot* token;
    token_certificate object;
  };
  std::unique_ptr<module_list> modules_;
  std::vector<token_slot> tokens_;                       // what holders_ points into
  std::map<std::string, std::vector<holder>> holders_;  // by fingerprint, in token order
};

}  // namespace

std::unique_ptr<backend> open_backend() { return std::make_unique<pkcs11_backend>(); }

}  // namespace npc::signer
