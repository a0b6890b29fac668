// PKCS#11 through p11-kit: module loading, slots, object searches, login and signing.
#include "pkcs11/token.hpp"

#include <p11-kit/p11-kit.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/diagnostic_log.hpp"
#include "core/failure.hpp"
#include "pkcs11/deadline.hpp"
#include "pkcs11/module_process.hpp"
#include "pkcs11/pcsc.hpp"

namespace npc::signer {
namespace {

// Bounds on what a module reports, so that a broken or hostile one costs an error rather than
// gigabytes or a loop without end. Certificates are a few KiB; no token shows this many objects.
constexpr CK_ULONG ATTRIBUTE_LIMIT = 1 << 20;
constexpr std::size_t OBJECT_LIMIT = 4096;
constexpr CK_ULONG SLOT_LIMIT = 1024;
constexpr int SLOT_LIST_TRIES = 8;

std::string padded_text(const unsigned char* field, std::size_t width) {
  std::size_t length = width;
  while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\0')) --length;
  return std::string(reinterpret_cast<const char*>(field), length);
}

std::string describe(CK_RV rv) {
  char code[24];
  std::snprintf(code, sizeof code, " (0x%lx)", static_cast<unsigned long>(rv));
  const char* text = p11_kit_strerror(rv);
  return std::string(text ? text : "unknown error") + code;
}

// The name the diagnostic log gives a module: p11-kit's name for it, else its file's.
std::string module_name(CK_FUNCTION_LIST* module) {
  if (std::string remote = remote_module_name(module); !remote.empty()) return remote;
  std::unique_ptr<char, decltype(&std::free)> name(p11_kit_module_get_name(module), &std::free);
  if (name) return name.get();
  std::unique_ptr<char, decltype(&std::free)> file(p11_kit_module_get_filename(module), &std::free);
  if (!file) return "module";
  const std::string_view path(file.get());
  return std::string(path.substr(path.rfind('/') + 1));
}

// A call that failed because the module's process died fails the request with that, whatever the
// caller would have made of the call's result.
void check_module_alive(CK_FUNCTION_LIST* module, const char* function, CK_RV rv) {
  // p11-kit's client end answers a broken pipe with CKR_DEVICE_ERROR.
  const auto linger = std::chrono::milliseconds(rv == CKR_DEVICE_ERROR ? 500 : 0);
  if (const auto ended = module_ended(module, linger)) {
    fail(error_code::token_error, "the token's module (" + module_name(module) + ") stopped in " + function +
                                      ", " + *ended + "; it is started again for the next request");
  }
}

// Makes one call into a module; with the diagnostic log on, notes the function, its result and
// its time (never its arguments).
template <typename Call>
CK_RV logged(CK_FUNCTION_LIST* module, std::optional<CK_SLOT_ID> slot, const char* function, Call call) {
  // The call that a request answered for hanging is named by what it was in.
  pkcs11_call(function, module_process(module));
  CK_RV rv;
  if (!diagnostic_log::recording()) {
    rv = call();
  } else {
    const auto start = std::chrono::steady_clock::now();
    rv = call();
    const auto took = std::chrono::steady_clock::now() - start;
    diagnostic_log::note_call(module_name(module), slot ? std::optional<unsigned long>(*slot) : std::nullopt,
                              function, rv, took);
  }
  if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) check_module_alive(module, function, rv);
  return rv;
}

[[noreturn]] void token_failure(const char* call, CK_RV rv) {
  fail(error_code::token_error, std::string(call) + " failed: " + describe(rv));
}

bool gives_trust_policy(CK_FUNCTION_LIST* module) {
  std::unique_ptr<char, decltype(&std::free)> value(p11_kit_config_option(module, "trust-policy"),
                                                    &std::free);
  if (!value) return false;
  const std::string_view text(value.get());
  return text == "yes" || text == "true";
}

std::optional<CK_TOKEN_INFO> token_info(const token_slot& token) {
  CK_TOKEN_INFO info{};
  pkcs11_call("C_GetTokenInfo");
  if (logged(token.module, token.slot, "C_GetTokenInfo",
             [&] { return token.module->C_GetTokenInfo(token.slot, &info); }) != CKR_OK) {
    return std::nullopt;
  }
  return info;
}

// The reader a slot is, when it is one: its slot description (OpenSC fills it with the reader's
// name), read while the module answers. Only a removable slot can be a reader; a token that is
// no card (SoftHSM2) has none.
std::string reader_of(CK_FUNCTION_LIST* module, CK_SLOT_ID slot) {
  CK_SLOT_INFO info{};
  if (logged(module, slot, "C_GetSlotInfo", [&] { return module->C_GetSlotInfo(slot, &info); }) != CKR_OK ||
      !(info.flags & CKF_REMOVABLE_DEVICE)) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(info.slotDescription), sizeof info.slotDescription);
}

