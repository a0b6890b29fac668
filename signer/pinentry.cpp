// The Assuan conversation with a pinentry program and the texts its dialogs show.
#include "pinentry.hpp"

#include <cstdlib>
#include <cstring>
#include <optional>

#include "failure.hpp"
#include "dialog_text.hpp"
#include "pinentry_process.hpp"

namespace npc::signer {
namespace detail {
namespace {

// An Assuan line is at most 1000 bytes with its newline.
constexpr std::size_t LINE_LIMIT = 1000;
// What one field may take of a dialog's line once escaped: five of them at their longest still
// leave room for the digest, so that no origin or certificate can push it out of the dialog.
constexpr std::size_t FIELD_LIMIT = 100;

// One line of text for the dialog (one_line_text), cut at a character boundary and marked when
// it takes more than FIELD_LIMIT bytes once escaped.
std::string field(std::string_view text) {
  const std::string line = one_line_text(text);
  std::size_t escaped = 0;
  for (std::size_t at = 0; at < line.size(); ++at) {
    escaped += line[at] == '%' ? 3 : 1;
    if (escaped > FIELD_LIMIT) {
      while (at > 0 && (static_cast<unsigned char>(line[at]) & 0xc0) == 0x80) --at;
      return line.substr(0, at) + "...";
    }
  }
  return line;
}

// "1a2b..." as groups of eight digits, four to a line, each line indented.
std::string grouped_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 8) {
    out += i % 32 == 0 ? "\n  " : " ";
    out += hex.substr(i, 8);
  }
  return out;
}

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

std::string sign_description(const sign_prompt& shown) {
  std::string text = shown.origin.empty()
                         ? "A signature is requested (the request does not say by whom).\n"
                         : "A signature is requested by " + field(shown.origin) + ".\n";
  text += "\nCertificate: " + field(shown.common_name);
  text += "\nIssued by: " + field(shown.issuer);
  text += "\nSerial number: " + field(shown.serial);
  text += "\nToken: " + field(shown.token_label);
  text += "\n" + field(shown.digest_name) + ":" + grouped_hex(shown.digest_hex);
  return text;
}

std::string confirmation_description(const sign_prompt& shown, confirmation what) {
  switch (what) {
    case confirmation::final_try:
      return sign_description(shown) +
             "\n\nOnly one PIN try is left: a wrong PIN now locks the token.";
    case confirmation::pin_pad:
      return sign_description(shown) + "\n\nPress Continue, then enter the PIN on the reader's keypad.";
    case confirmation::signature:
      return sign_description(shown) + "\n\nThis token needs no PIN. Sign?";
  }
  return sign_description(shown);
}

std::string certificates_description(std::string_view origin) {
  const std::string who = origin.empty() ? "A page or extension that does not say who it is"
                                         : field(origin);
  return who +
         " asks to read the certificates on your tokens: your name as they give it, their "
         "issuers and serial numbers.\n\nYou will not be asked again while this connection lasts.";
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

enum class outcome { ok, refused, failed };

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
  char buffer_[2 * detail::LINE_LIMIT] = {};
  std::size_t end_ = 0;
  std::size_t consumed_ = 0;
  bool gone_ = false;
};

class pinentry_prompts final : public user_prompts {
 public:
  void allow_certificates(std::string_view origin) override {
    dialog d(program());
    d.set("SETTITLE", "npcorvane: certificates");
    d.describe(detail::certificates_description(origin));
    // "_" marks the key that, with Alt, presses the button.
    d.set("SETOK", "_Allow");
    d.set("SETCANCEL", "_Deny");
    if (d.ask("CONFIRM") != outcome::ok) {
      fail(error_code::cancelled, "the user did not allow reading the certificates");
    }
  }

  void ask_pin(const sign_prompt& shown, int tries_left, bool again, secret& pin) override {
    dialog d(program());
    std::string description = detail::sign_description(shown);
    if (tries_left == 1) description += "\n\nThis is the last PIN try.";
    d.set("SETTITLE", "npcorvane: signature");
    d.describe(description);
    d.set("SETPROMPT", "PIN:");
    d.set("SETOK", "_Sign");
    d.set("SETCANCEL", "_Cancel");
    if (again) d.set("SETERROR", "Wrong PIN. Try again.");
    pin.clear();
    if (d.ask("GETPIN", &pin) != outcome::ok || pin.empty()) {
      // An empty PIN is never sent: on some tokens it would cost a try like any wrong one.
      pin.clear();
      fail(error_code::cancelled, "the user cancelled the signature");
    }
  }

  void confirm(const sign_prompt& shown, confirmation what) override {
    dialog d(program());
    d.set("SETTITLE", "npcorvane: signature");
    d.describe(detail::confirmation_description(shown, what));
    d.set("SETOK", what == confirmation::final_try ? "_Enter the PIN"
                   : what == confirmation::pin_pad ? "C_ontinue"
                                                   : "_Sign");
    d.set("SETCANCEL", "_Cancel");
    if (d.ask("CONFIRM") != outcome::ok) fail(error_code::cancelled, "the user cancelled the signature");
  }

 private:
  static const char* program() {
    const char* named = std::getenv(PINENTRY_VARIABLE);
    return named && *named ? named : DEFAULT_PINENTRY;
  }
};

}  // namespace

std::unique_ptr<user_prompts> open_prompts() { return std::make_unique<pinentry_prompts>(); }

}  // namespace npc::signer
