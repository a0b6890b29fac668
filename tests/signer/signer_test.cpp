// The bundled signing library in-process, through its two exported entry points, against the
// throw-away SoftHSM2 token: listing, signing (checked with OpenSSL), and every failure code.
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "signer_support.hpp"

namespace npc::test {
namespace {

constexpr std::size_t MAX_DATA_SIZE = 16 * 1024 * 1024;

// The library under test, loaded once; each query checks that nothing reached standard output.
class signer_library {
 public:
  signer_library() {
    handle_ = ::dlopen(NPC_SIGNER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) return;
    process_ = reinterpret_cast<decltype(process_)>(::dlsym(handle_, "addon_process_query"));
    free_ = reinterpret_cast<decltype(free_)>(::dlsym(handle_, "addon_free"));
  }
  bool loaded() const { return process_ && free_; }

  std::string query(const std::string& request) {
    std::fflush(stdout);
    const int saved = ::dup(1);
    std::FILE* capture = std::tmpfile();
    ::dup2(::fileno(capture), 1);
    const char* result = process_(request.c_str(), "");
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    EXPECT_EQ(std::ftell(capture), 0) << "the library wrote to standard output";
    std::fclose(capture);
    EXPECT_NE(result, nullptr);
    std::string reply = result ? result : "";
    free_(result);
    return reply;
  }

  json_ptr ask(const std::string& request) { return parse_reply(query(request)); }

 private:
  void* handle_ = nullptr;
  const char* (*process_)(const char*, const char*) = nullptr;
  void (*free_)(const char*) = nullptr;
};

signer_library& library() {
  static signer_library instance;
  return instance;
}

// Replaces each "$name" with the id of that test certificate.
std::string with_ids(std::string text) {
  for (const char* name : {"rsa", "ec256", "ec384"}) {
    const std::string mark = std::string("$") + name;
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;) {
      text.replace(at, mark.size(), token_environment::id(name));
    }
  }
  return text;
}

class signer_test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library().loaded()) << ::dlerror(); }
};

void expect_error(const json_t* reply, const std::string& code, const std::string& field = "") {
  EXPECT_EQ(text_of(reply, "status"), "error");
  EXPECT_EQ(text_of(reply, "error"), code);
  EXPECT_FALSE(text_of(reply, "message").empty());
  EXPECT_EQ(text_of(reply, "field"), field);
}

TEST_F(signer_test, version_names_the_library_and_its_operations) {
  const json_ptr reply = library().ask(R"({"operation":"version"})");
  EXPECT_EQ(text_of(reply.get(), "status"), "ok");
  EXPECT_TRUE(std::regex_match(text_of(reply.get(), "version"), std::regex(R"(\d+\.\d+\.\d+)")));
  EXPECT_EQ(json_array_size(json_object_get(reply.get(), "operations")), 4u);
}

