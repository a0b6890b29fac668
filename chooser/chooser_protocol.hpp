// The line protocol between the signing library and the certificate chooser program, shared by
// both ends so that each line is written and read by the same rules. It needs no toolkit.
//
// The library starts the program with a socket on its standard input and output; every line
// ends in "\n" and is at most LINE_LIMIT bytes with it:
//
//   program: OK npcorvane-chooser 1          once started
//   library: TITLE <text>                    the window's title
//            HEADING <text>                  the sentence that names the site and what it wants
//            LABEL <key> <text>              a control's text: choose, cancel, list, issuer,
//                                            valid_until, token, empty (what an empty list
//                                            says) ("_" marks a mnemonic: choose and cancel
//                                            need different letters)
//            TIMEOUT <seconds>               the dialog closes itself unanswered after that long
//            ITEM <key>\t<name>\t<issuer>\t<valid until>\t<token>\t<note>
//                                            a certificate; a non-empty note (why, e.g. "Expired")
//                                            shows it but it cannot be chosen
//            SHOW
//   program: CHOSEN <key> | CANCELLED | ERR <text>
//
// Arguments are percent-escaped: '%', TAB, line breaks and other control bytes as %XX, so that
// no text can add a line or a field. The program words nothing itself: every text it shows
// arrives here, already translated.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace npc::chooser {

inline constexpr std::string_view GREETING = "OK npcorvane-chooser 1";
inline constexpr std::size_t LINE_LIMIT = 4096;
// More certificates than anyone holds; a list longer than this is a broken or hostile writer.
inline constexpr std::size_t ITEM_LIMIT = 200;

struct item {
  std::string key;  // what CHOSEN names; the library's own identifier
  std::string name;
  std::string issuer;
  std::string valid_until;
  std::string token;
  std::string note;  // empty: it can be chosen

  bool choosable() const { return note.empty(); }
};

struct labels {
  std::string choose = "_Select";
  std::string cancel = "_Cancel";
  std::string list = "Certificates";
  std::string issuer = "Issued by";
  std::string valid_until = "Valid until";
  std::string token = "Token";
  std::string empty = "No certificate fits.";
};

struct request {
  std::string title;
  std::string heading;
  labels label;
  int timeout_s = 300;
  std::vector<item> items;
};

// `text` as one argument: '%', control bytes (TAB and line breaks among them) and DEL as %XX.
std::string escape(std::string_view text);
// The reverse, with an escaped control byte as a space: what the chooser shows stays on one line
// (the library filters its texts before; this holds for any writer). nullopt for a malformed
// escape or a raw control byte.
std::optional<std::string> unescape(std::string_view text);

// The lines that ask for `shown`, SHOW last.
std::string write_request(const request& shown);

// Reads a request line by line. feed() takes one line without its "\n" and answers false for a
// line that breaks the protocol (error() then says why); complete() is true after SHOW.
class request_reader {
 public:
  bool feed(std::string_view line);
  bool complete() const { return complete_; }
  const request& result() const { return request_; }
  const std::string& error() const { return error_; }

 private:
  bool reject(std::string why);
  request request_;
  std::string error_;
  bool complete_ = false;
};

// The program's answer, read back by the library.
struct answer {
  enum class kind { chosen, cancelled, failed } what = kind::failed;
  std::string text;  // the key for chosen, the reason for failed
};
answer read_answer(std::string_view line);

}  // namespace npc::chooser
