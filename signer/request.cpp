// Reading a request, running its operation and writing the reply, success or failure alike.
#include "request.hpp"

#include <jansson.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <map>
#include <set>
#include <vector>

#include "codec/base64.hpp"
#include "core/crypto.hpp"
#include "core/diagnostic_log.hpp"
#include "core/failure.hpp"
#include "core/login.hpp"
#include "protocol/json_ptr.hpp"

namespace npc::signer {
namespace {

using json_ptr = npc::json_ptr;

json_ptr owned(json_t* value) {
  if (!value) throw std::bad_alloc();
  return json_ptr(value);
}

// Texts from tokens and certificates should be UTF-8 but nothing enforces it; a byte that breaks
// it becomes "?" rather than costing the whole reply.
json_ptr text_value(std::string_view text) {
  if (json_t* value = json_stringn(text.data(), text.size())) return json_ptr(value);
  std::string cleaned(text);
  for (char& c : cleaned) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return owned(json_stringn(cleaned.data(), cleaned.size()));
}

void set(json_t* object, const char* key, json_ptr value) {
  if (json_object_set_new(object, key, value.release()) != 0) throw std::bad_alloc();
}

void set_text(json_t* object, const char* key, std::string_view text) {
  set(object, key, text_value(text));
}

std::string dump(const json_t* reply) {
  const std::size_t size = json_dumpb(reply, nullptr, 0, JSON_COMPACT);
  if (size == 0) throw std::bad_alloc();
  std::string text(size, '\0');
  if (json_dumpb(reply, text.data(), size, JSON_COMPACT) != size) throw std::bad_alloc();
  return text;
}

// The fields of a request object, checked as they are read.
class request_fields {
 public:
  explicit request_fields(const json_t* root) : root_(root) {}

  // Absent (or null) gives nullopt; anything but a string fails.
  std::optional<std::string_view> text(const char* key) const {
    const json_t* value = json_object_get(root_, key);
    if (!value || json_is_null(value)) return std::nullopt;
    if (!json_is_string(value)) {
      fail(error_code::bad_request, std::string("\"") + key + "\" must be a string", key);
    }
    return std::string_view(json_string_value(value), json_string_length(value));
  }

  std::string_view required_text(const char* key) const {
    const auto value = text(key);
    if (!value) fail(error_code::missing_field, std::string("the request has no \"") + key + "\"", key);
    return *value;
  }

  const json_t* get(const char* key) const { return json_object_get(root_, key); }

 private:
  const json_t* root_;
};

json_ptr ok_reply(std::string_view operation) {
  json_ptr reply = owned(json_object());
  set_text(reply.get(), "status", "ok");
  set_text(reply.get(), "operation", operation);
  return reply;
}

[[noreturn]] void fail_too_large(const char* key) {
  fail(error_code::data_too_large,
       std::string("\"") + key + "\" holds more than " + std::to_string(MAX_DATA_SIZE) + " bytes",
       key);
}

// Base64 bytes of one field, within MAX_DATA_SIZE.
std::string decoded_field(const char* key, std::string_view text) {
  if (text.size() > base64_encoded_length(MAX_DATA_SIZE)) fail_too_large(key);
  auto bytes = base64_bytes(text);
  if (!bytes) fail(error_code::bad_request, std::string("\"") + key + "\" is not base64", key);
  if (bytes->size() > MAX_DATA_SIZE) fail_too_large(key);
  return std::move(*bytes);
}

// What one request works with: its fields, and the backend and dialogs, opened only when an
// operation needs them.
class request_context {
 public:
  request_context(const json_t* root, const request_services& services)
      : fields_(root), services_(services) {}
  const request_fields& fields() const { return fields_; }
  backend& keys() {
    if (!backend_) backend_ = services_.open_backend();
    return *backend_;
  }
  // The dialogs speak the request's "lang" (a BCP 47 tag) when it has a catalogue, else the
  // user's language.
  user_prompts& user() {
    if (!prompts_) prompts_ = services_.open_prompts(fields_.text("lang").value_or(""));
    return *prompts_;
  }