// One session, closed (and logged out of, when logged in) on every way out, and the card reset
// after a PIN went to it. C_Logout ends the module's login, but a card driver may leave the card
// itself verified (OpenSC's PIV driver sends the card nothing for it and leaves it as it is on
// disconnect), and any program that holds the card open could then use the PIN's keys with no
// PIN. Resetting the card in its reader ends that for every program. The reader is learnt before
// the PIN is sent, so that the reset is made even when the module's process dies after the card
// took the PIN: pcscd leaves a card as it is when a program holding it dies.
class session {
 public:
  explicit session(const token_slot& token) : module_(token.module), slot_(token.slot) {
    pkcs11_call("C_OpenSession");
    const CK_RV rv = call("C_OpenSession", [&] {
      return module_->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_);
    });
    if (rv != CKR_OK) token_failure("C_OpenSession", rv);
  }
  ~session() {
    try {
      if (logged_in_) {
        pkcs11_call("C_Logout");
        call("C_Logout", [&] { return module_->C_Logout(handle_); });
      }
      pkcs11_call("C_CloseSession");
      call("C_CloseSession", [&] { return module_->C_CloseSession(handle_); });
    } catch (const signer_failure&) {
      // the module's process died: its sessions and logins went with it
    }
    try {
      if (!reader_.empty()) pcsc_reset_card(reader_);
    } catch (...) {
      // A reset that cannot be made leaves what C_Logout left.
    }
  }
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  CK_FUNCTION_LIST* module() const { return module_; }
  // One call in this session's slot, noted in the diagnostic log.
  template <typename Call>
  CK_RV call(const char* function, Call c) const {
    return logged(module_, slot_, function, c);
  }
  CK_SESSION_HANDLE handle() const { return handle_; }
  void mark_logged_in() { logged_in_ = true; }
  // A PIN goes to the card (as a login, or for one key's use): it is reset when the session ends,
  // whatever the login's answer, as a module that dies may never give one.
  void mark_verified() {
    if (!verified_) reader_ = reader_of(module_, slot_);
    verified_ = true;
  }

  std::vector<CK_OBJECT_HANDLE> find(std::vector<CK_ATTRIBUTE> pattern) {
    pkcs11_call("C_FindObjects");
    CK_RV rv = call("C_FindObjectsInit",
                    [&] { return module_->C_FindObjectsInit(handle_, pattern.data(), pattern.size()); });
    if (rv != CKR_OK) token_failure("C_FindObjectsInit", rv);
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[32];
    constexpr CK_ULONG BATCH = sizeof batch / sizeof batch[0];
    CK_ULONG count = 0;
    bool overrun = false;
    while ((rv = call("C_FindObjects", [&] { return module_->C_FindObjects(handle_, batch, BATCH, &count); })) ==
               CKR_OK &&
           count > 0) {
      // A count past the batch would have us read beyond it; one without end, never return.
      if (count > BATCH || found.size() + count > OBJECT_LIMIT) {
        overrun = true;
        break;
      }
      found.insert(found.end(), batch, batch + count);
    }
    call("C_FindObjectsFinal", [&] { return module_->C_FindObjectsFinal(handle_); });
    if (overrun) fail(error_code::token_error, "C_FindObjects reported more objects than it can hold");
    if (rv != CKR_OK) token_failure("C_FindObjects", rv);
    return found;
  }

  // The attribute's bytes; nullopt when the object lacks it, keeps it secret or claims a length
  // no attribute we read can have.
  std::optional<std::string> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    pkcs11_call("C_GetAttributeValue");
    if (call("C_GetAttributeValue", [&] { return module_->C_GetAttributeValue(handle_, object, &query, 1); }) != CKR_OK ||
        query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen > ATTRIBUTE_LIMIT) {
      return std::nullopt;
    }
    std::string value(query.ulValueLen, '\0');
    query.pValue = value.data();
    if (call("C_GetAttributeValue", [&] { return module_->C_GetAttributeValue(handle_, object, &query, 1); }) != CKR_OK ||
        query.ulValueLen > value.size()) {
      return std::nullopt;
    }
    value.resize(query.ulValueLen);
    return value;
  }

 private:
  CK_FUNCTION_LIST* module_;
  CK_SLOT_ID slot_;
  CK_SESSION_HANDLE handle_ = 0;
  bool logged_in_ = false;
  bool verified_ = false;
  std::string reader_;  // the card's reader, learnt before a PIN goes to it
};

