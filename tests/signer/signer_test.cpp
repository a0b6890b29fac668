// The bundled signing library in-process, through its two exported entry points, against the
// throw-away SoftHSM2 token: listing, signing (checked with OpenSSL), and every failure code.
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <vector>

#include "core/dialog_content.hpp"
#include "core/translation.hpp"
#include "dialogs/pinentry.hpp"
#include "dialogs/pinentry_process.hpp"
#include "pkcs11/pcsc.hpp"
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
  for (const char* name : {"rsa", "ec256", "ec384", "login"}) {
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
  EXPECT_EQ(json_array_size(json_object_get(reply.get(), "operations")), 6u);
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
  // With the machine's own modules: p11-kit's trust store holds authorities' certificates, never
  // keys, and is not asked (whatever else the machine registers, or fails to load).
  const char* named = std::getenv("NPC_PKCS11_MODULES");
  const std::string modules = named ? named : "";
  ::unsetenv("NPC_PKCS11_MODULES");
  const json_ptr registered = library().ask(R"({"operation":"certificates"})");
  ::setenv("NPC_PKCS11_MODULES", modules.c_str(), 1);
  const json_t* all = json_object_get(registered.get(), "certificates");
  for (std::size_t i = 0; i < json_array_size(all); ++i) {
    EXPECT_NE(text_of(json_object_get(json_array_get(all, i), "token"), "model"), "p11-kit-trust");
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
    json_ptr request(json_pack("{s:s, s:s, s:s}", "operation", "sign", "certificate",
                               token_environment::id(c.name).c_str(), c.prehashed ? "digest" : "data",
                               base64_of(input).c_str()));
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
      {R"({"operation":"sign","data":"aGk="})", "missing_field", "certificate"},
      {R"({"operation":"sign","certificate":"$rsa"})", "missing_field", "data"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","digest":"aGk="})",
       "bad_request", "digest"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk"})", "bad_request", "data"},
      {R"({"operation":"sign","certificate":"$rsa","data":"a*k="})", "bad_request", "data"},
      {R"({"operation":"sign","certificate":"$rsa","data":["aGk="]})", "bad_request", "data"},
      {R"({"operation":"sign","certificate":"$rsa","digest":"aGk="})", "bad_request", "digest"},
      // The PIN is typed into the dialog only: a request carrying one reaches no token.
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","pin":1234})", "pin_in_request", "pin"},
      {R"({"operation":"sign","certificate":"00ff","data":"aGk="})",
       "certificate_not_found", "certificate"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","hash":"MD5"})",
       "unsupported_algorithm", "hash"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","hash":"SHA-1"})",
       "unsupported_algorithm", "hash"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","padding":"oaep"})",
       "unsupported_algorithm", "padding"},
      {R"({"operation":"sign","certificate":"$ec256","data":"aGk=","padding":"pss"})",
       "unsupported_algorithm", "padding"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","pin":"1234"})", "pin_in_request", "pin"},
      {R"({"operation":"sign","certificate":"$ec384","data":"aGk=","pin":""})", "pin_in_request", "pin"},
      // Error texts never repeat the request ("s3cr3t" stands for whatever it holds).
      {R"({"operation":"sign","pin":"s3cr3t")", "bad_json", ""},
      {R"({"operation":"sign","certificate":"s3cr3t","data":"aGk="})", "certificate_not_found", "certificate"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","hash":"s3cr3t"})", "unsupported_algorithm", "hash"},
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","padding":"s3cr3t"})", "unsupported_algorithm", "padding"},
  };
  for (const failure_case& c : table) {
    SCOPED_TRACE(c.request);
    const json_ptr reply = library().ask(with_ids(c.request));
    expect_error(reply.get(), c.code, c.field);
    EXPECT_EQ(text_of(reply.get(), "message").find("s3cr3t"), std::string::npos);
  }
}

TEST_F(signer_test, data_is_accepted_up_to_the_limit_and_refused_beyond) {
  for (const std::size_t size : {MAX_DATA_SIZE, MAX_DATA_SIZE + 1}) {
    const std::string data(size, 'd');
    const json_ptr signed_reply = library().ask(with_ids(
        R"({"operation":"sign","certificate":"$ec256","data":")" + base64_of(data) + "\"}"));
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
      with_ids(R"({"operation":"sign","certificate":"$ec384","data":"aGk="})");
  library().ask(request);
  const auto before = open_descriptors();
  for (int round = 0; round < 25; ++round) {
    const json_ptr listed = library().ask(R"({"operation":"certificates"})");
    EXPECT_GE(json_array_size(json_object_get(listed.get(), "certificates")), 4u);
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
        library().ask(with_ids(R"({"operation":"sign","certificate":"$ec256","data":""})"));
    if (*c.code == '\0') {
      EXPECT_EQ(json_array_size(json_object_get(listed.get(), "certificates")), 4u);
      EXPECT_EQ(text_of(signed_reply.get(), "status"), "ok");
    } else {
      expect_error(listed.get(), c.code);
      expect_error(signed_reply.get(), c.code);
    }
  }
}

// The stand-in pinentry's script (answers for the dialogs to come) and record, and the logins
// the module in front of SoftHSM2 saw.
void script_dialogs(const std::vector<std::string>& answers) {
  std::ofstream script(std::getenv("NPC_TEST_PINENTRY_SCRIPT"), std::ios::trunc);
  for (const std::string& answer : answers) script << answer << "\n";
  std::filesystem::remove(std::getenv("NPC_TEST_PINENTRY_LOG"));
}

std::string dialog_record() { return read_file(std::getenv("NPC_TEST_PINENTRY_LOG")); }

// Gives `origin` (as JSON text) the user's consent, so that a case can be about the dialogs
// that follow it.
void allow_origin(const std::string& origin) {
  script_dialogs({"ok"});
  library().ask(R"({"operation":"certificates","origin":")" + origin + "\"}");
}

// The lines of the record that start with `command`, the command itself left out.
std::vector<std::string> recorded(const std::string& command) {
  std::vector<std::string> found;
  std::istringstream lines(dialog_record());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(command, 0) == 0) found.push_back(line.substr(std::min(line.size(), command.size() + 1)));
  }
  return found;
}

