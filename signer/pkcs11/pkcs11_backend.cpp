// The backend of PKCS#11 tokens (through p11-kit) and OpenSSL: which token and object hold each
// certificate, the mechanism each key signs with, and OpenSSL's check of a signature.
#include <openssl/crypto.h>

#include <map>
#include <new>

#include "core/backend.hpp"
#include "core/failure.hpp"
#include "pkcs11/deadline.hpp"
#include "pkcs11/module_process.hpp"
#include "pkcs11/openssl_crypto.hpp"
#include "pkcs11/pcsc.hpp"
#include "pkcs11/token.hpp"
#include "platform.hpp"

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

// The mechanism and its input for the certificate's key.
sign_operation operation_for(const certificate_info& info, const signature_job& job) {
  const key_kind kind = info.kind;
  sign_operation operation;
  // RSA gives the modulus' length, ECDSA r and s of the order's length each; a key whose size
  // is not known still gets a bound.
  const std::size_t key_bytes = info.key_bits > 0 ? (static_cast<std::size_t>(info.key_bits) + 7) / 8 : 512;
  operation.max_signature = kind == key_kind::ec ? 2 * key_bytes : key_bytes;
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

// The request's dialogs, as a worker reaches them: each under user_wait, so that the user's time
// is not the token's, and never once the request has been answered without the worker.
class waiting_prompts final : public user_prompts {
 public:
  explicit waiting_prompts(user_prompts& inner) : inner_(inner) {}
  void allow_certificates(std::string_view origin) override {
    const user_wait waiting;
    inner_.allow_certificates(origin);
  }
  void allow_use(std::string_view origin) override {
    const user_wait waiting;
    inner_.allow_use(origin);
  }
  std::string choose_certificate(const chooser_prompt& shown) override {
    const user_wait waiting;
    return inner_.choose_certificate(shown);
  }
  void ask_pin(const sign_prompt& shown, int tries_left, bool again, secret& pin) override {
    const user_wait waiting;
    inner_.ask_pin(shown, tries_left, again, pin);
  }
  void confirm(const sign_prompt& shown, confirmation what) override {
    const user_wait waiting;
    inner_.confirm(shown, what);
  }
  bool use_token(const sign_prompt& shown) override {
    const user_wait waiting;
    return inner_.use_token(shown);
  }

 private:
  user_prompts& inner_;
};

[[noreturn]] void fail_no_token() {
  // Without the service, a card in its reader looks exactly like no card at all.
  if (pcsc_service_state() == pcsc_service::not_running) {
    fail(error_code::no_token,
         "no token is present, and the smart-card service (pcscd) is not running: cards in readers cannot be seen");
  }
  fail(error_code::no_token, "no token is present");
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
    // The worker shares what it reads with this request: one left behind writes into nothing of
    // the request's own.
    struct reading {
      std::vector<token_slot> tokens;
      std::vector<std::vector<token_certificate>> objects;  // one list for each token
    };
    auto read = std::make_shared<reading>();
    run_with_deadline([read] {
      read->tokens = current_modules().tokens();
      for (const token_slot& token : read->tokens) {
        read->objects.emplace_back();
        try {
          read->objects.back() = read_certificates(token);
        } catch (const signer_failure&) {
          // A token that cannot be read must not hide the others; a module that died is told.
          if (module_ended(token.module)) throw;
        }
      }
    });
    holders_.clear();
    if (read->tokens.empty()) fail_no_token();
    std::vector<certificate_record> found;
    for (std::size_t i = 0; i < read->tokens.size(); ++i) {
      const token_slot& token = read->tokens[i];
      for (token_certificate& object : read->objects[i]) {
        auto info = describe_certificate(object.der);
        if (!info) continue;
        auto& holders = holders_[info->fingerprint];
        const bool first = holders.empty();
        holders.push_back({token, object});
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
    auto signed_by = std::make_shared<std::string>();
    auto dialogs = std::make_shared<waiting_prompts>(prompts);
    run_with_deadline([signed_by, dialogs, certificate, candidates = holders->second,
                       operation = operation_for(certificate.info, job), shown] {
      const holder& chosen = key_holder(certificate, candidates, shown, *dialogs);
      // The user is told the token that will be asked for the PIN, not the first that showed
      // the certificate.
      sign_prompt told = shown;
      told.token_label = chosen.token.identity.label;
      *signed_by = sign_on_token(chosen.token, chosen.object, operation, told, *dialogs);
    });
    return std::move(*signed_by);
  }

  bool verify(const certificate_record& certificate, const signature_job& job,
              std::string_view signature) override {
    // OpenSSL takes an ECDSA signature in DER only.
    const std::string der = certificate.info.kind == key_kind::ec
                                ? ecdsa_der_from_raw(signature)
                                : std::string(signature);
    return verify_signature(certificate.der, job.pad, *job.hash, job.digest, der);
  }

 private:
  struct holder {
    token_slot token;  // a copy: a worker left behind may still hold it after the request
    token_certificate object;
  };
  // Of the tokens that hold the certificate, the one whose key (as far as it shows one before
  // any login) is the certificate's; else one that shows no key at all. A token whose keys
  // beside the certificate are all others' never gets the PIN. Where that leaves more than one,
  // the user picks one before any PIN, as no PIN must go to a token that might not hold the key.
  static const holder& key_holder(const certificate_record& certificate, const std::vector<holder>& holders,
                                  const sign_prompt& shown, user_prompts& prompts) {
    std::vector<const holder*> matching;
    std::vector<const holder*> unknown;
    for (const holder& candidate : holders) {
      std::vector<key_public_part> keys;
      try {
        keys = visible_keys(candidate.token, candidate.object);
      } catch (const signer_failure&) {
        if (module_ended(candidate.token.module)) throw;
        continue;
      }
      if (keys.empty()) unknown.push_back(&candidate);
      for (const key_public_part& key : keys) {
        if (key_matches_certificate(certificate.der, key.modulus, key.ec_point)) {
          matching.push_back(&candidate);
          break;
        }
      }
    }
    const std::vector<const holder*>& choices = matching.empty() ? unknown : matching;
    if (choices.empty()) {
      fail(error_code::key_not_found, "no token holds the private key of this certificate",
           "certificate");
    }
    if (choices.size() == 1) return *choices.front();
    for (const holder* candidate : choices) {
      sign_prompt offered = shown;
      offered.token_label = candidate->token.identity.label;
      offered.token_serial = candidate->token.identity.serial;
      if (prompts.use_token(offered)) return *candidate;
    }
    fail(error_code::cancelled, "the user passed over every token that holds the certificate");
  }

  std::map<std::string, std::vector<holder>> holders_;  // by fingerprint, in token order
};

}  // namespace

std::unique_ptr<backend> open_backend() { return std::make_unique<pkcs11_backend>(); }

}  // namespace npc::signer
