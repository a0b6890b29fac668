// The Assuan conversation with a pinentry program, which shows the dialogs' texts as they come.
#include "dialogs/pinentry.hpp"

#include <cstdlib>
#include <cstring>
#include <optional>

#include "core/dialog_content.hpp"
#include "core/failure.hpp"
#include "core/translation.hpp"
#include "dialogs/chooser_client.hpp"
#include "dialogs/pinentry_process.hpp"
#include "platform.hpp"

namespace npc::signer {
namespace detail {
namespace {

// An Assuan line is at most 1000 bytes with its newline.
constexpr std::size_t LINE_LIMIT = 1000;
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string assuan_escape(std::string_view text) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == '%' || byte == 0x7f) {
      out += '%';
      out += DIGITS[byte >> 4];
      out += DIGITS[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

bool assuan_unescape(std::string_view text, secret& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (!out.append(std::string_view(&c, 1))) return false;
  }
  return true;
}

}  // namespace detail

namespace {

constexpr const char* DEFAULT_PINENTRY = "/usr/bin/pinentry";
constexpr const char* INSTALL_HINT =
    "install a graphical pinentry (pinentry-gnome3, pinentry-qt or pinentry-gtk2), or name one "
    "in NPC_PINENTRY";

// GnuPG's error codes (the low 16 bits of an ERR) that mean the user said no.
bool is_refusal(unsigned long code) {
  const unsigned long reason = code & 0xffff;
  return reason == 99 /* canceled */ || reason == 114 /* not confirmed */ ||
         reason == 62 /* timeout */ || reason == 198 /* fully canceled */;
}

// A dialog left unanswered closes itself (pinentry then says "timeout", a refusal) so that the
// host can serve other requests; a program silent for longer than that has hung and is ended.
constexpr int DIALOG_TIMEOUT_S = 300;
constexpr int ANSWER_TIMEOUT_MS = (DIALOG_TIMEOUT_S + 30) * 1000;

enum class outcome { ok, refused, other, failed };

// One pinentry process and its conversation. Lines are read into a buffer of ours that is wiped
// when the dialog ends: the "D" line of GETPIN holds the PIN.
class dialog {
 public:
  explicit dialog(const char* program) : process_(program) {
    if (!process_.running()) {
      fail(error_code::no_pin_entry, std::string("the PIN entry program cannot be started: ") + INSTALL_HINT);
    }
    const auto greeting = next_line();
    if (!greeting || greeting->substr(0, 2) != "OK") {
      fail(error_code::no_pin_entry, std::string("the PIN entry program did not answer: ") + INSTALL_HINT);
    }
    set("SETTIMEOUT", std::to_string(DIALOG_TIMEOUT_S));
  }
  ~dialog() {
    if (process_.running()) process_.write("BYE\n");
    wipe(buffer_, sizeof buffer_);
  }
  dialog(const dialog&) = delete;
  dialog& operator=(const dialog&) = delete;

  // A command whose refusal changes nothing (an older pinentry may not know it).
  void set(std::string_view command, std::string_view text) {
    if (run(std::string(command) + " " + detail::assuan_escape(text)) == outcome::failed && gone_) {
      fail(error_code::no_pin_entry, std::string("the PIN entry program ended: ") + INSTALL_HINT);
    }
  }

  // A third button; whether the program shows one. Once it does, "not confirmed" is that
  // button's answer, apart from cancel's.
  bool offer_other(std::string_view label) {
    const outcome result = run("SETNOTOK " + detail::assuan_escape(label));
    if (result == outcome::failed && gone_) {
      fail(error_code::no_pin_entry, std::string("the PIN entry program ended: ") + INSTALL_HINT);
    }
    other_ = result == outcome::ok;
    return other_;
  }

  // The description: without it the user would answer a dialog that says neither who asks nor
  // what is signed, so a pinentry that refuses it is not asked anything.
  void describe(std::string_view text) {
    if (run("SETDESC " + detail::assuan_escape(text)) != outcome::ok) {
      fail(error_code::no_pin_entry,
           std::string("the PIN entry program refused the dialog's description: ") + INSTALL_HINT);
    }
  }

  // CONFIRM or GETPIN: the user's answer, or a failure when the program cannot ask.
  outcome ask(std::string_view command, secret* data = nullptr) {
    const outcome result = run(command, data);
    if (result == outcome::failed) {
      fail(error_code::no_pin_entry,
           std::string("the PIN entry program could not show its dialog (is there a display?): ") +
               INSTALL_HINT);
    }
    return result;
  }

 private:
  outcome run(std::string_view command, secret* data = nullptr) {
    std::string line(command);
    if (line.size() + 1 > detail::LINE_LIMIT) line.resize(detail::LINE_LIMIT - 1);
    // Never end on half an escape: "%0" alone would be malformed.
    for (std::size_t i = line.size() >= 2 ? line.size() - 2 : 0; i < line.size(); ++i) {
      if (line[i] == '%') line.resize(i);
    }
    line += '\n';
    if (!process_.write(line)) {
      gone_ = true;
      return outcome::failed;
    }
    for (;;) {
      const auto reply = next_line();
      if (!reply) {
        gone_ = true;
        return outcome::failed;
      }
      const std::string_view text = *reply;
      if (text == "OK" || text.substr(0, 3) == "OK ") return outcome::ok;
      if (text.substr(0, 4) == "ERR ") {
        const unsigned long code = std::strtoul(std::string(text.substr(4, 12)).c_str(), nullptr, 10);
        // "Not confirmed" is the third button's answer when one was set, which cancel is not.
        if ((code & 0xffff) == 114 && other_) return outcome::other;
        return is_refusal(code) ? outcome::refused : outcome::failed;
      }
      if (text.substr(0, 2) == "D " && data) {
        if (!detail::assuan_unescape(text.substr(2), *data)) {
          data->clear();
          fail(error_code::cancelled, "the PIN is longer than any token takes");
        }
      } else if (text.substr(0, 7) == "INQUIRE") {
        if (!process_.write("CAN\n")) return outcome::failed;
      }
      // Status lines ("S ...") and comments ("# ...") carry nothing we use.
    }
  }