// Turns the outcome of a login into a failure the extension can act on.
void check_login(CK_RV rv, const token_slot& token) {
  if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return;
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE) {
    // Tokens tell how close the PIN is to blocking only through these flags.
    const auto info = token_info(token);
    const CK_FLAGS flags = info ? info->flags : 0;
    if (flags & CKF_USER_PIN_LOCKED) {
      fail(error_code::pin_locked, "the PIN is incorrect, and the token has now locked it");
    }
    failure_detail detail{error_code::pin_incorrect,
                          rv == CKR_PIN_LEN_RANGE ? "the PIN's length is outside the token's range"
                                                  : "the PIN is incorrect",
                          "pin", -1};
    if (flags & CKF_USER_PIN_FINAL_TRY) detail.tries_left = 1;
    throw signer_failure(std::move(detail));
  }
  if (rv == CKR_PIN_LOCKED) fail(error_code::pin_locked, "the token's PIN is locked");
  token_failure("C_Login", rv);
}

CK_OBJECT_HANDLE find_private_key(session& s, const token_certificate& certificate) {
  CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
  std::string id = certificate.object_id;
  std::string label = certificate.label;
  if (!id.empty()) {
    auto keys = s.find({{CKA_CLASS, &key_class, sizeof key_class},
                        {CKA_ID, id.data(), id.size()}});
    if (!keys.empty()) return keys.front();
  }
  if (!label.empty()) {
    auto keys = s.find({{CKA_CLASS, &key_class, sizeof key_class},
                        {CKA_LABEL, label.data(), label.size()}});
    if (!keys.empty()) return keys.front();
  }
  fail(error_code::key_not_found, "the token holds no private key for this certificate");
}

// The certificate's private key when the token shows it before any login, says it is no private
// object (CKA_PRIVATE false) and does not want the PIN for each use; nullopt otherwise.
std::optional<CK_OBJECT_HANDLE> key_usable_without_login(session& s, const token_certificate& certificate) {
  if (certificate.object_id.empty()) return std::nullopt;
  CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
  std::string id = certificate.object_id;
  const auto keys = s.find({{CKA_CLASS, &key_class, sizeof key_class}, {CKA_ID, id.data(), id.size()}});
  if (keys.empty()) return std::nullopt;
  const auto is_private = s.attribute(keys.front(), CKA_PRIVATE);
  const auto always = s.attribute(keys.front(), CKA_ALWAYS_AUTHENTICATE);
  if (!is_private || is_private->size() != 1 || (*is_private)[0] != 0) return std::nullopt;
  if (always && always->size() == 1 && (*always)[0] != 0) return std::nullopt;
  return keys.front();
}

bool is_unsupported_mechanism(CK_RV rv) {
  return rv == CKR_MECHANISM_INVALID || rv == CKR_MECHANISM_PARAM_INVALID ||
         rv == CKR_KEY_TYPE_INCONSISTENT || rv == CKR_KEY_FUNCTION_NOT_PERMITTED;
}

bool is_wrong_pin(CK_RV rv) {
  return rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE;
}