 private:
  request_fields fields_;
  const request_services& services_;
  std::unique_ptr<backend> backend_;
  std::unique_ptr<user_prompts> prompts_;
};

json_ptr version_reply(request_context& context);
json_ptr certificates_reply(request_context& context);
json_ptr sign_reply(request_context& context);
json_ptr echo_reply(request_context& context);
json_ptr authenticate_reply(request_context& context);
json_ptr select_certificate_reply(request_context& context);

struct operation {
  std::string_view name;
  json_ptr (*handler)(request_context&);
};

constexpr operation OPERATIONS[] = {{"version", version_reply},
                                    {"certificates", certificates_reply},
                                    {"sign", sign_reply},
                                    {"authenticate", authenticate_reply},
                                    {"select_certificate", select_certificate_reply},
                                    {"echo", echo_reply}};

json_ptr version_reply(request_context& context) {
  json_ptr reply = ok_reply("version");
  set_text(reply.get(), "version", NPC_SIGNER_VERSION);
  for (const auto& [name, value] : context.keys().versions()) {
    set_text(reply.get(), name.c_str(), value);
  }
  json_ptr operations = owned(json_array());
  for (const operation& op : OPERATIONS) {
    if (json_array_append_new(operations.get(), text_value(op.name).release()) != 0) {
      throw std::bad_alloc();
    }
  }
  set(reply.get(), "operations", std::move(operations));
  return reply;
}

json_ptr echo_reply(request_context& context) {
  const request_fields& fields = context.fields();
  const std::string_view data = fields.required_text("data");
  if (data.size() > MAX_DATA_SIZE) fail_too_large("data");
  json_ptr reply = ok_reply("echo");
  set(reply.get(), "data", owned(json_incref(const_cast<json_t*>(fields.get("data")))));
  return reply;
}

json_ptr certificate_entry(const certificate_record& found) {
  json_ptr entry = owned(json_object());
  const certificate_info& info = found.info;
  set_text(entry.get(), "id", info.fingerprint);
  set_text(entry.get(), "label", found.label);
  set_text(entry.get(), "subject", info.subject);
  set_text(entry.get(), "common_name", info.common_name);
  set_text(entry.get(), "issuer", info.issuer);
  set_text(entry.get(), "serial", info.serial);
  set_text(entry.get(), "not_before", info.not_before);
  set_text(entry.get(), "not_after", info.not_after);
  set_text(entry.get(), "key_type", info.key_type);
  set(entry.get(), "key_size", owned(json_integer(info.key_bits)));
  if (!info.curve.empty()) set_text(entry.get(), "curve", info.curve);
  json_ptr token = owned(json_object());
  const token_identity& identity = found.token;
  set_text(token.get(), "label", identity.label);
  set_text(token.get(), "manufacturer", identity.manufacturer);
  set_text(token.get(), "model", identity.model);
  set_text(token.get(), "serial", identity.serial);
  set(entry.get(), "token", std::move(token));
  set_text(entry.get(), "certificate", base64_text(found.der));
  return entry;
}

// What each origin may do, for the rest of the host's life: read the certificates, use a
// certificate at all, or use the ones the user chose for it; and whether the user denied it, which
// is then the answer to every later request that would ask again, so that a page cannot raise
// dialogs in a loop. The host asks one request at a time, but nothing in the library should count
// on it.
struct origin_consent {
  bool listing = false;
  bool use = false;
  bool denied = false;
  std::set<std::string> chosen;
};
std::mutex consent_lock;
std::map<std::string, origin_consent> consents;

origin_consent consent_of(std::string_view origin) {
  const std::lock_guard<std::mutex> hold(consent_lock);
  const auto found = consents.find(std::string(origin));
  return found == consents.end() ? origin_consent{} : found->second;
}

template <typename change>
void update_consent(std::string_view origin, change apply) {
  const std::lock_guard<std::mutex> hold(consent_lock);
  apply(consents[std::string(origin)]);
}

[[noreturn]] void fail_denied() {
  fail(error_code::cancelled, "the user denied this origin earlier in this connection");
}

// Asks with `ask`; a refusal is remembered. A dialog that could not be shown is no refusal.
template <typename asking>
void ask_remembered(std::string_view origin, asking ask) {
  try {
    ask();
  } catch (const signer_failure& failure) {
    if (failure.detail().code == error_code::cancelled) {
      update_consent(origin, [](origin_consent& c) { c.denied = true; });
    }
    throw;
  }
}

void ask_consent(std::string_view origin, request_context& context) {
  const origin_consent known = consent_of(origin);
  if (known.listing) return;
  if (known.denied) fail_denied();
  ask_remembered(origin, [&] { context.user().allow_certificates(origin); });
  update_consent(origin, [](origin_consent& c) { c.listing = true; });
}

// Before a signature or a login with `certificate_id`, and before any module is reached: without
// consent, a page learns nothing, not even whether a card is present.
void ask_use(std::string_view origin, std::string_view certificate_id, request_context& context) {
  const origin_consent known = consent_of(origin);
  if (known.listing || known.use || known.chosen.count(std::string(certificate_id)) != 0) return;
  if (known.denied) fail_denied();
  ask_remembered(origin, [&] { context.user().allow_use(origin); });
  update_consent(origin, [](origin_consent& c) { c.use = true; });
}

json_ptr certificates_reply(request_context& context) {
  const std::string origin(context.fields().text("origin").value_or(""));
  // Asked before any module is touched: without consent, not even whether a token is present
  // is told.
  ask_consent(origin, context);
  const auto certificates = context.keys().certificates();
  json_ptr list = owned(json_array());
  for (const certificate_record& found : certificates) {
    if (json_array_append_new(list.get(), certificate_entry(found).release()) != 0) {
      throw std::bad_alloc();
    }
  }
  json_ptr reply = ok_reply("certificates");
  set(reply.get(), "certificates", std::move(list));
  return reply;
}

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

// A sign request, checked in full before any token is touched.
struct sign_request {
  std::string certificate_id;
  const hash_algorithm* hash = nullptr;
  std::optional<std::string> padding_name;  // as given, lower case
  std::string digest;
  std::string origin;
  bool data_given = false;  // else a ready-made digest
  std::string shown_hash;  // the hash of the digest the dialog shows
  std::string shown_digest;
  bool given_digest = false;  // a digest made elsewhere, of bytes the library never sees
};

// The PIN is the user's, typed into a dialog or the reader: a page or extension never has it.
void refuse_pin(const request_fields& fields) {
  if (fields.get("pin")) {
    fail(error_code::pin_in_request,
         "a request may not carry a PIN; the user types it into the dialog", "pin");
  }
}

sign_request read_sign_request(const request_fields& fields, backend& keys) {
  refuse_pin(fields);
  sign_request request;
  request.origin = std::string(fields.text("origin").value_or(""));
  request.certificate_id = lower(fields.required_text("certificate"));
  const std::string_view hash_name = fields.text("hash").value_or("SHA-256");
  request.hash = find_hash(hash_name);
  if (!request.hash) {
    // Error texts never quote the request: it is not ours to repeat.
    fail(error_code::unsupported_algorithm,
         "the hash is not supported; use SHA-256, SHA-384 or SHA-512", "hash");
  }
  if (const auto padding_name = fields.text("padding")) request.padding_name = lower(*padding_name);
  const auto data = fields.text("data");
  const auto digest = fields.text("digest");
  if (data && digest) fail(error_code::bad_request, "give \"data\" or \"digest\", not both", "digest");
  if (!data && !digest) fail(error_code::missing_field, "the request has no \"data\" (nor \"digest\")", "data");
  request.data_given = data.has_value();
  if (data) {
    const std::string bytes = decoded_field("data", *data);
    // Data shaped like a login's signed bytes would make a document's signature pass for one.
    if (std::string_view(bytes).substr(0, AUTHENTICATION_FORMAT.size()) == AUTHENTICATION_FORMAT) {
      fail(error_code::bad_request, "\"data\" may not begin with the login format's name", "data");
    }
    request.digest = keys.digest(*request.hash, bytes);
    // The user can check the data's SHA-256 with common tools, whatever hash the signature uses.
    static const hash_algorithm& sha256 = *find_hash("SHA-256");
    request.shown_hash = sha256.name;
    request.shown_digest =
        hex_text(request.hash == &sha256 ? request.digest : keys.digest(sha256, bytes));
  } else {
    request.digest = decoded_field("digest", *digest);
    request.given_digest = true;
    if (request.digest.size() != request.hash->size) {
      fail(error_code::bad_request,
           "a " + std::string(request.hash->name) + " digest is " +
               std::to_string(request.hash->size) + " bytes, not " +
               std::to_string(request.digest.size()),
           "digest");
    }
    request.shown_hash = request.hash->name;
    request.shown_digest = hex_text(request.digest);
  }
  return request;
}

// The padding and the reply's algorithm name for the certificate's key.
struct signing_plan {
  padding pad = padding::none;
  std::string algorithm;
};

signing_plan plan_signature(const sign_request& request, const certificate_info& info) {
  const hash_algorithm& hash = *request.hash;
  signing_plan plan;
  if (info.kind == key_kind::rsa) {
    const std::string name = request.padding_name.value_or("pkcs1");
    if (name == "pkcs1") {
      plan.pad = padding::pkcs1;
      plan.algorithm = "RSA-PKCS1-" + std::string(hash.tag);
    } else if (name == "pss") {
      plan.pad = padding::pss;
      plan.algorithm = "RSA-PSS-" + std::string(hash.tag);
    } else {
      fail(error_code::unsupported_algorithm, "the padding is not supported; use pkcs1 or pss",
           "padding");
    }
  } else if (info.kind == key_kind::ec) {
    if (request.padding_name && *request.padding_name != "none") {
      fail(error_code::unsupported_algorithm, "EC keys sign with ECDSA, which takes no padding",
           "padding");
    }
    plan.algorithm = "ECDSA-" + std::string(hash.tag);
  } else {
    fail(error_code::unsupported_algorithm,
         "keys of type " + info.key_type + " are not supported; RSA and EC are");
  }
  return plan;
}

// The key's signature as the reply carries it (DER for ECDSA), and only once it verifies with the
// certificate: a key found by label alone, a stale container or a swapped card may have signed
// with another key, and such a signature never leaves.
std::string checked_signature(backend& keys, const certificate_record& certificate,
                              const signature_job& job, const sign_prompt& shown,
                              user_prompts& prompts) {
  const std::string raw = keys.sign(certificate, job, shown, prompts);
  const bool ecdsa = certificate.info.kind == key_kind::ec;
  if (raw.empty() || (ecdsa && raw.size() % 2 != 0)) {
    fail(error_code::token_error, "the token gave a malformed signature");
  }
  if (!keys.verify(certificate, job, raw)) {
    fail(error_code::token_error, "the token's signature does not verify with the certificate");
  }
  return ecdsa ? ecdsa_der_from_raw(raw) : raw;
}

json_ptr sign_reply(request_context& context) {
  backend& keys = context.keys();
  const sign_request request = read_sign_request(context.fields(), keys);
  ask_use(request.origin, request.certificate_id, context);
  const auto certificates = keys.certificates();
  const auto found = std::find_if(certificates.begin(), certificates.end(), [&](const auto& c) {
    return c.info.fingerprint == request.certificate_id;
  });
  if (found == certificates.end()) {
    fail(error_code::certificate_not_found, "no token holds the certificate", "certificate");
  }
  const int usage = found->info.key_usage;
  if (usage >= 0 && !(usage & (KEY_USAGE_DIGITAL_SIGNATURE | KEY_USAGE_NON_REPUDIATION))) {
    fail(error_code::not_for_signing, "the certificate's key usage does not allow signatures",
         "certificate");
  }
  // Neither the page nor the user can tell a document's digest from a login's or a TLS
  // handshake's: a certificate for logins signs digests only through authenticate.
  if (request.given_digest && found->info.client_auth) {
    fail(error_code::not_for_signing,
         "a certificate for logins signs no digest; use authenticate", "certificate");
  }
  const signing_plan plan = plan_signature(request, found->info);
  const signature_job job{request.hash, plan.pad, request.digest};
  const sign_prompt shown{request.origin,     found->info.common_name, found->info.issuer,
                          found->info.serial, found->token.label,      request.shown_hash,
                          !request.data_given, request.shown_digest,
                          std::string(context.fields().text("lang").value_or(""))};
  const std::string signature = checked_signature(keys, *found, job, shown, context.user());
  json_ptr reply = ok_reply("sign");
  set_text(reply.get(), "certificate_id", found->info.fingerprint);
  set_text(reply.get(), "algorithm", plan.algorithm);
  set_text(reply.get(), "hash", request.hash->name);
  set_text(reply.get(), "signature", base64_text(signature));
  set_text(reply.get(), "certificate", base64_text(found->der));
  return reply;
}

// The certificates on the tokens, none when no token is present: a chooser then shows an empty
// list rather than tell the page that there is no card.
std::vector<certificate_record> present_certificates(backend& keys) {
  try {
    return keys.certificates();
  } catch (const signer_failure& failure) {
    if (failure.detail().code == error_code::no_token) return {};
    throw;
  }
}

bool fits(const certificate_record& found, purpose wanted) {
  if (wanted == purpose::login) return found.info.client_auth && login_hash(found.info);
  const int usage = found.info.key_usage;
  return !found.info.client_auth &&
         (usage < 0 || (usage & (KEY_USAGE_DIGITAL_SIGNATURE | KEY_USAGE_NON_REPUDIATION)));
}

// The id of the certificate the user picks for `origin` among those of `all` that fit, which
// becomes the origin's consent for that one. With `single_skips`, a lone valid fit is taken
// without the chooser (the login dialog that follows names the site and the certificate).
std::string choose_for(request_context& context, std::string_view origin, purpose wanted,
                       const std::vector<certificate_record>& all, bool single_skips) {
  chooser_prompt shown{std::string(origin), wanted, {}};
  const std::string now = utc_now();
  const certificate_record* only = nullptr;
  std::size_t choosable = 0;
  for (const certificate_record& found : all) {
    if (!fits(found, wanted)) continue;
    const bool valid = valid_at(found.info, now);
    shown.entries.push_back({found.info.fingerprint,
                             found.info.common_name.empty() ? found.info.subject : found.info.common_name,
                             found.info.issuer, found.info.not_after, found.token.label, !valid, found.der});
    if (valid) {
      ++choosable;
      only = &found;
    }
  }
  if (single_skips && choosable == 1) return only->info.fingerprint;
  std::string chosen;
  ask_remembered(origin, [&] { chosen = context.user().choose_certificate(shown); });
  update_consent(origin, [&](origin_consent& c) { c.chosen.insert(chosen); });
  return chosen;
}

const certificate_record& find_certificate(const std::vector<certificate_record>& all, std::string_view id) {
  const auto found = std::find_if(all.begin(), all.end(), [&](const auto& c) { return c.info.fingerprint == id; });
  if (found == all.end()) fail(error_code::certificate_not_found, "no token holds the certificate", "certificate");
  return *found;
}

std::string login_origin(const request_fields& fields) {
  std::string origin(fields.required_text("origin"));
  if (!is_login_origin(origin)) {
    fail(error_code::bad_request,
         "\"origin\" must be https://host[:port], or http://localhost or http://127.0.0.1 with an "
         "optional port",
         "origin");
  }
  return origin;
}

json_ptr authenticate_reply(request_context& context) {
  const request_fields& fields = context.fields();
  refuse_pin(fields);
  const std::string origin = login_origin(fields);
  const std::string challenge = decoded_field("challenge", fields.required_text("challenge"));
  if (challenge.size() < MIN_CHALLENGE || challenge.size() > MAX_CHALLENGE) {
    fail(error_code::bad_request, "\"challenge\" must be 32 to 1024 bytes", "challenge");
  }
  backend& keys = context.keys();
  std::vector<certificate_record> certificates;
  std::string id;
  if (const auto wanted = fields.text("certificate")) {
    id = lower(*wanted);
    ask_use(origin, id, context);
    certificates = keys.certificates();
  } else {
    if (consent_of(origin).denied) fail_denied();
    certificates = present_certificates(keys);
    id = choose_for(context, origin, purpose::login, certificates, true);
  }
  const certificate_record& found = find_certificate(certificates, id);
  if (!found.info.client_auth) {
    fail(error_code::not_for_login, "the certificate's extended key usage does not list clientAuth",
         "certificate");
  }
  const hash_algorithm* hash = login_hash(found.info);
  if (!hash) {
    fail(error_code::unsupported_algorithm,
         "logins are signed with RSA keys or EC keys on P-256, P-384 or P-521", "certificate");
  }
  static const hash_algorithm& sha256 = *find_hash("SHA-256");
  const std::string message =
      authentication_message(keys.digest(sha256, origin), keys.digest(sha256, challenge));
  const bool rsa = found.info.kind == key_kind::rsa;
  const signature_job job{hash, rsa ? padding::pkcs1 : padding::none, keys.digest(*hash, message)};
  sign_prompt shown;
  shown.origin = origin;
  shown.common_name = found.info.common_name;
  shown.issuer = found.info.issuer;
  shown.serial = found.info.serial;
  shown.token_label = found.token.label;
  shown.login = true;
  const std::string signature = checked_signature(keys, found, job, shown, context.user());
  update_consent(origin, [&](origin_consent& c) { c.chosen.insert(found.info.fingerprint); });
  json_ptr reply = ok_reply("authenticate");
  set_text(reply.get(), "format", AUTHENTICATION_FORMAT);
  set_text(reply.get(), "origin", origin);
  set_text(reply.get(), "certificate_id", found.info.fingerprint);
  set_text(reply.get(), "certificate", base64_text(found.der));
  set_text(reply.get(), "algorithm", (rsa ? "RSA-PKCS1-" : "ECDSA-") + std::string(hash->tag));
  set_text(reply.get(), "signature", base64_text(signature));
  return reply;
}

json_ptr select_certificate_reply(request_context& context) {
  const request_fields& fields = context.fields();
  const std::string_view purpose_name = fields.required_text("purpose");
  if (purpose_name != "sign" && purpose_name != "authenticate") {
    fail(error_code::bad_request, "\"purpose\" is sign or authenticate", "purpose");
  }
  const purpose wanted = purpose_name == "sign" ? purpose::sign : purpose::login;
  const std::string origin = wanted == purpose::login ? login_origin(fields)
                                                      : std::string(fields.required_text("origin"));
  // The chooser names who asks; a request that says nobody gets no chooser.
  if (origin.empty()) fail(error_code::bad_request, "\"origin\" is empty", "origin");
  if (consent_of(origin).denied) fail_denied();
  const auto certificates = present_certificates(context.keys());
  const std::string id = choose_for(context, origin, wanted, certificates, false);
  json_ptr list = owned(json_array());
  if (json_array_append_new(list.get(), certificate_entry(find_certificate(certificates, id)).release()) != 0) {
    throw std::bad_alloc();
  }
  json_ptr reply = ok_reply("select_certificate");
  set(reply.get(), "certificates", std::move(list));
  return reply;
}

const char* json_fault(const json_error_t& error) {
  switch (json_error_code(&error)) {
    case json_error_premature_end_of_input: return "it ends early";
    case json_error_end_of_input_expected: return "text follows the value";
    case json_error_invalid_utf8: return "invalid UTF-8";
    case json_error_duplicate_key: return "a key is repeated";
    case json_error_null_character:
    case json_error_null_byte_in_key: return "a NUL character";
    case json_error_stack_overflow: return "nested too deeply";
    case json_error_numeric_overflow: return "a number out of range";
    default: return "invalid syntax";
  }
}

json_ptr error_reply(const failure_detail& detail, std::optional<std::string_view> operation) {
  json_ptr reply = owned(json_object());
  set_text(reply.get(), "status", "error");
  if (operation) set_text(reply.get(), "operation", *operation);
  set_text(reply.get(), "error", error_code_name(detail.code));
  set_text(reply.get(), "message", detail.message);
  if (!detail.field.empty()) set_text(reply.get(), "field", detail.field);
  if (detail.tries_left >= 0) set(reply.get(), "tries_left", owned(json_integer(detail.tries_left)));
  return reply;
}

}  // namespace

std::string answer(std::string_view request, const request_services& services) {
  // With NPC_LOG set, this request's line: its operation, outcome and token calls, nothing of its text.
  diagnostic_log::request_record record;
  json_error_t error;
  json_ptr root(json_loadb(request.data(), request.size(),
                           JSON_DECODE_ANY | JSON_REJECT_DUPLICATES, &error));
  std::optional<std::string_view> operation;
  json_ptr reply;
  try {
    if (!root) {
      // Jansson's own text quotes the request near the error: only the byte is told.
      fail(error_code::bad_json,
           "the request is not JSON (" + std::string(json_fault(error)) + " at byte " +
               std::to_string(error.position) + ")");
    }
    if (!json_is_object(root.get())) fail(error_code::bad_request, "the request is not a JSON object");
    request_context context(root.get(), services);
    operation = context.fields().required_text("operation");
    const auto known = std::find_if(std::begin(OPERATIONS), std::end(OPERATIONS),
                                    [&](const struct operation& op) { return op.name == *operation; });
    record.operation(known == std::end(OPERATIONS) ? "unknown" : known->name);
    if (known == std::end(OPERATIONS)) {
      fail(error_code::unknown_operation,
           "unknown operation; the operations are version, certificates, sign, authenticate, "
           "select_certificate and echo",
           "operation");
    }
    reply = known->handler(context);
    record.outcome("ok");
  } catch (const signer_failure& failure) {
    reply = error_reply(failure.detail(), operation);
    record.outcome(error_code_name(failure.detail().code));
  }
  // The extension matches replies to requests by the id it chose, of whatever type.
  if (root && json_is_object(root.get())) {
    if (json_t* id = json_object_get(root.get(), "id")) {
      set(reply.get(), "id", owned(json_incref(id)));
    }
  }
  return dump(reply.get());
}

std::string internal_error_reply(std::string_view message) {
  return dump(error_reply({error_code::internal_error, std::string(message), {}, -1}, std::nullopt).get());
}

}  // namespace npc::signer