std::vector<std::string> lines_of(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::istringstream in(read_file(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The module that counts PIN tries as a card does, in front of SoftHSM2, for one test.
class card_module {
 public:
  explicit card_module(int tries)
      : named_("NPC_PKCS11_MODULES", NPC_PIN_LIMIT_MODULE),
        wrapped_("NPC_TEST_WRAPPED_MODULE", softhsm_module()),
        tries_file_("NPC_TEST_PIN_TRIES_FILE", (token_environment::dir / own("tries")).string()),
        login_log_("NPC_TEST_LOGIN_LOG", (token_environment::dir / own("logins")).string()) {
    std::ofstream(std::getenv("NPC_TEST_PIN_TRIES_FILE")) << tries << "\n";
    std::filesystem::remove(std::getenv("NPC_TEST_LOGIN_LOG"));
  }
  std::vector<std::string> logins() const { return lines_of(std::getenv("NPC_TEST_LOGIN_LOG")); }
  int tries() const { return std::stoi(read_file(std::getenv("NPC_TEST_PIN_TRIES_FILE"))); }

 private:
  static std::string own(const char* what) { return std::string(what) + "-" + std::to_string(::getpid()); }
  scoped_env named_, wrapped_, tries_file_, login_log_;
};

// Every way a signature's dialogs can go, on a card that locks after three wrong PINs: what the
// user answers, what reaches the token's C_Login, and what the reply says.
TEST_F(signer_test, the_user_decides_each_signature_in_a_dialog) {
  struct dialog_case {
    const char* what;
    int tries;                               // PIN tries left before
    std::vector<std::pair<const char*, std::string>> env;  // more variables for the case
    std::vector<std::string> answers;
    const char* more;                        // appended to the request
    const char* code;                        // empty: a signature that verifies
    std::vector<std::string> logins;         // what C_Login got, in order
    std::vector<std::string> dialogs;        // GETPIN and CONFIRM, in order
    int tries_after;
  };
  const dialog_case table[] = {
      {"a PIN typed into the dialog", 3, {}, {"pin 1234"}, "", "", {"1234"}, {"GETPIN"}, 3},
      {"cancel", 3, {}, {"cancel"}, "", "cancelled", {}, {"GETPIN"}, 3},
      {"an empty PIN is a cancel", 3, {}, {"empty"}, "", "cancelled", {}, {"GETPIN"}, 3},
      {"a PIN in the request", 3, {}, {}, R"(,"pin":"1234")", "pin_in_request", {}, {}, 3},
      {"a wrong PIN is asked again", 3, {}, {"pin 0000", "pin 1234"}, "", "", {"0000", "1234"},
       {"GETPIN", "GETPIN"}, 3},
      {"the final try only once confirmed", 3, {}, {"pin 0000", "pin 0000", "ok", "pin 0000"}, "",
       "pin_locked", {"0000", "0000", "0000"}, {"GETPIN", "GETPIN", "CONFIRM", "GETPIN"}, 0},
      {"the final try refused", 3, {}, {"pin 0000", "pin 0000", "refuse"}, "", "cancelled",
       {"0000", "0000"}, {"GETPIN", "GETPIN", "CONFIRM"}, 1},
      {"the final try from the start", 1, {}, {"ok", "pin 1234"}, "", "", {"1234"},
       {"CONFIRM", "GETPIN"}, 3},
      {"a locked PIN asks nothing", 0, {}, {}, "", "pin_locked", {}, {}, 0},
      {"a PIN pad", 3, {{"NPC_TEST_PIN_PAD", "1234"}}, {"ok"}, "", "", {"(pad)"}, {"CONFIRM"}, 3},
      {"a PIN pad cancelled", 3, {{"NPC_TEST_PIN_PAD", "1234"}}, {"cancel"}, "", "cancelled", {},
       {"CONFIRM"}, 3},
      {"a pinentry without a display", 3, {}, {"fail"}, "", "no_pin_entry", {}, {"GETPIN"}, 3},
      {"a pinentry that refuses the description", 3, {}, {"nodesc"}, "", "no_pin_entry", {}, {}, 3},
      {"no pinentry at all", 3, {{"NPC_PINENTRY", "/nonexistent/pinentry"}}, {}, "", "no_pin_entry",
       {}, {}, 3},
      {"an inflated signature length", 3, {{"NPC_TEST_SIGN_LENGTH", "2147483648"}}, {}, "",
       "token_error", {"1234"}, {"GETPIN"}, 3},
      // A module's lengths are bounded before they are used: no read past a buffer, no terabyte,
      // no endless loop; the module's tokens are passed over and no dialog is shown.
      {"object counts past the buffer", 3, {{"NPC_TEST_LIE", "objects"}}, {}, "",
       "certificate_not_found", {}, {}, 3},
      // In its own process p11-kit's remote program gives up on the terabyte first (token_error):
      // the library's own bound is held in the host's process.
      {"an attribute of a terabyte", 3, {{"NPC_TEST_LIE", "attribute"}, {"NPC_PKCS11_IN_PROCESS", "1"}},
       {}, "", "certificate_not_found", {}, {}, 3},
      {"a slot list that never fits", 3, {{"NPC_TEST_LIE", "slots"}}, {}, "", "no_token", {}, {}, 3},
  };
  allow_origin("https://shop.example");
  for (const dialog_case& c : table) {
    SCOPED_TRACE(c.what);
    const card_module card(c.tries);
    std::vector<std::unique_ptr<scoped_env>> env;
    for (const auto& [name, value] : c.env) env.push_back(std::make_unique<scoped_env>(name, value));
    script_dialogs(c.answers);
    const json_ptr reply = library().ask(with_ids(
        R"({"operation":"sign","certificate":"$rsa","data":"aGk=","origin":"https://shop.example")" +
        std::string(c.more) + "}"));
    if (*c.code == '\0') {
      EXPECT_TRUE(openssl_verifies(token_environment::der("rsa"), "SHA256", false, false, "hi",
                                   unbase64(text_of(reply.get(), "signature"))))
          << text_of(reply.get(), "message");
    } else {
      EXPECT_EQ(text_of(reply.get(), "error"), c.code) << text_of(reply.get(), "message");
    }
    EXPECT_EQ(card.logins(), c.logins);
    std::vector<std::string> dialogs;
    for (const std::string& line : lines_of(std::getenv("NPC_TEST_PINENTRY_LOG"))) {
      if (line == "GETPIN" || line == "CONFIRM") dialogs.push_back(line);
    }
    EXPECT_EQ(dialogs, c.dialogs);
    EXPECT_EQ(card.tries(), c.tries_after);
  }
}

// What the dialogs say: who asks, with what certificate and token, over what data; a wrong PIN
// and the final try are told.
TEST_F(signer_test, the_dialog_says_who_asks_and_what_is_signed) {
  const json_ptr listed = library().ask(R"({"operation":"certificates"})");
  std::string serial;
  const json_t* list = json_object_get(listed.get(), "certificates");
  for (std::size_t i = 0; i < json_array_size(list); ++i) {
    if (text_of(json_array_get(list, i), "label") == "rsa") serial = text_of(json_array_get(list, i), "serial");
  }
  // Each value is isolated (FSI ... PDI), which Assuan sends as they are.
  const std::string shown = "Certificate: \u2068NPC Test RSA\u2069%0AIssued by: \u2068O=npcorvane tests,CN=NPC "
                            "Test RSA\u2069%0ASerial number: \u2068" +
                            serial + "\u2069%0AToken: \u2068npc-test\u2069%0A";
  struct text_case {
    std::string request;
    std::vector<std::string> answers;
    std::string description;  // the first SETDESC, as sent
    const char* error;        // the SETERROR sent, if any
  };
  const text_case table[] = {
      {R"({"operation":"sign","certificate":"$rsa","data":"aGk=","origin":"https://shop.example"})",
       {"pin 1234"},
       "A site asks for your signature.%0A%0ASite: \u2068shop.example\u2069%0AAddress: "
       "\u2068https://shop.example\u2069%0A" + shown +
           "SHA-256 of the data:%0A  8f434346 648f6b96 df89dda9 01c5176b%0A  10a6d839 61dd3c1a "
           "c88b59b2 dc327aa4",
       ""},
      // A forged line break in the origin stays on its line; no origin is said to be none.
      {R"({"operation":"sign","certificate":"$rsa","hash":"SHA-384","data":"aGk=","origin":"https://a.example\nCertificate: Bank"})",
       {"pin 0000", "pin 1234"},
       "A site asks for your signature.%0A%0AAddress: \u2068https://a.example Certificate: Bank\u2069%0A" +
           shown +
           "SHA-256 of the data:%0A  8f434346 648f6b96 df89dda9 01c5176b%0A  10a6d839 61dd3c1a "
           "c88b59b2 dc327aa4",
       "Wrong PIN. Try again."},
      {R"({"operation":"sign","certificate":"$rsa","digest":"j0NDRmSPa5bfid2pAcUXaxCm2Dlh3TwayItZstwyeqQ="})",
       {"pin 1234"},
       "A signature is requested, but the request does not say by whom.%0A%0A" + shown +
           "SHA-256 digest given by the site:%0A  8f434346 648f6b96 df89dda9 01c5176b%0A  10a6d839 "
           "61dd3c1a c88b59b2 dc327aa4%0A%0AThe site gives only a ready-made digest: the document cannot "
           "be shown.",
       ""},
  };
  for (const char* origin : {"https://shop.example", "https://a.example\\nCertificate: Bank"}) allow_origin(origin);
  for (const text_case& c : table) {
    SCOPED_TRACE(c.request);
    script_dialogs(c.answers);
    const json_ptr reply = library().ask(with_ids(c.request));
    EXPECT_EQ(text_of(reply.get(), "status"), "ok") << text_of(reply.get(), "message");
    const auto descriptions = recorded("SETDESC");
    ASSERT_FALSE(descriptions.empty());
    EXPECT_EQ(descriptions[0], c.description);
    EXPECT_EQ(recorded("SETPROMPT"), std::vector<std::string>(c.answers.size(), "PIN:"));
    EXPECT_EQ(recorded("SETOK").at(0), "_Sign");
    const auto errors = recorded("SETERROR");
    EXPECT_EQ(errors.empty() ? "" : errors[0], c.error);
  }
  // The final try is named before the PIN is asked.
  const card_module card(1);
  script_dialogs({"ok", "pin 1234"});
  library().ask(with_ids(R"({"operation":"sign","certificate":"$rsa","data":"aGk="})"));
  const auto descriptions = recorded("SETDESC");
  ASSERT_EQ(descriptions.size(), 2u);
  EXPECT_NE(descriptions[0].find("%0A%0AOnly one PIN try is left: a wrong PIN now locks the token."),
            std::string::npos);
  EXPECT_NE(descriptions[1].find("%0A%0AThis is the last PIN try."), std::string::npos);
}

// The first "certificates" of an origin asks the user; a refusal is "cancelled" and holds, without
// a dialog, for the host's life, as an approval does, for that origin alone.
TEST_F(signer_test, reading_certificates_needs_the_users_consent_once_per_origin) {
  struct step {
    const char* origin;
    std::vector<std::string> answers;
    const char* code;  // empty: the certificates are listed
    std::size_t asked;
  };
  const step steps[] = {
      {"https://consent-a.example", {"refuse"}, "cancelled", 1},
      {"https://consent-a.example", {"ok"}, "cancelled", 0},
      {"https://consent-c.example", {"ok"}, "", 1},
      {"https://consent-c.example", {}, "", 0},
      {"https://consent-b.example", {"cancel"}, "cancelled", 1},
  };
  for (const step& s : steps) {
    SCOPED_TRACE(std::string(s.origin) + " " + s.code);
    script_dialogs(s.answers);
    const json_ptr reply =
        library().ask(R"({"operation":"certificates","origin":")" + std::string(s.origin) + "\"}");
    if (*s.code == '\0') {
      EXPECT_EQ(json_array_size(json_object_get(reply.get(), "certificates")), 4u);
    } else {
      EXPECT_EQ(text_of(reply.get(), "error"), s.code);
    }
    const auto asked = recorded("CONFIRM");
    EXPECT_EQ(asked.size(), s.asked);
    if (s.asked > 0) {
      EXPECT_EQ(recorded("SETDESC").at(0).rfind("A site asks to read", 0), 0u);
      EXPECT_NE(recorded("SETDESC").at(0).find("Address: \u2068" + std::string(s.origin) + "\u2069"),
                std::string::npos);
    }
  }
}

// The start of a shell script that copies the shared token's folder to `dir` ($d in the script)
// with a SoftHSM2 configuration of its own, which the rest of the script then uses.
std::string token_copy_script(const std::filesystem::path& dir) {
  return "set -e; d='" + dir.string() + "'; rm -rf \"$d\"; mkdir -p \"$d/tokens\"; cp -r '" +
         (token_environment::dir / "tokens").string() + "/.' \"$d/tokens/\"\n" +
         "printf 'directories.tokendir = %s\\nobjectstore.backend = file\\nlog.level = ERROR\\n' \"$d/tokens\" "
         ">\"$d/softhsm2.conf\"; export SOFTHSM2_CONF=\"$d/softhsm2.conf\"\n";
}

// Two tokens hold the RSA certificate under the same CKA_ID; on the first (in either slot order)
// the key beside it is another. The PIN and the signature go to the token whose key is the
// certificate's. A certificate for encryption only is refused before any dialog.
TEST_F(signer_test, the_key_that_matches_the_certificate_signs) {
  const std::filesystem::path two = token_environment::dir / ("two-" + std::to_string(::getpid()));
  const std::string module = softhsm_module();
  const std::string setup =
      token_copy_script(two) +
      "softhsm2-util --init-token --free --label npc-decoy --pin 1234 --so-pin 5678 >/dev/null\n"
      "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out \"$d/other.pem\" 2>/dev/null\n"
      "softhsm2-util --import \"$d/other.pem\" --token npc-decoy --label rsa --id 01 --pin 1234 >/dev/null\n"
      "pkcs11-tool --module '" + module + "' --token-label npc-decoy --login --pin 1234 --write-object '" +
      (token_environment::dir / "rsa.crt.der").string() + "' --type cert --id 01 --label rsa >/dev/null 2>&1\n"
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout \"$d/enc.pem\" -subj '/CN=NPC Test Encryption' "
      "-addext keyUsage=keyEncipherment -days 30 -outform DER -out \"$d/enc.der\" 2>/dev/null\n"
      "softhsm2-util --import \"$d/enc.pem\" --token npc-decoy --label enc --id 09 --pin 1234 >/dev/null\n"
      "pkcs11-tool --module '" + module + "' --token-label npc-decoy --login --pin 1234 --write-object "
      "\"$d/enc.der\" --type cert --id 09 --label enc >/dev/null 2>&1\n";
  ASSERT_EQ(std::system(setup.c_str()), 0);
  const scoped_env conf("SOFTHSM2_CONF", (two / "softhsm2.conf").string());
  const std::string encryption_id = [&] {
    const json_ptr listed = library().ask(R"({"operation":"certificates"})");
    const json_t* list = json_object_get(listed.get(), "certificates");
    EXPECT_EQ(json_array_size(list), 5u);
    for (std::size_t i = 0; i < json_array_size(list); ++i) {
      if (text_of(json_array_get(list, i), "label") == "enc") return text_of(json_array_get(list, i), "id");
    }
    return std::string();
  }();
  for (const bool reversed : {false, true}) {
    SCOPED_TRACE(reversed ? "slots reversed" : "slots in order");
    const card_module card(3);
    std::unique_ptr<scoped_env> order;
    if (reversed) order = std::make_unique<scoped_env>("NPC_TEST_REVERSE_SLOTS", "1");
    script_dialogs({});
    const json_ptr reply = library().ask(with_ids(R"({"operation":"sign","certificate":"$rsa","data":"aGk="})"));
    EXPECT_TRUE(openssl_verifies(token_environment::der("rsa"), "SHA256", false, false, "hi",
                                 unbase64(text_of(reply.get(), "signature"))))
        << text_of(reply.get(), "message");
    EXPECT_EQ(card.logins().size(), 1u);
    ASSERT_EQ(recorded("SETDESC").size(), 1u);
    EXPECT_NE(recorded("SETDESC")[0].find("%0AToken: \u2068npc-test\u2069%0A"), std::string::npos);

    script_dialogs({});
    const json_ptr refused = library().ask(
        R"({"operation":"sign","certificate":")" + encryption_id + R"(","data":"aGk="})");
    EXPECT_EQ(text_of(refused.get(), "error"), "not_for_signing");
    EXPECT_TRUE(recorded("SETDESC").empty());
  }
  std::filesystem::remove_all(two);
}

// A second token holds a copy of the whole first one (label npc-copy, another serial). Where the
// tokens do not show their keys' public values, or both show the certificate's, the user picks
// the token, one offered at a time, before any PIN; the PIN goes to that token alone.
TEST_F(signer_test, the_user_picks_the_token_where_the_keys_cannot_tell) {
  const std::filesystem::path two = token_environment::dir / ("copies-" + std::to_string(::getpid()));
  const std::string copy_serial = "00000000000000c0";
  const std::string setup =
      token_copy_script(two) +
      "serial=$(softhsm2-util --show-slots | awk '/Serial number: +[0-9a-f]/ {print $3; exit}')\n"
      "cp -r \"$(dirname \"$(ls \"$d\"/tokens/*/token.object)\")\" \"$d/tokens/copy\"\n"
      "sed -i \"s/npc-test/npc-copy/; s/$serial/" + copy_serial + "/\" \"$d/tokens/copy/token.object\"\n";
  ASSERT_EQ(std::system(setup.c_str()), 0);
  const std::string both_conf = (two / "softhsm2.conf").string();
  const std::string one_conf = (token_environment::dir / "softhsm2.conf").string();
  const std::filesystem::path login_tokens = two / "login-tokens";
  const scoped_env logged("NPC_TEST_LOGIN_TOKENS", login_tokens.string());
  struct choice_case {
    const char* what;
    bool hidden;        // the tokens keep their keys' public values to themselves
    bool copies;        // both tokens, else the first alone
    std::vector<std::string> answers;
    const char* code;   // empty: a signature that verifies
    std::size_t offered;  // token dialogs shown
    int taken;          // the offered token that gets the PIN (from 0), -1: none
  };
  const choice_case table[] = {
      {"the first token offered taken", true, true, {"ok", ""}, "", 1, 0},
      {"the second token taken", true, true, {"refuse", "ok", ""}, "", 2, 1},
      {"cancel", true, true, {"cancel"}, "cancelled", 1, -1},
      {"every token passed over", true, true, {"refuse", "refuse"}, "cancelled", 2, -1},
      {"both show the certificate's key", false, true, {"refuse", "ok", ""}, "", 2, 1},
      {"one token asks nothing", true, false, {""}, "", 0, 0},
  };
  allow_origin("https://shop.example");
  for (const choice_case& c : table) {
    SCOPED_TRACE(c.what);
    const scoped_env conf("SOFTHSM2_CONF", c.copies ? both_conf : one_conf);
    const card_module card(3);
    std::unique_ptr<scoped_env> hide;
    if (c.hidden) hide = std::make_unique<scoped_env>("NPC_TEST_HIDE_KEYS", "1");
    std::filesystem::remove(login_tokens);
    script_dialogs(c.answers);
    const json_ptr reply = library().ask(
        with_ids(R"({"operation":"sign","certificate":"$rsa","data":"aGk=","origin":"https://shop.example"})"));
    if (*c.code == '\0') {
      EXPECT_TRUE(openssl_verifies(token_environment::der("rsa"), "SHA256", false, false, "hi",
                                   unbase64(text_of(reply.get(), "signature"))))
          << text_of(reply.get(), "message");
    } else {
      EXPECT_EQ(text_of(reply.get(), "error"), c.code) << text_of(reply.get(), "message");
    }
    // The token each choice dialog names, in the order offered.
    std::vector<std::string> offered;
    for (const std::string& description : recorded("SETDESC")) {
      if (description.find("Token serial number") == std::string::npos) continue;
      const std::size_t at = description.find("Token: \u2068") + std::string("Token: \u2068").size();
      offered.push_back(description.substr(at, description.find("\u2069", at) - at));
      if (offered.back() == "npc-copy") {
        EXPECT_NE(description.find(copy_serial), std::string::npos);
      }
    }
    EXPECT_EQ(recorded("SETNOTOK").size(), c.offered);
    ASSERT_EQ(offered.size(), c.offered);
    if (c.offered == 2) {
      EXPECT_NE(offered[0], offered[1]);
    }
    std::vector<std::string> expected;
    if (c.taken >= 0) expected.push_back(c.offered == 0 ? "npc-test" : offered[c.taken]);
    EXPECT_EQ(lines_of(login_tokens), expected);
  }
  std::filesystem::remove_all(two);
}

// Requests that need no key leave every module alone, so a module that hangs cannot stop them.
// With NPC_LOG set, each request leaves one line: its operation, its outcome and its token calls
// with their results; never the PIN (a wrong one here, so that it is distinct), the data, the
// signature, the origin or any other text of the request. Without it, nothing is written.
TEST_F(signer_test, the_diagnostic_log_has_a_line_per_request_and_nothing_secret) {
  const std::filesystem::path log = token_environment::dir / ("diagnostic-" + std::to_string(::getpid()) + ".log");
  std::filesystem::remove(log);
  const std::string data = "Quarterly figures, 7391 units", wrong_pin = "Zq7x9Wrong";
  std::string signature;
  allow_origin("https://shop.example");
  {
    const scoped_env on("NPC_LOG", log.string());
    script_dialogs({"pin " + wrong_pin});
    const json_ptr reply = library().ask(with_ids(R"({"operation":"sign","certificate":"$rsa","data":")" +
                                                  base64_of(data) + R"(","origin":"https://shop.example"})"));
    ASSERT_EQ(text_of(reply.get(), "status"), "ok") << text_of(reply.get(), "message");
    signature = text_of(reply.get(), "signature");
    library().ask(R"({"operation":"forged\nline","data":"c2VjcmV0"})");
    library().ask("not json\nforged=line");
  }
  library().ask(R"({"operation":"version"})");

  const std::vector<std::string> lines = lines_of(log.string());
  ASSERT_EQ(lines.size(), 3u) << read_file(log);
  const std::regex sign_line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ operation=sign outcome=ok ms=[\d.]+ modules=[^ ]+ )"
                             R"(calls=.*C_Login\([^)]+:\d+\)=0xa0/[\d.]+ms,.*C_Login\([^)]+\)=0x0/.*C_Sign\([^)]+\)=0x0/.*)");
  EXPECT_TRUE(std::regex_match(lines[0], sign_line)) << lines[0];
  EXPECT_NE(lines[1].find(" operation=unknown outcome=unknown_operation ms="), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" operation=none outcome=bad_json ms="), std::string::npos) << lines[2];
  const std::string text = read_file(log);
  for (const std::string& secret : {wrong_pin, data, base64_of(data), signature, std::string("shop.example"),
                                    std::string("c2VjcmV0"), std::string("forged")}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << secret;
  }
  std::filesystem::remove(log);
}

