// Shared by the signing library's tests: the throw-away SoftHSM2 token, replies as JSON, and an
// OpenSSL check of signatures that owes nothing to the library's own.
#pragma once

#include <gtest/gtest.h>
#include <jansson.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include "support.hpp"

namespace npc::test {

struct json_release {
  void operator()(json_t* value) const { json_decref(value); }
};
using json_ptr = std::unique_ptr<json_t, json_release>;

// A reply parsed as a JSON object; a reply that is no JSON object fails the test.
inline json_ptr parse_reply(const std::string& reply) {
  json_error_t error;
  json_ptr root(json_loads(reply.c_str(), 0, &error));
  EXPECT_TRUE(root && json_is_object(root.get())) << "not a JSON object: " << reply.substr(0, 300);
  return root ? std::move(root) : json_ptr(json_object());
}

inline std::string text_of(const json_t* object, const char* key) {
  const json_t* value = json_object_get(object, key);
  return json_is_string(value) ? std::string(json_string_value(value), json_string_length(value)) : "";
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets a variable for as long as it lives, then puts the old value back.
class scoped_env {
 public:
  scoped_env(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~scoped_env() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// SoftHSM2's module as Debian installs it, or as NPC_SOFTHSM_MODULE names it.
inline std::string softhsm_module() {
  if (const char* named = std::getenv("NPC_SOFTHSM_MODULE")) return named;
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                           "/usr/lib/aarch64-linux-gnu/softhsm/libsofthsm2.so",
                           "/usr/lib/softhsm/libsofthsm2.so", "/usr/local/lib/softhsm/libsofthsm2.so"}) {
    if (std::filesystem::exists(path)) return path;
  }
  return {};
}

// The token of scripts/softhsm-token: made once for the test program in a temporary folder, or
// the one that CTest's fixture made (NPC_TEST_TOKEN_DIR). SOFTHSM2_CONF points at it, and
// NPC_PKCS11_MODULES at SoftHSM2 alone, so that no module the machine registers (or is
// installing) takes part. Dialogs go to the stand-in pinentry, which gives the token's PIN unless
// a test scripts other answers; its script and record are this process's own.
class token_environment : public ::testing::Environment {
 public:
  static inline std::filesystem::path dir;

  void SetUp() override {
    if (const char* made = std::getenv("NPC_TEST_TOKEN_DIR");
        made && std::filesystem::exists(std::filesystem::path(made) / "softhsm2.conf")) {
      dir = made;
    } else {
      char pattern[] = "/tmp/npc-token-XXXXXX";
      ASSERT_NE(::mkdtemp(pattern), nullptr);
      dir = owned_ = pattern;
      const std::string command = std::string(NPC_SOFTHSM_TOKEN_SCRIPT) + " " + dir.string();
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    ::setenv("SOFTHSM2_CONF", (dir / "softhsm2.conf").c_str(), 1);
    ::setenv("NPC_PKCS11_MODULES", softhsm_module().c_str(), 1);
    ::setenv("NPC_PINENTRY", NPC_SCRIPTED_PINENTRY, 1);
    ::setenv("NPC_TEST_PINENTRY_PIN", "1234", 1);
    const std::string own = std::to_string(::getpid());
    ::setenv("NPC_TEST_PINENTRY_SCRIPT", (dir / ("pinentry-script-" + own)).c_str(), 1);
    ::setenv("NPC_TEST_PINENTRY_LOG", (dir / ("pinentry-log-" + own)).c_str(), 1);
  }
  void TearDown() override {
    if (!owned_.empty()) std::filesystem::remove_all(owned_);
  }

  static std::string der(const std::string& name) { return read_file(dir / (name + ".crt.der")); }

  // The id the library gives a certificate: the SHA-256 of its DER, in lowercase hex.
  static std::string id(const std::string& name) {
    const std::string bytes = der(name);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
      hex += "0123456789abcdef"[digest[i] >> 4];
      hex += "0123456789abcdef"[digest[i] & 15];
    }
    return hex;
  }

 private:
  std::filesystem::path owned_;
};

// Whether `signature` verifies over `data` (or, with `prehashed`, over the digest `data`) with
// the certificate's key: PKCS#1 v1.5 or PSS (salt as long as the digest) for RSA, DER ECDSA.
inline bool openssl_verifies(const std::string& certificate_der, const std::string& hash_name,
                             bool pss, bool prehashed, const std::string& data,
                             const std::string& signature) {
  auto bytes = reinterpret_cast<const unsigned char*>(certificate_der.data());
  std::unique_ptr<X509, decltype(&X509_free)> certificate(
      d2i_X509(nullptr, &bytes, static_cast<long>(certificate_der.size())), &X509_free);
  const EVP_MD* md = EVP_get_digestbyname(hash_name.c_str());
  if (!certificate || !md) return false;
  EVP_PKEY* key = X509_get0_pubkey(certificate.get());
  auto sig = reinterpret_cast<const unsigned char*>(signature.data());
  auto in = reinterpret_cast<const unsigned char*>(data.data());
  auto set_padding = [&](EVP_PKEY_CTX* context) {
    return !pss || (EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST) == 1);
  };
  if (prehashed) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key, nullptr),
                                                                        &EVP_PKEY_CTX_free);
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), md) == 1 && set_padding(context.get()) &&
           EVP_PKEY_verify(context.get(), sig, signature.size(), in, data.size()) == 1;
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_PKEY_CTX* key_context = nullptr;
  return context && EVP_DigestVerifyInit(context.get(), &key_context, md, nullptr, key) == 1 &&
         set_padding(key_context) &&
         EVP_DigestVerify(context.get(), sig, signature.size(), in, data.size()) == 1;
}

}  // namespace npc::test