  // The next line without its newline; nullopt at the end of the stream or on a line too long.
  std::optional<std::string_view> next_line() {
    if (consumed_ > 0) {
      std::memmove(buffer_, buffer_ + consumed_, end_ - consumed_);
      end_ -= consumed_;
      consumed_ = 0;
    }
    for (;;) {
      if (void* newline = std::memchr(buffer_, '\n', end_)) {
        const std::size_t length = static_cast<char*>(newline) - buffer_;
        consumed_ = length + 1;
        return std::string_view(buffer_, length);
      }
      if (end_ == sizeof buffer_) return std::nullopt;
      const std::size_t got = process_.read(buffer_ + end_, sizeof buffer_ - end_, ANSWER_TIMEOUT_MS);
      if (got == 0) return std::nullopt;
      end_ += got;
    }
  }

  pinentry_process process_;
  bool other_ = false;  // SETNOTOK was accepted: "not confirmed" means that button
  char buffer_[2 * detail::LINE_LIMIT] = {};
  std::size_t end_ = 0;
  std::size_t consumed_ = 0;
  bool gone_ = false;
};

class pinentry_prompts final : public user_prompts {
 public:
  explicit pinentry_prompts(translation language) : language_(language) {}

  void allow_certificates(std::string_view origin) override {
    sign_prompt shown;
    shown.origin = origin;
    if (!show(dialog_for(prompt_kind::consent, shown, language_))) {
      fail(error_code::cancelled, "the user did not allow reading the certificates");
    }
  }

  void allow_use(std::string_view origin) override {
    sign_prompt shown;
    shown.origin = origin;
    if (!show(dialog_for(prompt_kind::use_consent, shown, language_))) {
      fail(error_code::cancelled, "the user did not allow the use of a certificate");
    }
  }

  std::string choose_certificate(const chooser_prompt& shown) override { return run_chooser(shown, language_); }

  void ask_pin(const sign_prompt& shown, int tries_left, bool again, secret& pin) override {
    pin.clear();
    if (!show(dialog_for(again ? prompt_kind::wrong_pin : prompt_kind::pin, shown, language_, tries_left), &pin) ||
        pin.empty()) {
      // An empty PIN is never sent: on some tokens it would cost a try like any wrong one.
      pin.clear();
      fail(error_code::cancelled, "the user cancelled the signature");
    }
  }

  void confirm(const sign_prompt& shown, confirmation what) override {
    const prompt_kind kind = what == confirmation::final_try ? prompt_kind::final_try
                             : what == confirmation::pin_pad ? prompt_kind::pin_pad
                                                             : prompt_kind::confirmation;
    if (!show(dialog_for(kind, shown, language_))) fail(error_code::cancelled, "the user cancelled the signature");
  }

  // OK, the third button ("next token") or cancel. A pinentry that refuses the third button
  // could only say yes or cancel, which would leave every token but the first out of reach.
  bool use_token(const sign_prompt& shown) override {
    const dialog_content content = dialog_for(prompt_kind::token_choice, shown, language_);
    dialog d(program());
    d.set("SETTITLE", content.title);
    d.describe(dialog_body(content));
    d.set("SETOK", content.accept);
    d.set("SETCANCEL", content.refuse);
    if (!d.offer_other(content.other)) fail(error_code::no_pin_entry, "the PIN entry program cannot show a third button to choose a token");
    const outcome answer = d.ask("CONFIRM");
    if (answer == outcome::ok) return true;
    if (answer == outcome::other) return false;
    fail(error_code::cancelled, "the user chose no token");
  }

 private:
  // One dialog: GETPIN into `pin` when the content asks for a PIN, else CONFIRM. Whether the
  // user said yes.
  static bool show(const dialog_content& content, secret* pin = nullptr) {
    dialog d(program());
    d.set("SETTITLE", content.title);
    d.describe(dialog_body(content));
    if (!content.pin_label.empty()) d.set("SETPROMPT", content.pin_label);
    d.set("SETOK", content.accept);
    d.set("SETCANCEL", content.refuse);
    if (!content.error.empty()) d.set("SETERROR", content.error);
    if (content.pin_label.empty() || !pin) return d.ask("CONFIRM") == outcome::ok;
    return d.ask("GETPIN", pin) == outcome::ok;
  }

 private:
  static const char* program() {
    const char* named = std::getenv(PINENTRY_VARIABLE);
    return named && *named ? named : DEFAULT_PINENTRY;
  }

  translation language_;
};

}  // namespace

std::unique_ptr<user_prompts> open_prompts(std::string_view language) {
  return std::make_unique<pinentry_prompts>(choose_translation(language, user_languages()));
}

}  // namespace npc::signer