TEST_F(signer_test, version_and_echo_load_no_module) {
  const card_module card(3);
  const std::filesystem::path loads = token_environment::dir / ("loads-" + std::to_string(::getpid()));
  std::filesystem::remove(loads);
  const scoped_env load_log("NPC_TEST_LOAD_LOG", loads.string());
  EXPECT_EQ(text_of(library().ask(R"({"operation":"version"})").get(), "status"), "ok");
  EXPECT_EQ(text_of(library().ask(R"({"operation":"echo","data":"x"})").get(), "status"), "ok");
  EXPECT_FALSE(std::filesystem::exists(loads));
  EXPECT_EQ(text_of(library().ask(R"({"operation":"certificates"})").get(), "status"), "ok");
  EXPECT_TRUE(std::filesystem::exists(loads));
}

// What goes to pinentry is escaped so that no value can end a line or start a command; what
// comes back is unescaped into the PIN's buffer, and nothing malformed or too long is taken.
TEST(assuan, escaping_both_ways) {
  using signer::detail::assuan_escape;
  EXPECT_EQ(assuan_escape("a%b\nBYE\r\x01\x7f ok"), "a%25b%0ABYE%0D%01%7F ok");
  struct unescape_case {
    std::string text;
    bool ok;
    std::string pin;
  };
  const unescape_case table[] = {
      {"1234", true, "1234"},     {"%25%0a%41", true, "%\nA"}, {"", true, ""},
      {"12%", false, ""},         {"12%4", false, ""},          {"%zz", false, ""},
      {std::string(signer::secret::CAPACITY, '7'), true, std::string(signer::secret::CAPACITY, '7')},
      {std::string(signer::secret::CAPACITY + 1, '7'), false, ""},
  };
  for (const unescape_case& c : table) {
    SCOPED_TRACE(c.text);
    signer::secret pin;
    EXPECT_EQ(signer::detail::assuan_unescape(c.text, pin), c.ok);
    if (c.ok) {
      EXPECT_EQ(std::string(pin.data(), pin.size()), c.pin);
    }
  }
}

