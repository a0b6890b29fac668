// The seams between the shared request handling and what differs by platform: a backend that
// finds certificates and signs with their keys (PKCS#11 + OpenSSL, or a system certificate
// store), and the dialogs through which the user decides (PIN entry, confirmations).
// Backends and dialogs report failures with fail() and the shared error codes; platform.hpp
// names the ones this library is built with.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/crypto.hpp"
#include "core/secret.hpp"

namespace npc::signer {

struct token_identity {
  std::string label;  // trailing blanks of fixed-width fields removed
  std::string manufacturer;
  std::string model;
  std::string serial;
};

// A certificate a backend found, with its details.
struct certificate_record {
  certificate_info info;
  std::string der;
  std::string label;  // the certificate object's own label, empty when it has none
  token_identity token;
};

// What the user is shown before a signature: who asks and what is signed.
struct sign_prompt {
  std::string origin;  // as the request gives it, empty when it gives none; trusted for nothing
  std::string common_name;
  std::string issuer;
  std::string serial;
  std::string token_label;
  std::string hash_name;     // "SHA-256"
  bool digest_given = false;  // the request gave a ready-made digest rather than the data
  std::string digest_hex;     // the data's SHA-256, or the digest given
  std::string language;       // the request's "lang" (BCP 47), empty when it names none
  bool pin_for_each_signature = false;  // the PIN is asked again because the key wants it each time
  bool token_tells_tries = true;        // false once a wrong PIN left the token's try flags unset
  // A login (authenticate): the dialog says so, and shows no digest, which would mean nothing
  // to the user.
  bool login = false;
  std::string token_serial = {};  // shown only where the user picks among tokens
};

// What a certificate is chosen for.
enum class purpose { sign, login };

// A certificate as the chooser lists it.
struct chooser_entry {
  std::string id;  // the certificate's id
  std::string common_name;
  std::string issuer;
  std::string not_after;  // as certificate_info has it
  std::string token_label;
  bool expired = false;  // or not yet valid: shown, but it cannot be chosen
  std::string der;       // the certificate, for a system chooser that shows its own details
};

// The chooser: who asks, for what, and what fits.
struct chooser_prompt {
  std::string origin;
  enum purpose purpose = purpose::sign;
  std::vector<chooser_entry> entries;
};

// What happens on the token when the user is asked to confirm rather than type a PIN.
enum class confirmation {
  final_try,  // one PIN try is left: a wrong PIN now locks it
  pin_pad,    // the PIN is typed on the reader's own keypad
  signature,  // no PIN is needed: the user approves the signature itself
};

// The user's side. Each call blocks until the user answers; a refusal, a cancel or no way to ask
// at all ends the request through fail() (cancelled, no_pin_entry), so that callers only ever see
// a yes.
class user_prompts {
 public:
  virtual ~user_prompts() = default;

  // Whether `origin` (empty: the request named none) may read the certificates.
  virtual void allow_certificates(std::string_view origin) = 0;

  // Whether `origin` may use a certificate on the user's tokens at all: asked before a signature
  // or login for an origin that has no consent yet, before any module is reached.
  virtual void allow_use(std::string_view origin) = 0;

  // The id of the certificate the user picks from `shown.entries` (never an expired one) in a
  // chooser that names the site; fails with cancelled, or no_chooser when none can be shown.
  virtual std::string choose_certificate(const chooser_prompt& shown) = 0;

  // The PIN for a signature. `tries_left` is -1 when the token does not tell; `again` says a
  // previous PIN was wrong. An empty PIN is never returned: it counts as cancel.
  virtual void ask_pin(const sign_prompt& shown, int tries_left, bool again, secret& pin) = 0;

  virtual void confirm(const sign_prompt& shown, confirmation what) = 0;

  // Whether the PIN may go to the token `shown` names (token_label, token_serial): asked one
  // token at a time when several hold the certificate and none shows its key before login.
  // False moves on to the next token; fails with cancelled when the user cancels.
  virtual bool use_token(const sign_prompt& shown) = 0;
};

// What the key signs: a digest made with `hash`, padded as `pad` says for RSA keys.
struct signature_job {
  const hash_algorithm* hash = nullptr;
  padding pad = padding::none;
  std::string digest;
};

// One request's view of the keys. Made cheaply; a backend reaches its modules or stores only
// when first asked for certificates, so requests that need no key touch none.
class backend {
 public:
  virtual ~backend() = default;

  // Name and value pairs the version reply adds (the libraries the backend runs on).
  virtual std::vector<std::pair<std::string, std::string>> versions() = 0;

  // The digest of `data` with `hash`.
  virtual std::string digest(const hash_algorithm& hash, std::string_view data) = 0;

  // Every certificate present, each once. Fails with no_token when no token is present.
  virtual std::vector<certificate_record> certificates() = 0;

  // The key's own signature over `job.digest` with the private key that belongs to
  // `certificate` (one of certificates()), asking the user through `prompts` (with `shown`'s
  // token_label set to the token that holds that key): the RSA block, or r then s for ECDSA.
  // The request handling encodes it and checks it with verify() before it leaves.
  virtual std::string sign(const certificate_record& certificate, const signature_job& job,
                           const sign_prompt& shown, user_prompts& prompts) = 0;

  // Whether `signature`, as sign() gave it, over `job.digest` verifies with the certificate's
  // public key.
  virtual bool verify(const certificate_record& certificate, const signature_job& job,
                      std::string_view signature) = 0;
};

}  // namespace npc::signer
