// What each dialog says, worded once for every platform and language: the renderers (pinentry,
// Windows message boxes) lay out these texts and add none of their own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/backend.hpp"
#include "core/translation.hpp"

namespace npc::signer {

// Why the user is asked.
enum class prompt_kind {
  consent,       // may the origin read the certificates
  use_consent,   // may the origin use a certificate at all (a signature or a login)
  pin,           // the PIN for a signature
  wrong_pin,     // the PIN again, after a wrong one
  final_try,     // one PIN try is left: confirm before the PIN is asked
  pin_pad,       // the PIN goes on the reader's keypad
  confirmation,  // no PIN here: the user approves the signature itself
  token_choice,  // several tokens hold the certificate: may this one have the PIN
};

// "Label: value", or with several values, the label on its own row and each value beneath it.
struct dialog_line {
  std::string label;
  std::vector<std::string> values;
};

// A dialog's texts in one language. Values from requests, certificates and tokens are already
// filtered (one_line_text), cut by one rule and isolated (FSI ... PDI). Button labels mark their
// Alt key with "_"; a renderer that has no such keys drops the mark.
struct dialog_content {
  std::string title;
  std::string intro;               // who asks and for what
  std::vector<dialog_line> lines;  // the site, and what is signed with what
  std::string notice;              // what the user must know before answering; may be empty
  std::string question;            // may be empty where the buttons say it
  std::string pin_label;           // empty unless a PIN is typed into the dialog
  std::string error;               // why the PIN is asked again; may be empty
  std::string accept;
  std::string refuse;
  std::string other;               // a third button (another choice than accept); may be empty
};

// The dialog for `kind` in `language`. `shown` gives the values (consent uses its origin
// alone); `tries_left` is the token's count, -1 when it does not tell.
dialog_content dialog_for(prompt_kind kind, const sign_prompt& shown, const translation& language,
                          int tries_left = -1);

// The chooser's texts: what it is for and who asks, its controls, and the note on a certificate
// that cannot be chosen.
struct chooser_content {
  std::string title;
  std::string heading;
  std::string choose;
  std::string cancel;
  std::string list;
  std::string issuer;
  std::string valid_until;
  std::string token;
  std::string expired;
  std::string empty;
};

chooser_content chooser_for(const chooser_prompt& shown, const translation& language);

// A chooser entry's values made safe to show, cut by the dialogs' one rule.
chooser_entry shown_entry(const chooser_entry& entry);

// intro, lines, then notice and question, as one text of paragraphs ("\n\n") for renderers that
// show one block of text.
std::string dialog_body(const dialog_content& content);

// The one line that a key provider's own PIN dialog may show about the caller.
std::string signature_context(const sign_prompt& shown, const translation& language);

namespace detail {

// Most bytes each value takes in a dialog, '%' counted as three: pinentry's protocol carries
// the whole text on one line of 1000 bytes with '%' escaped, and with every value at its longest
// the digest and the notices must still fit, in every language.
inline constexpr std::size_t SITE_LIMIT = 64;
inline constexpr std::size_t ADDRESS_LIMIT = 80;
inline constexpr std::size_t NAME_LIMIT = 40;  // certificate, issuer, serial, token

}  // namespace detail
}  // namespace npc::signer