TEST_F(signer_test, certificates_describe_every_certificate_on_the_token) {
  struct expected {
    const char* name;
    const char* common_name;
    const char* key_type;
    int key_size;
    const char* curve;
  };
  const expected table[] = {{"rsa", "NPC Test RSA", "RSA", 2048, ""},
                            {"ec256", "NPC Test EC P-256", "EC", 256, "P-256"},
                            {"ec384", "NPC Test EC P-384", "EC", 384, "P-384"}};
  const json_ptr reply = library().ask(R"({"operation":"certificates"})");
  ASSERT_EQ(text_of(reply.get(), "status"), "ok");
  const json_t* list = json_object_get(reply.get(), "certificates");
  const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
  for (const expected& want : table) {
    SCOPED_TRACE(want.name);
    const json_t* found = nullptr;
    for (std::size_t i = 0; i < json_array_size(list); ++i) {
      if (text_of(json_array_get(list, i), "id") == token_environment::id(want.name)) {
        found = json_array_get(list, i);
      }
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(text_of(found, "label"), want.name);
    EXPECT_EQ(text_of(found, "common_name"), want.common_name);
    EXPECT_EQ(text_of(found, "subject"), std::string("O=npcorvane tests,CN=") + want.common_name);
    EXPECT_EQ(text_of(found, "issuer"), text_of(found, "subject"));
    EXPECT_EQ(text_of(found, "key_type"), want.key_type);
    EXPECT_EQ(json_integer_value(json_object_get(found, "key_size")), want.key_size);
    EXPECT_EQ(text_of(found, "curve"), want.curve);
    EXPECT_TRUE(std::regex_match(text_of(found, "not_before"), time));
    EXPECT_LT(text_of(found, "not_before"), text_of(found, "not_after"));
    EXPECT_EQ(unbase64(text_of(found, "certificate")), token_environment::der(want.name));
    EXPECT_EQ(text_of(json_object_get(found, "token"), "label"), "npc-test");
  }
  // p11-kit's trust store holds authorities' certificates, never keys: it is not asked.
  for (std::size_t i = 0; i < json_array_size(list); ++i) {
    EXPECT_NE(text_of(json_object_get(json_array_get(list, i), "token"), "model"), "p11-kit-trust");
  }
}

TEST_F(signer_test, signatures_verify_with_openssl) {
  struct sign_case {
    const char* name;
    const char* hash;     // as the request names it; empty: the default
    const char* padding;  // empty: the default
    bool prehashed;
    const char* algorithm;
    const char* openssl_hash;
  };
  const sign_case table[] = {
      {"rsa", "", "", false, "RSA-PKCS1-SHA256", "SHA256"},
      {"rsa", "SHA-512", "pkcs1", true, "RSA-PKCS1-SHA512", "SHA512"},
      {"rsa", "sha256", "pss", false, "RSA-PSS-SHA256", "SHA256"},
      {"rsa", "SHA384", "PSS", true, "RSA-PSS-SHA384", "SHA384"},
      {"ec256", "SHA-256", "", false, "ECDSA-SHA256", "SHA256"},
      {"ec256", "SHA-512", "", false, "ECDSA-SHA512", "SHA512"},  // longer than the curve
      {"ec384", "SHA-384", "", true, "ECDSA-SHA384", "SHA384"},
  };
  const std::string data = "a document to sign\n" + std::string(1000, 'x');
  for (const sign_case& c : table) {
    SCOPED_TRACE(std::string(c.name) + " " + c.algorithm + (c.prehashed ? " digest" : " data"));
    std::string input = data;
    if (c.prehashed) {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned length = 0;
      EVP_Digest(data.data(), data.size(), digest, &length, EVP_get_digestbyname(c.openssl_hash), nullptr);
      input.assign(reinterpret_cast<char*>(digest), length);
    }
    json_ptr request(json_pack("{s:s, s:s, s:s, s:s}", "operation", "sign", "certificate",
                               token_environment::id(c.name).c_str(), c.prehashed ? "digest" : "data",
                               base64_of(input).c_str(), "pin", "1234"));
    if (*c.hash) json_object_set_new(request.get(), "hash", json_string(c.hash));
    if (*c.padding) json_object_set_new(request.get(), "padding", json_string(c.padding));
    char* text = json_dumps(request.get(), 0);
    const json_ptr reply = library().ask(text);
    std::free(text);
    ASSERT_EQ(text_of(reply.get(), "status"), "ok") << text_of(reply.get(), "message");
    EXPECT_EQ(text_of(reply.get(), "algorithm"), c.algorithm);
    EXPECT_EQ(text_of(reply.get(), "certificate_id"), token_environment::id(c.name));
    const std::string certificate = unbase64(text_of(reply.get(), "certificate"));
    EXPECT_EQ(certificate, token_environment::der(c.name));
    EXPECT_TRUE(openssl_verifies(certificate, c.openssl_hash, std::string(c.padding) == "PSS" ||
                                     std::string(c.padding) == "pss",
                                 c.prehashed, input, unbase64(text_of(reply.get(), "signature"))));
  }
}

TEST_F(signer_test, every_failure_is_an_error_reply_with_its_code) {
  struct failure_case {
    const char* request;
    const char* code;
    const char* field;
  };
  const failure_case table[] = {
      {"", "bad_json", ""},
      {"sign this", "bad_json", ""},
      {R"({"operation":"version")", "bad_json", ""},
      {R"({"operation":"version","operation":"echo"})", "bad_json", ""},
      {R"(["operation","version"])", "bad_request", ""},
      {R"("version")", "bad_request", ""},
      {R"({})", "missing_field", "operation"},
      {R"({"operation":7})", "bad_request", "operation"},
      {R"({"operation":"decrypt"})", "unknown_operation", "operation"},
      {R"({"operation":"echo"})", "missing_field", "data"},
      {R"({"operation":"sign","data":"aGk=","pin":"1234"})", "missing_field", "certificate"},
      {R"({"operation":"sign","certificate":"$rsa","pin":"1234"})", "missing_field", "data"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk="})", "missing_field", "pin"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","digest":"aGk=","pin":"1234"})",
       "bad_request", "digest"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk","pin":"1234"})", "bad_request", "data"},
      {R"({"operation":"sign","certificate":"$rsa","data":"a*k=","pin":"1234"})", "bad_request", "data"},
      {R"({"operation":"sign","certificate":"$rsa","data":["aGk="],"pin":"1234"})", "bad_request", "data"},
      {R"({"operation":"sign","certificate":"$rsa","digest":"aGk=","pin":"1234"})", "bad_request", "digest"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","pin":1234})", "bad_request", "pin"},
      {R"({"operation":"sign","certificate":"00ff","data":"aGk=","pin":"1234"})",
       "certificate_not_found", "certificate"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","hash":"MD5","pin":"1234"})",
       "unsupported_algorithm", "hash"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","hash":"SHA-1","pin":"1234"})",
       "unsupported_algorithm", "hash"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","padding":"oaep","pin":"1234"})",
       "unsupported_algorithm", "padding"},
      {R"({"operation":"sign","certificate":"$ec256","data":"aGk=","padding":"pss","pin":"1234"})",
       "unsupported_algorithm", "padding"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","pin":"4321"})", "pin_incorrect", "pin"},
      {R"({"operation":"sign","certificate":"$ec384","data":"aGk=","pin":""})", "pin_incorrect", "pin"},
  };
  for (const failure_case& c : table) {
    SCOPED_TRACE(c.request);
    const json_ptr reply = library().ask(with_ids(c.request));
    expect_error(reply.get(), c.code, c.field);
  }
}

TEST_F(signer_test, data_is_accepted_up_to_the_limit_and_refused_beyond) {
  for (const std::size_t size : {MAX_DATA_SIZE, MAX_DATA_SIZE + 1}) {
    const std::string data(size, 'd');
    const json_ptr signed_reply = library().ask(with_ids(
        R"({"operation":"sign","certificate":"$ec256","pin":"1234","data":")" + base64_of(data) + "\"}"));
    const json_ptr echo_reply = library().ask(R"({"operation":"echo","data":")" + data + "\"}");
    if (size == MAX_DATA_SIZE) {
      EXPECT_TRUE(openssl_verifies(token_environment::der("ec256"), "SHA256", false, false, data,
                                   unbase64(text_of(signed_reply.get(), "signature"))));
      EXPECT_EQ(text_of(echo_reply.get(), "data"), data);
    } else {
      expect_error(signed_reply.get(), "data_too_large", "data");
      expect_error(echo_reply.get(), "data_too_large", "data");
    }
  }
}

