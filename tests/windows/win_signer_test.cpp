// The Windows signing side below the store: DER and RFC 2253 text, the NCrypt branch signing
// with keys imported into the software key storage provider (the store under Wine only ever hands
// out CryptoAPI keys), every signature checked with BCrypt, and the user's dialogs (headless Wine
// shows no message box: the texts and answers go through their seam and NPC_DIALOG's program).
#include <gtest/gtest.h>

#include <cwchar>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/failure.hpp"
#include "core/translation.hpp"
#include "dialog_cases.hpp"
#include "dialogs/message_box.hpp"
#include "windows/cng.hpp"
#include "windows/der.hpp"
#include "windows/store.hpp"

namespace npc::signer::win {
namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int value : values) out += static_cast<char>(value);
  return out;
}

TEST(WindowsDer, EcdsaSignaturesFromRawHalves) {
  const std::string ff66(66, '\xff');
  std::string p521 = bytes({0x30, 0x81, 0x8a, 0x02, 0x43, 0x00}) + ff66 + bytes({0x02, 0x43, 0x00}) + ff66;
  struct {
    std::string raw, der;
  } cases[] = {
      {bytes({1, 2}), bytes({0x30, 6, 2, 1, 1, 2, 1, 2})},
      // Leading zeros go; a set top bit gets a zero put in front.
      {bytes({0, 0, 5, 0, 0x80, 1}), bytes({0x30, 8, 2, 1, 5, 2, 3, 0, 0x80, 1})},
      {bytes({0, 0, 0, 0}), bytes({0x30, 6, 2, 1, 0, 2, 1, 0})},
      {bytes({0xff, 0x7f}), bytes({0x30, 7, 2, 2, 0, 0xff, 2, 1, 0x7f})},
      // P-521's halves make a SEQUENCE longer than 127 bytes.
      {ff66 + ff66, p521},
      {bytes({1, 2, 3}), ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(hex_text(ecdsa_der_from_raw(c.raw)), hex_text(c.der)) << hex_text(c.raw);
}

TEST(WindowsDer, RsaModulusBitsCountsTheTopByte) {
  const auto key = [](const std::string& modulus) {
    const std::string body = bytes({2, static_cast<int>(modulus.size())}) + modulus + bytes({2, 1, 3});
    return bytes({0x30, static_cast<int>(body.size())}) + body;
  };
  const std::string big = bytes({0x30, 0x82, 0x01, 0x08, 0x02, 0x82, 0x01, 0x01}) + bytes({0}) + std::string(256, '\xc1') +
        bytes({2, 1, 3});
  EXPECT_EQ(rsa_modulus_bits(big), 2048);
  EXPECT_EQ(rsa_modulus_bits(key(bytes({0, 0x80, 0}))), 16);
  EXPECT_EQ(rsa_modulus_bits(key(bytes({1, 0}))), 9);
  EXPECT_EQ(rsa_modulus_bits(key(bytes({0x7f, 0, 0}))), 23);
  EXPECT_EQ(rsa_modulus_bits(key(bytes({1})) + "x"), 0);                 // trailing bytes
  EXPECT_EQ(rsa_modulus_bits(key(bytes({1, 0})).substr(0, 5)), 0);       // cut short
  EXPECT_EQ(rsa_modulus_bits(bytes({0x31, 3, 2, 1, 1})), 0);             // a SET
  EXPECT_EQ(rsa_modulus_bits(bytes({0x30, 0x84, 0xff, 0xff, 0xff, 0xff})), 0);
}

TEST(WindowsDer, Rfc2253EscapesAsOpenSslDoes) {
  struct {
    std::string value, text;
  } cases[] = {
      {"plain", "plain"},
      {"a,b+c\"d\\e<f>g;h", "a\\,b\\+c\\\"d\\\\e\\<f\\>g\\;h"},
      {" lead and trail ", "\\ lead and trail\\ "},
      {"#first", "\\#first"},
      {"not#first", "not#first"},
      {"tab\there\x7f", "tab\\09here\\7F"},
      {"St\xc3\xb6re", "St\xc3\xb6re"},
  };
  for (const auto& c : cases) EXPECT_EQ(rfc2253_escape(c.value), c.text) << c.value;
}

struct key_destroy {
  void operator()(void* key) const { BCryptDestroyKey(key); }
};

// An RSA key pair made by BCrypt: its public half for checking, its private blob for importing
// into the software key storage provider.
struct rsa_key {
  std::unique_ptr<void, key_destroy> pair;
  std::vector<UCHAR> blob;
};

void make_rsa_key(rsa_key& out) {
  BCRYPT_ALG_HANDLE rsa = nullptr;
  ASSERT_TRUE(BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rsa, BCRYPT_RSA_ALGORITHM, nullptr, 0)));
  BCRYPT_KEY_HANDLE pair = nullptr;
  const bool made = BCRYPT_SUCCESS(BCryptGenerateKeyPair(rsa, &pair, 2048, 0));
  BCryptCloseAlgorithmProvider(rsa, 0);
  ASSERT_TRUE(made);
  out.pair.reset(pair);
  ASSERT_TRUE(BCRYPT_SUCCESS(BCryptFinalizeKeyPair(pair, 0)));
  ULONG size = 0;
  ASSERT_TRUE(BCRYPT_SUCCESS(BCryptExportKey(pair, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, nullptr, 0, &size, 0)));
  out.blob.resize(size);
  ASSERT_TRUE(BCRYPT_SUCCESS(
      BCryptExportKey(pair, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, out.blob.data(), size, &size, 0)));
}