// Logs `user` in: on the PIN pad when the token has one, else with a PIN from the user, held in
// one buffer that is wiped as soon as the token has it. A wrong PIN is asked for again, and the
// final try only after the user has confirmed it; cancelling ends the request.
void log_in(session& s, const token_slot& token, CK_USER_TYPE user, const sign_prompt& asked,
            user_prompts& prompts) {
  sign_prompt shown = asked;
  for (bool again = false;; again = true) {
    const auto info = token_info(token);
    if (!info) fail(error_code::token_error, "the token did not answer");
    // A locked PIN is not tried: the attempt could only fail.
    if (info->flags & CKF_USER_PIN_LOCKED) fail(error_code::pin_locked, "the token's PIN is locked");
    if (info->flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
      prompts.confirm(shown, confirmation::pin_pad);
      // NULL tells the token to take the PIN on its own keypad.
      s.mark_verified();
      pkcs11_call("C_Login");
      const CK_RV rv = s.call("C_Login", [&] { return s.module()->C_Login(s.handle(), user, nullptr, 0); });
      if (rv == CKR_OK && user == CKU_USER) s.mark_logged_in();
      check_login(rv, token);
      return;
    }
    const bool final_try = (info->flags & CKF_USER_PIN_FINAL_TRY) != 0;
    if (final_try) prompts.confirm(shown, confirmation::final_try);
    CK_RV rv;
    {
      secret pin;
      prompts.ask_pin(shown, final_try ? 1 : -1, again, pin);
      s.mark_verified();
      pkcs11_call("C_Login");
      rv = s.call("C_Login", [&] {
        return s.module()->C_Login(s.handle(), user, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
      });
    }  // the PIN is wiped here, before anything else happens
    if (rv == CKR_OK && user == CKU_USER) s.mark_logged_in();
    if (!is_wrong_pin(rv)) {
      check_login(rv, token);
      return;
    }
    const auto after = token_info(token);
    if (after && (after->flags & CKF_USER_PIN_LOCKED)) {
      fail(error_code::pin_locked, "the PIN is incorrect, and the token has now locked it");
    }
    // A token that counts tries says so after a wrong PIN at the latest; one that still says
    // nothing (a TPM's) may lock at the next, and the user is told.
    constexpr CK_FLAGS TRY_FLAGS = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
    shown.token_tells_tries = after && (after->flags & TRY_FLAGS) != 0;
  }
}

}  // namespace

namespace {

// The modules named by NPC_PKCS11_MODULES, in order; empty when it is unset.
std::vector<std::string> named_paths() {
  std::vector<std::string> paths;
  const char* named = std::getenv(MODULES_VARIABLE);
  if (!named) return paths;
  const std::string_view list(named);
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(':', start), list.size());
    std::string path(list.substr(start, end - start));
    start = end + 1;
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

bool initialised(CK_FUNCTION_LIST* module) {
  try {
    return logged(module, std::nullopt, "C_Initialize", [&] { return p11_kit_module_initialize(module); }) == CKR_OK;
  } catch (const signer_failure&) {
    return false;  // its process died in C_Initialize
  }
}

// A module started in a process of its own; nullptr when it does not load or initialise.
CK_FUNCTION_LIST* start_remote(const std::string& path, const std::string& name) {
  CK_FUNCTION_LIST* module = load_remote_module(path, name);
  if (!module) return nullptr;
  // Not through logged, which would name no process: a module that hangs here has its process found
  // and ended like any other.
  pkcs11_call_starting("C_Initialize", [path] { return unadopted_process(path); });
  const CK_RV rv = p11_kit_module_initialize(module);
  adopt_process(module, path);
  if (rv == CKR_OK) return module;
  module_ended(module);  // reaps one that died
  p11_kit_module_release(module);
  forget_module(module);
  return nullptr;
}

}  // namespace

module_list::module_list() {
  const bool apart = modules_out_of_process();
  const std::vector<std::string> named = named_paths();
  std::vector<std::pair<std::string, std::string>> paths;  // and names
  for (const std::string& path : named) paths.emplace_back(path, path.substr(path.rfind('/') + 1));
  if (paths.empty() && !(std::getenv(MODULES_VARIABLE) && *std::getenv(MODULES_VARIABLE))) {
    // Loading does not initialise, so a trust store is never made to parse its whole bundle.
    registered_ = p11_kit_modules_load(nullptr, 0);
    for (CK_FUNCTION_LIST** module = registered_; module && *module; ++module) {
      if (gives_trust_policy(*module)) continue;
      if (apart) {
        std::unique_ptr<char, decltype(&std::free)> file(p11_kit_module_get_filename(*module), &std::free);
        if (file) paths.emplace_back(file.get(), module_name(*module));
      } else if (initialised(*module)) {
        active_.push_back({*module, {}, {}});
      }
    }
    if (apart && registered_) {
      // Known by their files now: their own processes load them again.
      p11_kit_modules_release(registered_);
      registered_ = nullptr;
    }
    if (!apart) return;
  }
  for (const auto& [path, name] : paths) {
    if (apart) {
      CK_FUNCTION_LIST* module = start_remote(path, name);
      // One whose C_Initialize was ended for hanging is tried again by the next request.
      if (module || request_abandoned()) active_.push_back({module, path, name});
    } else if (CK_FUNCTION_LIST* module = p11_kit_module_load(path.c_str(), 0)) {
      named_.push_back(module);
      if (initialised(module)) active_.push_back({module, {}, {}});
    }
  }
}

