// Fuzz target for the signer's request handling, as a page or extension can reach it: any bytes
// as the request, over a fake backend (one RSA and one EC certificate whose keys sign whatever
// the input's last byte says) and fake dialogs that build every text the user would read. The
// reply is always one JSON object, a signature leaves only when it verified, and no dialog text
// carries a control character, a direction override or a default-ignorable character.
#include <jansson.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/dialog_content.hpp"
#include "core/failure.hpp"
#include "core/translation.hpp"
#include "request.hpp"

namespace {

using npc::fuzz::check;
namespace signer = npc::signer;

// The input's last byte: what the user and the fake key do. Bit 0: the user cancels; 1: no token;
// 2: a PIN is asked (3: with one try left, 4: after a wrong one); 5: the signature verifies;
// 6 and 7: the signature's length (0 to 3 bytes: empty, odd and even among them).
unsigned char behaviour = 0;
bool verified = false;

// Every text a renderer would show, checked: nothing a value brings may act on the dialog.
void check_text(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    check(byte >= 0x20 || byte == '\n', "no control character reaches a dialog");
    const std::string_view rest = std::string_view(text).substr(i);
    for (const std::string_view hidden : {"\u202e", "\u202d", "\u200b", "\u00ad", "\u034f", "\u3164", "\ufe0f"}) {
      check(rest.substr(0, hidden.size()) != hidden, "no hidden or reordering character reaches a dialog");
    }
  }
}

void check_dialog(const signer::dialog_content& content) {
  check_text(signer::dialog_body(content) + content.title + content.error);
}

class fake_prompts final : public signer::user_prompts {
 public:
  explicit fake_prompts(std::string_view language) : language_(signer::choose_translation(language, {})) {}
  void allow_certificates(std::string_view origin) override {
    signer::sign_prompt shown;
    shown.origin = origin;
    check_dialog(signer::dialog_for(signer::prompt_kind::consent, shown, language_));
    answer();
  }
  void allow_use(std::string_view origin) override {
    signer::sign_prompt shown;
    shown.origin = origin;
    check_dialog(signer::dialog_for(signer::prompt_kind::use_consent, shown, language_));
    answer();
  }
  // The chooser's texts and every entry as a renderer shows it; the first that can be chosen is.
  std::string choose_certificate(const signer::chooser_prompt& shown) override {
    const signer::chooser_content content = signer::chooser_for(shown, language_);
    check_text(content.title + content.heading + content.list + content.empty);
    std::string chosen;
    for (const signer::chooser_entry& entry : shown.entries) {
      const signer::chooser_entry safe = signer::shown_entry(entry);
      check_text(safe.common_name + safe.issuer + safe.not_after + safe.token_label);
      if (chosen.empty() && !entry.expired) chosen = entry.id;
    }
    answer();
    if (chosen.empty()) signer::fail(signer::error_code::cancelled, "nothing could be chosen");
    return chosen;
  }
  void ask_pin(const signer::sign_prompt& shown, int tries_left, bool again, signer::secret& pin) override {
    check_dialog(signer::dialog_for(again ? signer::prompt_kind::wrong_pin : signer::prompt_kind::pin, shown,
                                    language_, tries_left));
    answer();
    pin.append("1234");
  }
  void confirm(const signer::sign_prompt& shown, signer::confirmation) override {
    check_dialog(signer::dialog_for(signer::prompt_kind::confirmation, shown, language_));
    check(!signer::signature_context(shown, language_).empty(), "the provider's line names the caller");
    answer();
  }
  bool use_token(const signer::sign_prompt& shown) override {
    check_dialog(signer::dialog_for(signer::prompt_kind::token_choice, shown, language_));
    answer();
    return (behaviour & 8) == 0;
  }

 private:
  static void answer() {
    if (behaviour & 1) signer::fail(signer::error_code::cancelled, "the user cancelled");
  }
  signer::translation language_;
};

class fake_backend final : public signer::backend {
 public:
  std::vector<std::pair<std::string, std::string>> versions() override { return {{"fake", "1"}}; }
  std::string digest(const signer::hash_algorithm& hash, std::string_view) override {
    return std::string(hash.size, '\x5a');
  }
  std::vector<signer::certificate_record> certificates() override {
    if (behaviour & 2) signer::fail(signer::error_code::no_token, "no token is present");
    return {record("aa", signer::key_kind::rsa, "RSA", "Test \u202eRSA"),
            record("bb", signer::key_kind::ec, "EC", "Test EC\u034f")};
  }
  std::string sign(const signer::certificate_record&, const signer::signature_job&, const signer::sign_prompt& shown,
                   signer::user_prompts& prompts) override {
    if (behaviour & 4) {
      // A token named by the request's own values, as the backend would offer one to choose.
      signer::sign_prompt offered = shown;
      offered.token_label = shown.common_name;
      offered.token_serial = shown.serial;
      prompts.use_token(offered);
      signer::secret pin;
      prompts.ask_pin(shown, behaviour & 8 ? 1 : -1, behaviour & 16, pin);
    } else {
      prompts.confirm(shown, signer::confirmation::signature);
    }
    return std::string(behaviour >> 6, '\x01');
  }
  bool verify(const signer::certificate_record&, const signer::signature_job&, std::string_view) override {
    verified = (behaviour & 32) != 0;
    return verified;
  }

 private:
  static signer::certificate_record record(const char* id, signer::key_kind kind, const char* type, const char* name) {
    signer::certificate_record found;
    found.info.fingerprint = id;
    found.info.kind = kind;
    found.info.key_type = type;
    found.info.common_name = name;
    found.info.issuer = "CN=\u3164Issuer";
    found.der = "der";
    found.token.label = "token\u200b";
    return found;
  }
};

const signer::request_services FAKES{[] { return std::unique_ptr<signer::backend>(new fake_backend); },
                                     [](std::string_view language) {
                                       return std::unique_ptr<signer::user_prompts>(new fake_prompts(language));
                                     }};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  behaviour = size > 0 ? data[size - 1] : 0;
  verified = false;
  const std::string request(reinterpret_cast<const char*>(data), size > 0 ? size - 1 : 0);
  const std::string reply = signer::answer(request, FAKES);
  json_error_t error;
  json_t* root = json_loadb(reply.data(), reply.size(), 0, &error);
  check(root && json_is_object(root), "the reply is one JSON object");
  const char* status = json_string_value(json_object_get(root, "status"));
  check(status != nullptr, "the reply has a status");
  if (json_object_get(root, "signature")) check(verified, "a signature leaves only once verified");
  check(!json_object_get(root, "pin"), "no PIN goes out");
  json_decref(root);
  return 0;
}