// Checks with a fresh public key each time: Wine's keys, once used with PSS, refuse PKCS#1 (the
// library imports the certificate's key afresh for every check).
bool verifies(const rsa_key& rsa, padding pad, const hash_algorithm& hash, const std::string& digest,
              const std::string& signature) {
  ULONG size = 0;
  BCryptExportKey(rsa.pair.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0);
  std::vector<UCHAR> blob(size);
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!BCRYPT_SUCCESS(BCryptExportKey(rsa.pair.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, blob.data(), size, &size, 0)) ||
      !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_RSA_ALGORITHM, nullptr, 0))) {
    return false;
  }
  const bool imported = BCRYPT_SUCCESS(
      BCryptImportKeyPair(algorithm, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key, blob.data(), size, 0));
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!imported) return false;
  const std::unique_ptr<void, key_destroy> owner(key);
  return detail::verify_with_key(key, pad, hash, digest, signature);
}

// The private key as an NCrypt handle, as a key storage provider hands it out.
struct ncrypt_key {
  NCRYPT_PROV_HANDLE provider = 0;
  NCRYPT_KEY_HANDLE key = 0;
  ~ncrypt_key() {
    if (key) NCryptFreeObject(key);
    if (provider) NCryptFreeObject(provider);
  }
};

void import_key(const rsa_key& from, ncrypt_key& out) {
  ASSERT_EQ(NCryptOpenStorageProvider(&out.provider, MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
  ASSERT_EQ(NCryptImportKey(out.provider, 0, BCRYPT_RSAFULLPRIVATE_BLOB, nullptr, &out.key,
                            const_cast<UCHAR*>(from.blob.data()), static_cast<DWORD>(from.blob.size()), 0),
            ERROR_SUCCESS);
}

TEST(WindowsNcrypt, SignsPkcs1AndPssWithEveryHash) {
  rsa_key rsa;
  ASSERT_NO_FATAL_FAILURE(make_rsa_key(rsa));
  for (const char* hash_name : {"SHA-256", "SHA-384", "SHA-512"}) {
    for (const padding pad : {padding::pkcs1, padding::pss}) {
      SCOPED_TRACE(std::string(hash_name) + (pad == padding::pss ? " PSS" : " PKCS#1"));
      // A key of its own for each case: Wine's provider, once it has signed with PSS, refuses
      // PKCS#1 with the same handle. Every request acquires its key afresh anyway.
      ncrypt_key key;
      ASSERT_NO_FATAL_FAILURE(import_key(rsa, key));
      sign_input input;
      input.hash = find_hash(hash_name);
      ASSERT_NE(input.hash, nullptr);
      input.pad = pad;
      input.digest = digest_of(*input.hash, "the document");
      input.prompt = L"Signing requested by https://example.org";
      ASSERT_EQ(input.digest.size(), input.hash->size);
      const std::string signature = detail::sign_ncrypt(key.key, input);
      ASSERT_EQ(signature.size(), 256u);
      EXPECT_TRUE(verifies(rsa, pad, *input.hash, input.digest, signature));
      std::string other = input.digest;
      other[0] ^= 1;
      EXPECT_FALSE(verifies(rsa, pad, *input.hash, other, signature));
      // The other padding must not pass for this one.
      const padding wrong = pad == padding::pss ? padding::pkcs1 : padding::pss;
      EXPECT_FALSE(verifies(rsa, wrong, *input.hash, input.digest, signature));
    }
  }
}

TEST(WindowsNcrypt, RefusesWhatTheKeyCannotDo) {
  rsa_key rsa;
  ASSERT_NO_FATAL_FAILURE(make_rsa_key(rsa));
  ncrypt_key key;
  ASSERT_NO_FATAL_FAILURE(import_key(rsa, key));
  sign_input input;
  input.hash = find_hash("SHA-256");
  input.digest = std::string(32, 'x');
  const auto code_of = [](auto&& sign) {
    try {
      sign();
    } catch (const signer_failure& failure) {
      return std::string(error_code_name(failure.detail().code));
    }
    return std::string("signed");
  };
  // A CryptoAPI key signs PKCS#1 v1.5 only: PSS and ECDSA are refused before the provider is used.
  input.pad = padding::pss;
  EXPECT_EQ(code_of([&] { detail::sign_capi(0, AT_KEYEXCHANGE, input, nullptr); }), "unsupported_algorithm");
  input.kind = key_kind::ec;
  input.pad = padding::none;
  EXPECT_EQ(code_of([&] { detail::sign_capi(0, AT_KEYEXCHANGE, input, nullptr); }), "unsupported_algorithm");
  // ECDSA asked of an RSA key: the provider's own refusal comes back as a failure, not a signature.
  EXPECT_NE(code_of([&] { detail::sign_ncrypt(key.key, input); }), "signed");
}

std::string code_of_call(const std::function<void()>& call) {
  try {
    call();
  } catch (const signer_failure& failure) {
    return std::string(error_code_name(failure.detail().code));
  }
  return "ok";
}

answer scripted_answer = answer::ok;
std::wstring shown_to_user, title_shown;
answer scripted(const std::wstring& title, const std::wstring& text) {
  title_shown = title;
  shown_to_user = text;
  return scripted_answer;
}

TEST(WindowsDialogs, SayWhoAsksAndWhatAndTakeTheAnswer) {
  dialog_prompts prompts(translation(), scripted);
  sign_prompt shown{"https://shop.example\n\xe2\x80\xae" "evil", "Erika Mustermann", "CN=Test CA", "0a1b",
                    "Smart Card Key Storage Provider", "SHA-256", false, "ab01", ""};
  for (const auto& [given, code] : {std::pair{answer::ok, "ok"}, std::pair{answer::refused, "cancelled"},
                                    std::pair{answer::unavailable, "no_pin_entry"}}) {
    scripted_answer = given;
    EXPECT_EQ(code_of_call([&] { prompts.allow_certificates("https://shop.example"); }), code);
    EXPECT_NE(shown_to_user.find(L"A site asks to read the certificates"), std::wstring::npos);
    EXPECT_EQ(title_shown, L"npcorvane: certificates");
    EXPECT_EQ(code_of_call([&] { prompts.confirm(shown, confirmation::final_try); }), code);
  }
  // The origin's line break is shown as a space and its direction override as '?', never acted on.
  for (const wchar_t* part : {L"https://shop.example ?evil", L"Erika Mustermann", L"CN=Test CA", L"0a1b",
                              L"SHA-256 of the data: ab01", L"Only one PIN try is left"}) {
    EXPECT_NE(shown_to_user.find(part), std::wstring::npos) << std::string(part, part + wcslen(part));
  }
  code_of_call([&] { prompts.allow_certificates(""); });
  EXPECT_NE(shown_to_user.find(L"does not say who it is"), std::wstring::npos);
  EXPECT_EQ(code_of_call([&] {
              secret pin;
              prompts.ask_pin(shown, -1, false, pin);
            }),
            "internal_error");
}

// The dialog table that the pinentry stand-in shows on Linux, through the message boxes' texts
// (the PIN itself is never asked here: the key's provider asks it).
TEST(WindowsDialogs, ShowTheSameTextsAsPinentry) {
  for (const npc::test::dialog_case& c : npc::test::dialog_cases()) {
    using npc::test::dialog_kind;
    if (c.kind == dialog_kind::pin || c.kind == dialog_kind::wrong_pin) continue;
    SCOPED_TRACE(c.name);
    scripted_answer = answer::ok;
    dialog_prompts prompts(choose_translation(c.language, {}), scripted);
    const sign_prompt shown = npc::test::prompt_of(c);
    switch (c.kind) {
      case dialog_kind::consent: prompts.allow_certificates(c.origin); break;
      case dialog_kind::final_try: prompts.confirm(shown, confirmation::final_try); break;
      case dialog_kind::pin_pad: prompts.confirm(shown, confirmation::pin_pad); break;
      default: prompts.confirm(shown, confirmation::signature); break;
    }
    const std::wstring whole = title_shown + L"\n" + shown_to_user;
    const std::string text = utf8_of(whole.c_str(), whole.size());
    for (const std::string& part : c.shown) {
      // Button labels are pinentry's alone: a message box has OK and Cancel.
      if (part.front() == '_' || part == "PIN:") continue;
      EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
    for (const std::string& part : c.absent) EXPECT_EQ(text.find(part), std::string::npos) << part;
  }
}

std::wstring windows_path(const std::string& path) {
  std::wstring out = L"Z:";
  for (const char c : path) out += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return out;
}

TEST(WindowsDialogs, AskTheProgramNpcDialogNames) {
  wchar_t folder[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring log = std::wstring(folder) + L"npc-dialog-test.log";
  DeleteFileW(log.c_str());
  ASSERT_TRUE(SetEnvironmentVariableW(L"NPC_DIALOG_LOG", log.c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(DIALOG_VARIABLE, windows_path(NPC_DIALOG_ANSWER_PATH).c_str()));
  // Quotes, backslashes before quotes and at the end, spaces and UTF-8 reach the program intact.
  const std::wstring text = L"a \"quoted\\\" origin\\ with \\\\ and \u00fc\\";
  EXPECT_EQ(ask_user(L"npcorvane", text), answer::ok);
  ASSERT_TRUE(SetEnvironmentVariableW(L"NPC_DIALOG_EXIT", L"1"));
  EXPECT_EQ(ask_user(L"npcorvane", L"second"), answer::refused);
  // A program that never answers is a refusal once its time is up, not a host that hangs. The
  // limit leaves a Wine process on a loaded machine time to start and log before it is ended.
  ASSERT_TRUE(SetEnvironmentVariableW(L"NPC_DIALOG_EXIT", L"hang"));
  EXPECT_EQ(ask_user(L"npcorvane", L"unanswered", 5000), answer::refused);
  ASSERT_TRUE(SetEnvironmentVariableW(DIALOG_VARIABLE, L"Z:\\no\\such\\program.exe"));
  EXPECT_EQ(ask_user(L"npcorvane", L"third"), answer::unavailable);
  SetEnvironmentVariableW(DIALOG_VARIABLE, nullptr);
  SetEnvironmentVariableW(L"NPC_DIALOG_EXIT", nullptr);
  SetEnvironmentVariableW(L"NPC_DIALOG_LOG", nullptr);
  std::ifstream in(log.c_str(), std::ios::binary);
  const std::string logged((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(logged, "a \"quoted\\\" origin\\ with \\\\ and \xc3\xbc\\\n--\nsecond\n--\nunanswered\n--\n");
  in.close();
  DeleteFileW(log.c_str());
}

// The stand-in for the system chooser: it is shown what fits and the id it names comes back, but
// only an offered one that can be chosen; anything else, a silence included, chooses nothing.
TEST(WindowsDialogs, RunTheChooserNpcChooserNames) {
  const chooser_prompt shown{"https://bank.example", purpose::login,
                             {{"aa11", "NPC Login", "NPC CA", "2030-01-01T00:00:00Z", "store", false, {}},
                              {"bb22", "NPC Old", "NPC CA", "2020-01-01T00:00:00Z", "store", true, {}}}};
  const std::wstring program = windows_path(NPC_CHOOSER_ANSWER_PATH);
  struct {
    const wchar_t* pick;
    const char* chosen;  // nullptr: fails with `code`
    error_code code;
  } const cases[] = {
      {L"NPC Login", "aa11", {}},
      {L"cancel", nullptr, error_code::cancelled},
      {L"NPC Old", nullptr, error_code::cancelled},     // expired, whatever the program says
      {L"ff99", nullptr, error_code::cancelled},        // a key nobody offered
      {L"hang", nullptr, error_code::cancelled},        // ended when its time is up
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"NPC_CHOOSER_PICK", c.pick));
    try {
      const std::string chosen = run_chooser_program(program, shown, translation(), 5000);
      EXPECT_TRUE(c.chosen && chosen == c.chosen) << chosen;
    } catch (const signer_failure& failure) {
      EXPECT_FALSE(c.chosen) << failure.detail().message;
      EXPECT_EQ(failure.detail().code, c.code);
    }
  }
  SetEnvironmentVariableW(L"NPC_CHOOSER_PICK", nullptr);
  try {
    run_chooser_program(L"Z:\\no\\such\\chooser.exe", shown, translation(), 5000);
    ADD_FAILURE() << "a missing chooser chose";
  } catch (const signer_failure& failure) {
    EXPECT_EQ(failure.detail().code, error_code::no_chooser);
  }
}

}  // namespace
}  // namespace npc::signer::win
