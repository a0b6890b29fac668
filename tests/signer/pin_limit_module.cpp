// A PKCS#11 module for tests that stands in front of another (NPC_TEST_WRAPPED_MODULE) and
// blocks the user PIN after three wrong tries, as smart cards do and SoftHSM2 does not. The
// tries left live in the file NPC_TEST_PIN_TRIES_FILE (absent: three), and the token flags tell
// them as cards tell them: count low, final try, locked. Also, for the cases real cards make:
//   NPC_TEST_LOGIN_LOG      each C_Login is appended to this file: its PIN, or "(pad)" for NULL
//   NPC_TEST_PIN_PAD        the token claims a PIN pad, on which the user types this PIN
//   NPC_TEST_REVERSE_SLOTS  slots are listed in the reverse order
//   NPC_TEST_SIGN_LENGTH    C_Sign announces signatures of this many bytes
//   NPC_TEST_LOAD_LOG       each C_GetFunctionList (a load of the module) is appended to this file
//   NPC_TEST_LIE            a length the module lies about: "objects" (C_FindObjects counts past
//                           the buffer), "attribute" (C_GetAttributeValue claims 1 TiB), "slots"
//                           (C_GetSlotList always wants a bigger buffer)
//   NPC_TEST_HIDE_KEYS      no object shows CKA_MODULUS or CKA_EC_POINT, as tokens that keep a
//                           key's public values to themselves until login
//   NPC_TEST_LOGIN_TOKENS   each C_Login is appended to this file: the label of its token
//   NPC_TEST_HANG           a call that never returns, as one waiting on a stopped card service:
//                           "slots" (C_GetSlotList) or "sign" (C_Sign)
//   NPC_TEST_FAULT_FILE     a file that, while it exists, holds a fault for one call: "crash" or
//                           "hang", then "init", "slots", "find", "sign" or "login" (once the
//                           token took the PIN); the module removes it and faults once
#include <dlfcn.h>
#include <unistd.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int TRIES = 3;

CK_FUNCTION_LIST wrapped_list;
CK_FUNCTION_LIST_PTR wrapped = nullptr;
CK_FUNCTION_LIST our_list;
void* wrapped_library = nullptr;

int tries_left() {
  int tries = TRIES;
  if (std::FILE* file = std::fopen(std::getenv("NPC_TEST_PIN_TRIES_FILE"), "r")) {
    if (std::fscanf(file, "%d", &tries) != 1) tries = TRIES;
    std::fclose(file);
  }
  return tries;
}

void set_tries_left(int tries) {
  if (std::FILE* file = std::fopen(std::getenv("NPC_TEST_PIN_TRIES_FILE"), "w")) {
    std::fprintf(file, "%d\n", tries);
    std::fclose(file);
  }
}

void hang_in(const char* what);

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  if (user == CKU_SO) return wrapped->C_Login(session, user, pin, length);
  if (const char* path = std::getenv("NPC_TEST_LOGIN_LOG")) {
    if (std::FILE* file = std::fopen(path, "a")) {
      std::fprintf(file, "%s\n", pin ? std::string(reinterpret_cast<char*>(pin), length).c_str() : "(pad)");
      std::fclose(file);
    }
  }
  if (const char* path = std::getenv("NPC_TEST_LOGIN_TOKENS")) {
    CK_SESSION_INFO session_info{};
    CK_TOKEN_INFO info{};
    if (wrapped->C_GetSessionInfo(session, &session_info) == CKR_OK &&
        wrapped->C_GetTokenInfo(session_info.slotID, &info) == CKR_OK) {
      if (std::FILE* file = std::fopen(path, "a")) {
        std::string label(reinterpret_cast<char*>(info.label), sizeof info.label);
        label.erase(label.find_last_not_of(' ') + 1);
        std::fprintf(file, "%s\n", label.c_str());
        std::fclose(file);
      }
    }
  }
  const char* pad = std::getenv("NPC_TEST_PIN_PAD");
  if (pad && pin) return CKR_ARGUMENTS_BAD;  // a PIN pad takes no PIN from the host
  std::string typed = pad ? pad : "";
  if (pad) {
    pin = reinterpret_cast<CK_UTF8CHAR_PTR>(typed.data());
    length = typed.size();
  }
  const int tries = tries_left();
  if (tries <= 0) return CKR_PIN_LOCKED;
  const CK_RV rv = wrapped->C_Login(session, user, pin, length);
  if (rv == CKR_OK) hang_in("login");
  if (rv == CKR_PIN_INCORRECT) set_tries_left(tries - 1);
  if (rv == CKR_OK) set_tries_left(TRIES);
  return rv;
}