// A value shown in a dialog cannot forge a line, reorder what is read, or push the digest out of
// the one Assuan line the description travels on, whatever the origin or certificate holds, in
// any language.
TEST(pinentry_texts, hostile_values_stay_in_their_place) {
  struct field_case {
    std::string origin;
    std::string shown;  // as the address line gives it, isolation marks aside
  };
  const field_case table[] = {
      {"https://a.example\r\nCertificate: Bank", "https://a.example  Certificate: Bank"},
      {"https://\u202emoc.knab\u202c", "https://?moc.knab?"},
      {"a\u200bb\u2066c\u061cd\ufeffe\u2028f\xc2\x85g", "a?b?c?d?e f g"},
      {"bad \xff \xc0\xaf \xed\xa0\x80 \xe2\x82", "bad ? ?? ??? ??"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91"},
      // Cut in the middle, a '%' counting three bytes as it is sent.
      {std::string(60, 'a') + std::string(40, '%'), std::string(38, 'a') + "\u2026" + std::string(13, '%')},
      {std::string(99, 'a') + "\xc3\xa9", std::string(38, 'a') + "\u2026" + std::string(37, 'a') + "\xc3\xa9"},
  };
  for (const field_case& c : table) {
    SCOPED_TRACE(c.origin);
    const std::string text = signer::dialog_body(signer::dialog_for(
        signer::prompt_kind::pin, {c.origin, "CN", "I", "1", "T", "SHA-256", false, "00", ""}, signer::translation()));
    EXPECT_NE(text.find("\nAddress: \u2068" + c.shown + "\u2069\n"), std::string::npos) << text;
  }
  const std::string worst(1000, '%');
  const std::string digest(128, 'f');
  const signer::sign_prompt shown{"https://" + std::string(240, 'a') + ".example", worst, worst, worst, worst,
                                  "SHA-512", true, digest, ""};
  signer::sign_prompt offered = shown;  // a token offered for the PIN
  offered.token_serial = worst;
  for (const std::string_view language : signer::built_in_languages()) {
    const std::string choice = signer::dialog_body(
        signer::dialog_for(signer::prompt_kind::token_choice, offered, signer::choose_translation(language, {})));
    EXPECT_LT(signer::detail::assuan_escape(choice).size() + 8, 1000u) << language;
    for (const auto kind : {signer::prompt_kind::final_try, signer::prompt_kind::pin_pad}) {
      SCOPED_TRACE(language);
      const signer::translation t = signer::choose_translation(language, {});
      const std::string line =
          "SETDESC " + signer::detail::assuan_escape(signer::dialog_body(signer::dialog_for(kind, shown, t)));
      EXPECT_LT(line.size(), 1000u);
      std::string groups;
      for (int row = 0; row < 4; ++row) groups += "%0A  ffffffff ffffffff ffffffff ffffffff";
      EXPECT_NE(line.find(t("%s digest given by the site", "SHA-512") + ":" + groups), std::string::npos);
    }
  }
}

// The card reset after a PIN reaches the reader the slot names, and no other: OpenSC's slot
// description is the reader's name, cut at 64 bytes and padded with spaces.
TEST(pcsc_readers, a_slot_names_its_reader_and_no_other) {
  const std::string long_name(70, 'r');
  const std::vector<std::string> readers = {"Reader 10", "Reader 1", long_name, "Other " + long_name};
  const auto padded = [](std::string text) {
    text.resize(64, ' ');
    return text;
  };
  const std::pair<std::string, std::string> table[] = {
      {padded("Reader 1"), "Reader 1"},
      {padded("Reader 10"), "Reader 10"},
      {padded("Reader"), ""},                       // a prefix of a reader is no reader
      {long_name.substr(0, 64), long_name},         // cut at its field's width
      {padded(""), ""},
      {padded("SoftHSM slot ID 0x1"), ""},
  };
  for (const auto& [description, reader] : table) {
    EXPECT_EQ(signer::detail::reader_for_slot(readers, description), reader) << description;
  }
}

// What a PIN dialog adds when it asks again: for a key that wants the PIN at each signature, and
// after a wrong PIN on a token that does not count tries. With the longest values, all of the
// description still fits pinentry's one line, digest included.
TEST(pinentry_texts, a_pin_asked_again_says_why) {
  using signer::prompt_kind;
  struct why_case {
    prompt_kind kind;
    bool each_signature;
    bool tells_tries;
    int tries_left;
    const char* says;  // in the notice or the error
  };
  const why_case table[] = {
      {prompt_kind::pin, true, true, -1, "This key asks for the PIN for every signature"},
      {prompt_kind::pin, true, true, 1, "so it is asked again. This is the last PIN try."},
      {prompt_kind::wrong_pin, false, false, -1, "does not tell how many tries are left: another wrong PIN may lock it"},
      {prompt_kind::wrong_pin, false, true, -1, "Wrong PIN. Try again."},
  };
  const std::string worst(1000, '%');
  for (const why_case& c : table) {
    SCOPED_TRACE(c.says);
    signer::sign_prompt shown{worst, worst, worst, worst, worst, "SHA-512", true, std::string(128, 'f'), ""};
    shown.pin_for_each_signature = c.each_signature;
    shown.token_tells_tries = c.tells_tries;
    const signer::dialog_content content = signer::dialog_for(c.kind, shown, signer::translation(), c.tries_left);
    EXPECT_NE((content.notice + "|" + content.error).find(c.says), std::string::npos);
    for (const std::string_view language : signer::built_in_languages()) {
      SCOPED_TRACE(language);
      const signer::dialog_content translated =
          signer::dialog_for(c.kind, shown, signer::choose_translation(language, {}), c.tries_left);
      EXPECT_LT(("SETDESC " + signer::detail::assuan_escape(signer::dialog_body(translated))).size(), 1000u);
    }
  }
}

// A pinentry that hangs without a word is given up on rather than hanging the host, and ended
// and reaped, leaving no zombie behind.
TEST(pinentry_process_test, a_program_that_never_answers_is_ended) {
  const auto program =
      std::filesystem::temp_directory_path() / ("npc-hung-pinentry-" + std::to_string(::getpid()));
  std::ofstream(program) << "#!/bin/sh\nexec sleep 600\n";
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  {
    signer::pinentry_process process(program.c_str());
    ASSERT_TRUE(process.running());
    char buffer[16];
    EXPECT_EQ(process.read(buffer, sizeof buffer, 100), 0u);
  }
  // Module processes of earlier tests may still run (0); an unreaped pinentry would be a pid.
  EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0);
  std::filesystem::remove(program);
}

}  // namespace