TEST_F(signer_test, replies_carry_the_request_id_back) {
  const json_ptr ok = library().ask(R"({"operation":"echo","data":"ä\n\"x\"","id":{"n":[1,2]}})");
  EXPECT_EQ(text_of(ok.get(), "data"), "ä\n\"x\"");
  EXPECT_EQ(json_integer_value(json_array_get(json_object_get(json_object_get(ok.get(), "id"), "n"), 1)), 2);
  const json_ptr failed = library().ask(R"({"operation":"nothing","id":"r-17"})");
  EXPECT_EQ(text_of(failed.get(), "id"), "r-17");
  EXPECT_EQ(text_of(failed.get(), "operation"), "nothing");
}

// Each request loads and finalises the modules: nothing may pile up across calls.
TEST_F(signer_test, repeated_requests_give_the_same_answers_and_leave_nothing_open) {
  auto open_descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const std::string request =
      with_ids(R"({"operation":"sign","certificate":"$ec384","pin":"1234","data":"aGk="})");
  library().ask(request);
  const auto before = open_descriptors();
  for (int round = 0; round < 25; ++round) {
    const json_ptr listed = library().ask(R"({"operation":"certificates"})");
    EXPECT_GE(json_array_size(json_object_get(listed.get(), "certificates")), 3u);
    const json_ptr reply = library().ask(request);
    EXPECT_TRUE(openssl_verifies(token_environment::der("ec384"), "SHA256", false, false, "hi",
                                 unbase64(text_of(reply.get(), "signature"))));
  }
  EXPECT_EQ(open_descriptors(), before);
}

