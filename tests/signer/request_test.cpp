// The request handling over a fake backend and fake dialogs: what a key gives back leaves only
// once its backend has verified it, encoded as the reply carries it (DER for ECDSA).
#include <gtest/gtest.h>

#include <string>

#include "core/crypto.hpp"
#include "request.hpp"
#include "signer_support.hpp"

namespace npc::test {
namespace {

namespace signer = npc::signer;

// What the fake key gives and whether the fake check accepts it, set per case.
struct key_script {
  signer::key_kind kind = signer::key_kind::rsa;
  std::string raw;
  bool verifies = true;
  std::string verified;  // what verify() was handed; "-" when it was not called
  int confirmations = 0;
};
key_script script;

class fake_backend final : public signer::backend {
 public:
  std::vector<std::pair<std::string, std::string>> versions() override { return {}; }
  std::string digest(const signer::hash_algorithm& hash, std::string_view) override {
    return std::string(hash.size, 'd');
  }
  std::vector<signer::certificate_record> certificates() override {
    signer::certificate_record record;
    record.info.fingerprint = "ab";
    record.info.kind = script.kind;
    record.der = "cert";
    return {record};
  }
  std::string sign(const signer::certificate_record&, const signer::signature_job& job,
                   const signer::sign_prompt& shown, signer::user_prompts& prompts) override {
    EXPECT_EQ(job.digest, std::string(32, 'd'));
    prompts.confirm(shown, signer::confirmation::signature);
    return script.raw;
  }
  bool verify(const signer::certificate_record&, const signer::signature_job&,
              std::string_view signature) override {
    script.verified = signature;
    return script.verifies;
  }
};

class fake_prompts final : public signer::user_prompts {
 public:
  void allow_certificates(std::string_view) override {}
  void allow_use(std::string_view) override {}
  std::string choose_certificate(const signer::chooser_prompt&) override {
    ADD_FAILURE() << "no chooser is shown for a request that names its certificate";
    return {};
  }
  void ask_pin(const signer::sign_prompt&, int, bool, signer::secret&) override {
    ADD_FAILURE() << "no PIN is asked of a key that needs none";
  }
  void confirm(const signer::sign_prompt&, signer::confirmation) override { ++script.confirmations; }
  bool use_token(const signer::sign_prompt&) override {
    ADD_FAILURE() << "no token is chosen where one holds the certificate";
    return false;
  }
};

const signer::request_services FAKES{[] { return std::unique_ptr<signer::backend>(new fake_backend); },
                                     [](std::string_view) { return std::unique_ptr<signer::user_prompts>(new fake_prompts); }};

TEST(request_handling, a_signature_leaves_verified_and_encoded) {
  using signer::key_kind;
  struct sign_case {
    const char* name;
    key_kind kind;
    std::string raw;
    bool verifies;
    std::string reply;  // the signature in the reply, or the error code
    std::string verified;
  };
  const sign_case table[] = {
      {"RSA block as given", key_kind::rsa, "sig", true, signer::base64_text("sig"), "sig"},
      {"ECDSA r and s as DER", key_kind::ec, std::string("\x01\x02", 2), true,
       signer::base64_text(std::string("\x30\x06\x02\x01\x01\x02\x01\x02", 8)), std::string("\x01\x02", 2)},
      {"a signature that does not verify", key_kind::rsa, "sig", false, "token_error", "sig"},
      {"ECDSA halves of unequal length", key_kind::ec, "abc", true, "token_error", "-"},
      {"no signature at all", key_kind::rsa, "", true, "token_error", "-"},
  };
  for (const sign_case& c : table) {
    SCOPED_TRACE(c.name);
    script = {c.kind, c.raw, c.verifies, "-", 0};
    const json_ptr reply = parse_reply(signer::answer(
        R"({"operation":"sign","certificate":"AB","data":"aGk=","padding":null})", FAKES));
    const bool ok = text_of(reply.get(), "status") == "ok";
    EXPECT_EQ(ok ? text_of(reply.get(), "signature") : text_of(reply.get(), "error"), c.reply);
    EXPECT_EQ(script.verified, c.verified);
    EXPECT_EQ(script.confirmations, 1);
  }
}

}  // namespace
}  // namespace npc::test