// Logins and the consent before any use of a certificate, through the stand-in pinentry and the
// stand-in chooser, step by step in one process, since consent lasts the process's life. Each
// step: the request, the pinentry's answers, what the reply says, and what the user was shown.
TEST_F(signer_test, logins_are_bound_to_the_site_and_nothing_is_told_before_consent) {
  const std::filesystem::path chooser_log = token_environment::dir / ("chooser-log-" + std::to_string(::getpid()));
  const std::filesystem::path load_log = token_environment::dir / ("login-loads-" + std::to_string(::getpid()));
  std::filesystem::remove(load_log);
  const scoped_env chooser("NPC_CHOOSER", NPC_SCRIPTED_CHOOSER);
  const scoped_env chooser_record("NPC_TEST_CHOOSER_LOG", chooser_log.string());
  const scoped_env loads("NPC_TEST_LOAD_LOG", load_log.string());
  const card_module card(3);
  const std::string challenge(32, 'c');
  const std::string challenge_b64 = "Y2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2M=";
  const std::string labelled = "bnBjb3J2YW5lLWF1dGhlbnRpY2F0ZS12MQBhYmM=";  // the format's name, 0, "abc"
  struct step {
    const char* what;
    std::string request;
    std::vector<std::string> answers;  // the pinentry's
    std::string chooser_answer;        // empty: the chooser must not be started
    const char* code;                  // empty: ok
    const char* field;
    std::vector<std::string> dialogs;  // CONFIRM and GETPIN, in order
    std::vector<std::string> shown;    // what the first dialog's text says, in parts, if any
  };
  const auto auth = [&](const std::string& origin, const std::string& more) {
    return R"({"operation":"authenticate","origin":")" + origin + R"(","challenge":")" + challenge_b64 +
           "\"" + more + "}";
  };
  const step steps[] = {
      // Before consent, a page cannot tell a missing card or an unknown id from a refusal, and no
      // module is loaded.
      {"unknown id, refused", R"({"operation":"sign","certificate":"00ff","data":"aGk=","origin":"https://before-1.example"})",
       {"refuse"}, "", "cancelled", "", {"CONFIRM"}, {"A site wants to use a certificate on your card.", "before-1.example"}},
      {"present certificate, refused", R"({"operation":"sign","certificate":"$rsa","data":"aGk=","origin":"https://before-2.example"})",
       {"refuse"}, "", "cancelled", "", {"CONFIRM"}, {"A site wants to use", "before-2.example"}},
      {"login before consent, refused", auth("https://before-3.example", R"(,"certificate":"$login")"),
       {"cancel"}, "", "cancelled", "", {"CONFIRM"}, {"A site wants to use", "before-3.example"}},
      // A refusal holds for the connection: no dialog, no chooser, whatever is asked.
      {"denied: sign", R"({"operation":"sign","certificate":"$rsa","data":"aGk=","origin":"https://before-1.example"})",
       {}, "", "cancelled", "", {}, {}},
      {"denied: certificates", R"({"operation":"certificates","origin":"https://before-2.example"})", {}, "",
       "cancelled", "", {}, {}},
      {"denied: chooser", R"({"operation":"select_certificate","purpose":"authenticate","origin":"https://before-3.example"})",
       {}, "", "cancelled", "", {}, {}},
      {"denied: login without a certificate", auth("https://before-3.example", ""), {}, "", "cancelled", "", {}, {}},
      // A login: consent, then the PIN in a dialog that says it is a login and where.
      {"login", auth("https://login.example", R"(,"certificate":"$login")"), {"ok", "pin 1234"}, "", "", "",
       {"CONFIRM", "GETPIN"}, {"A site wants to use", "login.example"}},
      {"a certificate not for logins", auth("https://login.example", R"(,"certificate":"$rsa")"), {}, "",
       "not_for_login", "certificate", {}, {}},
      {"the login certificate signs no digest",
       R"({"operation":"sign","certificate":"$login","digest":"j0NDRmSPa5bfid2pAcUXaxCm2Dlh3TwayItZstwyeqQ=","origin":"https://login.example"})",
       {}, "", "not_for_signing", "certificate", {}, {}},
      {"data shaped like a login", R"({"operation":"sign","certificate":"$ec256","data":")" + labelled + R"(","origin":"https://login.example"})",
       {}, "", "bad_request", "data", {}, {}},
      {"an origin that is no site", auth("http://login.example", ""), {}, "", "bad_request", "origin", {}, {}},
      {"a short challenge", R"({"operation":"authenticate","origin":"https://login.example","challenge":"YWJj"})", {}, "",
       "bad_request", "challenge", {}, {}},
      // The chooser: its pick is the consent for that certificate alone.
      {"select for login", R"({"operation":"select_certificate","purpose":"authenticate","origin":"https://choose.example"})",
       {}, "first", "", "", {}, {}},
      {"a login with the chosen certificate asks only the PIN", auth("https://choose.example", R"(,"certificate":"$login")"),
       {"pin 1234"}, "", "", "", {"GETPIN"}, {"Log in to ", "choose.example", " as ", "NPC Test Login"}},
      {"a chooser naming what it was not offered", R"({"operation":"select_certificate","purpose":"sign","origin":"https://choose.example"})",
       {}, "key " + token_environment::id("login"), "cancelled", "", {}, {}},
      {"one login certificate: no chooser, the login dialog", auth("https://single.example", ""), {"pin 1234"}, "", "", "",
       {"GETPIN"}, {"Log in to ", "single.example", " as ", "NPC Test Login"}},
  };
  for (const step& s : steps) {
    SCOPED_TRACE(s.what);
    script_dialogs(s.answers);
    std::filesystem::remove(chooser_log);
    const scoped_env chooser_answer("NPC_TEST_CHOOSER_ANSWER", s.chooser_answer.empty() ? "first" : s.chooser_answer);
    const json_ptr reply = library().ask(with_ids(s.request));
    if (*s.code == '\0') {
      EXPECT_EQ(text_of(reply.get(), "status"), "ok") << text_of(reply.get(), "message");
    } else {
      expect_error(reply.get(), s.code, s.field);
    }
    std::vector<std::string> dialogs;
    for (const std::string& line : lines_of(std::getenv("NPC_TEST_PINENTRY_LOG"))) {
      if (line == "GETPIN" || line == "CONFIRM") dialogs.push_back(line);
    }
    EXPECT_EQ(dialogs, s.dialogs);
    if (!s.shown.empty()) {
      ASSERT_FALSE(recorded("SETDESC").empty());
      for (const std::string& part : s.shown) {
        EXPECT_NE(recorded("SETDESC")[0].find(part), std::string::npos) << part << " in " << recorded("SETDESC")[0];
      }
      // No login shows a digest: the user could not check it.
      EXPECT_EQ(recorded("SETDESC")[0].find("SHA-256"), std::string::npos);
    }
    EXPECT_EQ(std::filesystem::exists(chooser_log), !s.chooser_answer.empty());
    if (std::string(s.what).rfind("denied", 0) == 0 || s.dialogs == std::vector<std::string>{"CONFIRM"}) {
      EXPECT_FALSE(std::filesystem::exists(load_log)) << "a module was loaded before consent";
    }
    if (std::string(s.what) == "login") {
      // The signature is over the format's name, 0, the SHA-256 of the origin and of the challenge.
      const auto sha256 = [](const std::string& bytes) {
        unsigned char out[32];
        EVP_Digest(bytes.data(), bytes.size(), out, nullptr, EVP_sha256(), nullptr);
        return std::string(reinterpret_cast<char*>(out), sizeof out);
      };
      const std::string message = std::string("npcorvane-authenticate-v1", 25) + '\0' +
                                  sha256("https://login.example") + sha256(challenge);
      EXPECT_EQ(text_of(reply.get(), "format"), "npcorvane-authenticate-v1");
      EXPECT_EQ(text_of(reply.get(), "origin"), "https://login.example");
      EXPECT_EQ(text_of(reply.get(), "algorithm"), "ECDSA-SHA256");
      EXPECT_EQ(text_of(reply.get(), "certificate_id"), token_environment::id("login"));
      EXPECT_TRUE(openssl_verifies(token_environment::der("login"), "SHA256", false, false, message,
                                   unbase64(text_of(reply.get(), "signature"))));
      EXPECT_EQ(recorded("SETDESC").at(1).rfind("Log in to ", 0), 0u) << recorded("SETDESC").at(1);
      EXPECT_NE(recorded("SETDESC").at(1).find("login.example"), std::string::npos);
      EXPECT_EQ(recorded("SETOK").back(), "_Log in");
    }
    if (std::string(s.what) == "select for login") {
      const json_t* list = json_object_get(reply.get(), "certificates");
      ASSERT_EQ(json_array_size(list), 1u);
      EXPECT_EQ(text_of(json_array_get(list, 0), "id"), token_environment::id("login"));
      const std::string shown = read_file(chooser_log);
      EXPECT_NE(shown.find("choose.example"), std::string::npos);
      EXPECT_NE(shown.find(" wants to use a certificate on your card to log you in."), std::string::npos);
      std::size_t items = 0;
      for (std::size_t at = 0; (at = shown.find("\nITEM ", at)) != std::string::npos; ++at) ++items;
      EXPECT_EQ(items, 1u) << "only the certificate for logins is offered";
    }
  }
  // The record of loads works: the steps past consent loaded the module.
  EXPECT_TRUE(std::filesystem::exists(load_log));
  // Without the chooser program, select_certificate says so.
  const scoped_env missing("NPC_CHOOSER", "/nonexistent/npcorvane-chooser");
  expect_error(library().ask(R"({"operation":"select_certificate","purpose":"sign","origin":"https://none.example"})").get(),
               "no_chooser");
}
}  // namespace npc::test