// NPC_PKCS11_MODULES names the modules instead of p11-kit's list; one that does not load is
// skipped. SoftHSM2 with an empty token folder shows one slot whose token was never initialised:
// no token at all to this library.
TEST_F(signer_test, modules_can_be_named_and_no_initialised_token_is_no_token) {
  const std::filesystem::path empty = token_environment::dir / "empty";
  std::filesystem::create_directories(empty / "tokens");
  std::ofstream(empty / "softhsm2.conf") << "directories.tokendir = " << (empty / "tokens").string() << "\n";
  const std::string token_conf = (token_environment::dir / "softhsm2.conf").string();
  const std::string empty_conf = (empty / "softhsm2.conf").string();
  struct modules_case {
    std::string conf;
    std::string modules;
    const char* code;  // empty: the test certificates are listed
  };
  const modules_case table[] = {
      {token_conf, softhsm_module(), ""},
      {token_conf, "/nonexistent/module.so:" + softhsm_module(), ""},
      {empty_conf, softhsm_module(), "no_token"},
      {token_conf, "/nonexistent/module.so", "no_token"},
  };
  for (const modules_case& c : table) {
    SCOPED_TRACE(c.conf + " " + c.modules);
    const scoped_env conf("SOFTHSM2_CONF", c.conf);
    const scoped_env named("NPC_PKCS11_MODULES", c.modules);
    const json_ptr listed = library().ask(R"({"operation":"certificates"})");
    const json_ptr signed_reply =
        library().ask(with_ids(R"({"operation":"sign","certificate":"$ec256","data":"","pin":"1234"})"));
    if (*c.code == '\0') {
      EXPECT_EQ(json_array_size(json_object_get(listed.get(), "certificates")), 3u);
      EXPECT_EQ(text_of(signed_reply.get(), "status"), "ok");
    } else {
      expect_error(listed.get(), c.code);
      expect_error(signed_reply.get(), c.code);
    }
  }
}

// SoftHSM2 never blocks a PIN, so a module in front of it counts the tries as a card does,
// keeping the count in a file because every request loads the module afresh.
TEST_F(signer_test, a_pin_blocks_after_three_wrong_tries) {
  const std::filesystem::path count = token_environment::dir / "pin-tries";
  std::filesystem::remove(count);
  const scoped_env named("NPC_PKCS11_MODULES", NPC_PIN_LIMIT_MODULE);
  const scoped_env wrapped("NPC_TEST_WRAPPED_MODULE", softhsm_module());
  const scoped_env file("NPC_TEST_PIN_TRIES_FILE", count.string());
  struct step {
    const char* pin;
    const char* code;  // empty: a signature
    int tries_left;
  };
  const step steps[] = {{"0000", "pin_incorrect", -1}, {"1234", "", -1},  // a good PIN resets the count
                        {"0000", "pin_incorrect", -1}, {"0000", "pin_incorrect", 1},
                        {"0000", "pin_locked", -1},    {"1234", "pin_locked", -1}};
  for (const step& s : steps) {
    SCOPED_TRACE(std::string(s.pin) + " " + s.code);
    const json_ptr reply = library().ask(with_ids(
        R"({"operation":"sign","certificate":"$rsa","data":"aGk=","pin":")" + std::string(s.pin) + "\"}"));
    if (*s.code == '\0') {
      EXPECT_EQ(text_of(reply.get(), "status"), "ok") << text_of(reply.get(), "message");
      continue;
    }
    EXPECT_EQ(text_of(reply.get(), "error"), s.code);
    const json_t* tries = json_object_get(reply.get(), "tries_left");
    EXPECT_EQ(tries ? json_integer_value(tries) : -1, s.tries_left);
  }
}

}  // namespace
}  // namespace npc::test