module_list::~module_list() {
  for (const active_module& module : active_) {
    if (!module.functions || (!module.path.empty() && module_ended(module.functions))) continue;  // kept, as in restart_ended
    p11_kit_module_finalize(module.functions);
    if (!module.path.empty()) {
      p11_kit_module_release(module.functions);
      forget_module(module.functions);
    }
  }
  if (registered_) p11_kit_modules_release(registered_);
  for (CK_FUNCTION_LIST* module : named_) p11_kit_module_release(module);
}

void module_list::restart_ended() {
  const std::lock_guard hold(lock_);
  for (active_module& module : active_) {
    if (module.path.empty() || (module.functions && !module_ended(module.functions))) continue;
    CK_FUNCTION_LIST* fresh = start_remote(module.path, module.name);
    // One that cannot start again stays: its calls keep failing, each request told why.
    if (fresh) module.functions = fresh;
  }
}

module_list& current_modules() {
  static std::mutex lock;
  static std::vector<std::string> made_for;
  // Never destroyed at exit: finalising could wait on a module that hangs.
  static module_list* modules = nullptr;
  const std::lock_guard hold(lock);
  // Modules read their configuration from the environment (NPC_PKCS11_MODULES, and their own,
  // such as SOFTHSM2_CONF or PCSCLITE_CSOCK_NAME). A host's never changes; a program that loads
  // this library and changes it gets modules made afresh.
  std::vector<std::string> wanted;
  for (char** variable = environ; variable && *variable; ++variable) wanted.emplace_back(*variable);
  std::sort(wanted.begin(), wanted.end());
  if (modules && wanted != made_for) {
    delete modules;
    modules = nullptr;
  }
  if (!modules) {
    modules = new module_list();
    made_for = wanted;
  } else {
    modules->restart_ended();
  }
  return *modules;
}

std::vector<token_slot> module_list::tokens() const {
  std::vector<CK_FUNCTION_LIST*> modules;
  {
    const std::lock_guard hold(lock_);
    for (const active_module& module : active_) {
      if (module.functions) modules.push_back(module.functions);
    }
  }
  std::vector<token_slot> found;
  for (CK_FUNCTION_LIST* module : modules) {
    CK_ULONG count = 0;
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = CKR_OK;
    // The count may grow between the calls when a reader appears; a module that says so every
    // time, or counts more slots than any machine has, is passed over.
    int tries = 0;
    do {
      pkcs11_call("C_GetSlotList");
      rv = logged(module, std::nullopt, "C_GetSlotList", [&] { return module->C_GetSlotList(CK_TRUE, nullptr, &count); });
      if (rv != CKR_OK || count > SLOT_LIMIT) break;
      slots.resize(count);
      rv = logged(module, std::nullopt, "C_GetSlotList",
                  [&] { return module->C_GetSlotList(CK_TRUE, slots.data(), &count); });
    } while (rv == CKR_BUFFER_TOO_SMALL && ++tries < SLOT_LIST_TRIES);
    if (rv != CKR_OK || count > slots.size()) continue;  // hides no other module's slots
    slots.resize(count);
    for (const CK_SLOT_ID slot : slots) {
      token_slot token{module, slot, {}};
      const auto info = token_info(token);
      if (!info || !(info->flags & CKF_TOKEN_INITIALIZED)) continue;
      token.identity = {padded_text(info->label, sizeof info->label),
                        padded_text(info->manufacturerID, sizeof info->manufacturerID),
                        padded_text(info->model, sizeof info->model),
                        padded_text(info->serialNumber, sizeof info->serialNumber)};
      found.push_back(std::move(token));
    }
  }
  return found;
}

std::vector<key_public_part> visible_keys(const token_slot& token,
                                         const token_certificate& certificate) {
  std::vector<key_public_part> keys;
  if (certificate.object_id.empty()) return keys;
  session s(token);
  std::string id = certificate.object_id;
  for (CK_OBJECT_CLASS key_class : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
    for (const CK_OBJECT_HANDLE object : s.find({{CKA_CLASS, &key_class, sizeof key_class},
                                                 {CKA_ID, id.data(), id.size()}})) {
      key_public_part part{s.attribute(object, CKA_MODULUS).value_or(""),
                           s.attribute(object, CKA_EC_POINT).value_or("")};
      if (!part.modulus.empty() || !part.ec_point.empty()) keys.push_back(std::move(part));
    }
  }
  return keys;
}

