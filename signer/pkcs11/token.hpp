// The PKCS#11 side of signing: the modules p11-kit knows of, the tokens in their slots, the
// certificates on those tokens, and signing with the private key that sits beside one.
#pragma once

#include <p11-kit/pkcs11.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/backend.hpp"

namespace npc::signer {

// Names the PKCS#11 modules to use in place of those registered with p11-kit, separated by ':'.
inline constexpr const char* MODULES_VARIABLE = "NPC_PKCS11_MODULES";

// An initialised token in the slot of a loaded module.
struct token_slot {
  CK_FUNCTION_LIST* module = nullptr;
  CK_SLOT_ID slot = 0;
  token_identity identity;
};

// A certificate object as a token holds it.
struct token_certificate {
  std::string der;
  std::string object_id;  // CKA_ID: ties the certificate to its private key
  std::string label;
};

// PKCS#11 modules: loaded and initialised when made, finalised and released when destroyed.
// Modules named in NPC_PKCS11_MODULES replace the registered ones; modules that give trust
// policy (p11-kit's own trust store) are left out, as they hold no keys. A module that fails to
// load or initialise is skipped. Each module runs in a process of its own (see module_process.hpp)
// unless NPC_PKCS11_IN_PROCESS is 1.
class module_list {
 public:
  module_list();
  ~module_list();
  module_list(const module_list&) = delete;
  module_list& operator=(const module_list&) = delete;

  // Every initialised token present, in module order, then slot order.
  std::vector<token_slot> tokens() const;

  // Starts afresh each module whose process has ended, or that was ended for hanging in
  // C_Initialize. The ended one's client end is kept, never released: a worker left behind by a
  // request may still be returning from it.
  void restart_ended();

 private:
  struct active_module {
    CK_FUNCTION_LIST* functions;  // nullptr while one that hung in C_Initialize waits for a retry
    std::string path;  // of a module in a process of its own; empty for one in this process
    std::string name;
  };
  CK_FUNCTION_LIST** registered_ = nullptr;  // p11-kit's list, released as a whole
  std::vector<CK_FUNCTION_LIST*> named_;     // loaded one by one from NPC_PKCS11_MODULES
  mutable std::mutex lock_;                  // over active_, which restart_ended changes
  std::vector<active_module> active_;        // those initialised, finalised one by one
};

// The modules of this process: made by the first request that needs a token and kept, so that a
// module reads a card once and later requests cost it only the check that the card is the same
// (modules notice a removal or a new card in C_GetSlotList and C_GetTokenInfo). Made again when
// the process's environment changes, which modules take their configuration from. A module that hangs holds the lock taken here, so call this only
// under run_with_deadline.
module_list& current_modules();

// The X.509 certificates on a token. Fails with token_error when no session opens.
std::vector<token_certificate> read_certificates(const token_slot& token);

// The public half of a key object, as far as the token shows it: CKA_MODULUS of an RSA key,
// CKA_EC_POINT of an EC key (empty when not shown).
struct key_public_part {
  std::string modulus;
  std::string ec_point;
};

// The public halves of the key objects (public or private) with the certificate's CKA_ID that
// the token shows without a login; empty when the certificate has no CKA_ID or none are shown.
std::vector<key_public_part> visible_keys(const token_slot& token,
                                         const token_certificate& certificate);

// What the token is asked to do: a PKCS#11 mechanism with its parameter, over `input`.
struct sign_operation {
  CK_MECHANISM_TYPE mechanism = CKM_RSA_PKCS;
  CK_RSA_PKCS_PSS_PARAMS pss{};  // used when mechanism is CKM_RSA_PKCS_PSS
  std::string input;
  std::size_t max_signature = 0;  // the most bytes a signature with the key can take
};

// Logs in with the PIN the user gives through `prompts` (or on the token's own PIN pad), finds
// the private key with the certificate's CKA_ID (or, failing that, its label) and signs. Returns
// the signature as the token gives it (raw r and s for ECDSA). Fails with pin_incorrect,
// pin_locked, key_not_found, unsupported_algorithm, token_error, or what `prompts` fails with.
std::string sign_on_token(const token_slot& token, const token_certificate& certificate,
                          const sign_operation& operation, const sign_prompt& shown,
                          user_prompts& prompts);

}  // namespace npc::signer