CK_RV token_info(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  const CK_RV rv = wrapped->C_GetTokenInfo(slot, info);
  if (rv != CKR_OK) return rv;
  const int tries = tries_left();
  info->flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
  if (tries < TRIES) info->flags |= CKF_USER_PIN_COUNT_LOW;
  if (tries == 1) info->flags |= CKF_USER_PIN_FINAL_TRY;
  if (tries <= 0) info->flags |= CKF_USER_PIN_LOCKED;
  if (std::getenv("NPC_TEST_PIN_PAD")) info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
  return CKR_OK;
}

bool lies_about(const char* what) {
  const char* lie = std::getenv("NPC_TEST_LIE");
  return lie && std::string(lie) == what;
}

CK_RV find_objects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG room,
                   CK_ULONG_PTR count) {
  hang_in("find");
  const CK_RV rv = wrapped->C_FindObjects(session, objects, room, count);
  if (rv == CKR_OK && *count > 0 && lies_about("objects")) *count = room + 1000;
  return rv;
}

CK_RV attribute_value(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR query,
                      CK_ULONG count) {
  if (std::getenv("NPC_TEST_HIDE_KEYS")) {
    for (CK_ULONG i = 0; i < count; ++i) {
      if (query[i].type == CKA_MODULUS || query[i].type == CKA_EC_POINT) {
        query[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_SENSITIVE;
      }
    }
  }
  const CK_RV rv = wrapped->C_GetAttributeValue(session, object, query, count);
  if (rv == CKR_OK && lies_about("attribute") && !query->pValue) query->ulValueLen = 1ul << 40;
  return rv;
}

void hang_in(const char* what) {
  const char* hang = std::getenv("NPC_TEST_HANG");
  bool once = false;
  if (const char* path = std::getenv("NPC_TEST_FAULT_FILE")) {
    char fault[16] = {}, call[16] = {};
    if (std::FILE* file = std::fopen(path, "r")) {
      once = std::fscanf(file, "%15s %15s", fault, call) == 2 && std::string(call) == what;
      std::fclose(file);
    }
    if (once) {
      std::remove(path);
      if (std::string(fault) == "crash") std::raise(SIGSEGV);
    }
  }
  if (once || (hang && std::string(hang) == what)) {
    for (;;) ::pause();
  }
}

CK_RV initialize(CK_VOID_PTR arguments) {
  hang_in("init");
  return wrapped->C_Initialize(arguments);
}

CK_RV slot_list(CK_BBOOL present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
  hang_in("slots");
  if (slots && lies_about("slots")) {
    *count += 1;
    return CKR_BUFFER_TOO_SMALL;
  }
  const CK_RV rv = wrapped->C_GetSlotList(present, slots, count);
  if (rv == CKR_OK && slots && std::getenv("NPC_TEST_REVERSE_SLOTS")) std::reverse(slots, slots + *count);
  return rv;
}

CK_RV sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signature_length) {
  hang_in("sign");
  const char* announced = std::getenv("NPC_TEST_SIGN_LENGTH");
  if (announced && !signature) {
    *signature_length = std::strtoul(announced, nullptr, 10);
    return CKR_OK;
  }
  return wrapped->C_Sign(session, data, length, signature, signature_length);
}

__attribute__((destructor)) void unload() {
  if (wrapped_library) ::dlclose(wrapped_library);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (const char* path = std::getenv("NPC_TEST_LOAD_LOG")) {
    if (std::FILE* file = std::fopen(path, "a")) {
      std::fputs("loaded\n", file);
      std::fclose(file);
    }
  }
  if (!wrapped) {
    const char* path = std::getenv("NPC_TEST_WRAPPED_MODULE");
    wrapped_library = path ? ::dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    auto get = wrapped_library ? reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(
                                     ::dlsym(wrapped_library, "C_GetFunctionList"))
                               : nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    if (!get || get(&functions) != CKR_OK) return CKR_GENERAL_ERROR;
    wrapped_list = *functions;
    wrapped = &wrapped_list;
    our_list = wrapped_list;
    our_list.C_Initialize = initialize;
    our_list.C_Login = login;
    our_list.C_GetTokenInfo = token_info;
    our_list.C_GetSlotList = slot_list;
    our_list.C_Sign = sign;
    our_list.C_FindObjects = find_objects;
    our_list.C_GetAttributeValue = attribute_value;
  }
  *list = &our_list;
  return CKR_OK;
}