std::vector<token_certificate> read_certificates(const token_slot& token) {
  session s(token);
  CK_OBJECT_CLASS object_class = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE certificate_type = CKC_X_509;
  std::vector<token_certificate> certificates;
  for (const CK_OBJECT_HANDLE object :
       s.find({{CKA_CLASS, &object_class, sizeof object_class},
               {CKA_CERTIFICATE_TYPE, &certificate_type, sizeof certificate_type}})) {
    auto value = s.attribute(object, CKA_VALUE);
    if (!value || value->empty()) continue;
    certificates.push_back({std::move(*value), s.attribute(object, CKA_ID).value_or(""),
                            s.attribute(object, CKA_LABEL).value_or("")});
  }
  return certificates;
}

std::string sign_on_token(const token_slot& token, const token_certificate& certificate,
                          const sign_operation& operation, const sign_prompt& shown,
                          user_prompts& prompts) {
  session s(token);
  const auto info = token_info(token);
  if (!info) fail(error_code::token_error, "the token did not answer");
  bool login_required = (info->flags & CKF_LOGIN_REQUIRED) != 0;
  // A key that the token shows, and lets be used, before any login (a card's key for card
  // authentication) signs on the user's approval alone, even while the PIN is blocked.
  std::optional<CK_OBJECT_HANDLE> key;
  if (login_required) {
    key = key_usable_without_login(s, certificate);
    if (key) login_required = false;
  }
  const bool pin_skipped = key.has_value();
  if (login_required) log_in(s, token, CKU_USER, shown, prompts);
  if (!key) key = find_private_key(s, certificate);
  // Keys for qualified signatures ask for the PIN again for every signature.
  const auto always = s.attribute(*key, CKA_ALWAYS_AUTHENTICATE);
  const bool always_authenticate = always && always->size() == 1 && (*always)[0] != 0;
  // Without any PIN the user still approves each signature.
  if (!login_required && !always_authenticate) prompts.confirm(shown, confirmation::signature);

  CK_RSA_PKCS_PSS_PARAMS pss = operation.pss;
  CK_MECHANISM mechanism{operation.mechanism, nullptr, 0};
  if (operation.mechanism == CKM_RSA_PKCS_PSS) {
    mechanism.pParameter = &pss;
    mechanism.ulParameterLen = sizeof pss;
  }
  pkcs11_call("C_SignInit");
  CK_RV rv = s.call("C_SignInit", [&] { return s.module()->C_SignInit(s.handle(), &mechanism, *key); });
  if (rv == CKR_USER_NOT_LOGGED_IN && pin_skipped) {
    // The token showed the key but wants the PIN after all.
    log_in(s, token, CKU_USER, shown, prompts);
    pkcs11_call("C_SignInit");
    rv = s.call("C_SignInit", [&] { return s.module()->C_SignInit(s.handle(), &mechanism, *key); });
  }
  if (is_unsupported_mechanism(rv)) {
    fail(error_code::unsupported_algorithm, "the token cannot sign with this key and algorithm: " +
                                                describe(rv));
  }
  if (rv != CKR_OK) token_failure("C_SignInit", rv);
  if (always_authenticate) {
    sign_prompt again = shown;
    again.pin_for_each_signature = true;
    log_in(s, token, CKU_CONTEXT_SPECIFIC, again, prompts);
  }
  auto input = reinterpret_cast<CK_BYTE*>(const_cast<char*>(operation.input.data()));
  CK_ULONG length = 0;
  pkcs11_call("C_Sign");
  rv = s.call("C_Sign", [&] { return s.module()->C_Sign(s.handle(), input, operation.input.size(), nullptr, &length); });
  if (rv != CKR_OK) token_failure("C_Sign", rv);
  // The module's word is not taken for how much to allocate.
  if (length > operation.max_signature) {
    fail(error_code::token_error, "the token announced a signature longer than its key can make");
  }
  std::string signature(length, '\0');
  pkcs11_call("C_Sign");
  rv = s.call("C_Sign", [&] {
    return s.module()->C_Sign(s.handle(), input, operation.input.size(), reinterpret_cast<CK_BYTE*>(signature.data()),
                              &length);
  });
  if (rv != CKR_OK) token_failure("C_Sign", rv);
  if (length > signature.size()) {
    fail(error_code::token_error, "the token wrote a signature longer than it announced");
  }
  signature.resize(length);
  return signature;
}

}  // namespace npc::signer
