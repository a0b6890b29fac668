// The wording of every dialog, and the one rule by which a value is cut to fit it.
#include "core/dialog_content.hpp"

#include "core/dialog_text.hpp"

namespace npc::signer {
namespace detail {

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

}  // namespace detail

namespace {

using detail::field;

// Groups of eight hex digits, four groups to a row.
std::vector<std::string> hex_rows(std::string_view hex) {
  std::vector<std::string> rows;
  for (std::size_t i = 0; i < hex.size(); i += 8) {
    if (i % 32 == 0) {
      rows.emplace_back();
    } else {
      rows.back() += ' ';
    }
    rows.back() += hex.substr(i, 8);
  }
  return rows;
}

dialog_content consent_dialog(std::string_view origin) {
  dialog_content content;
  content.title = "npcorvane: certificates";
  content.intro = (origin.empty() ? std::string("A page or extension that does not say who it is")
                                  : field(origin)) +
                  " asks to read the certificates on your tokens: your name as they give it, "
                  "their issuers and serial numbers.";
  content.notice = "You will not be asked again while this connection lasts.";
  content.question = "Allow it?";
  content.accept = "_Allow";
  content.refuse = "_Deny";
  return content;
}

}  // namespace

dialog_content dialog_for(prompt_kind kind, const sign_prompt& shown, int tries_left) {
  if (kind == prompt_kind::consent) return consent_dialog(shown.origin);
  dialog_content content;
  content.title = "npcorvane: signature";
  content.intro = shown.origin.empty()
                      ? "A signature is requested (the request does not say by whom)."
                      : "A signature is requested by " + field(shown.origin) + ".";
  content.lines = {{"Certificate", {field(shown.common_name)}},
                   {"Issued by", {field(shown.issuer)}},
                   {"Serial number", {field(shown.serial)}}};
  if (!shown.token_label.empty()) content.lines.push_back({"Token", {field(shown.token_label)}});
  content.lines.push_back({field(shown.digest_name), hex_rows(shown.digest_hex)});
  content.refuse = "_Cancel";
  switch (kind) {
    case prompt_kind::wrong_pin:
      content.error = shown.token_tells_tries
                          ? "Wrong PIN. Try again."
                          : "Wrong PIN. This token does not tell how many tries are left: another "
                            "wrong PIN may lock it.";
      [[fallthrough]];
    case prompt_kind::pin:
      if (shown.pin_for_each_signature) {
        content.notice = "This key asks for the PIN for every signature, so it is asked again.";
      }
      if (tries_left == 1) {
        content.notice += (content.notice.empty() ? "" : " ") + std::string("This is the last PIN try.");
      }
      content.pin_label = "PIN:";
      content.accept = "_Sign";
      break;
    case prompt_kind::final_try:
      content.notice = "Only one PIN try is left: a wrong PIN now locks the token.";
      content.accept = "_Enter the PIN";
      break;
    case prompt_kind::pin_pad:
      content.notice = "Press Continue, then enter the PIN on the reader's keypad.";
      content.accept = "C_ontinue";
      break;
    case prompt_kind::confirmation:
    case prompt_kind::consent:
      content.question = "Sign?";
      content.accept = "_Sign";
      break;
  }
  return content;
}

std::string dialog_body(const dialog_content& content) {
  std::string text = content.intro;
  if (!content.lines.empty()) text += '\n';
  for (const dialog_line& line : content.lines) {
    text += '\n' + line.label + ':';
    if (line.values.size() == 1) {
      text += ' ' + line.values.front();
    } else {
      for (const std::string& value : line.values) text += "\n  " + value;
    }
  }
  std::string last = content.notice;
  if (!content.question.empty()) last += (last.empty() ? "" : " ") + content.question;
  if (!last.empty()) text += "\n\n" + last;
  return text;
}

std::string signature_context(const sign_prompt& shown) {
  std::string text = shown.origin.empty() ? std::string("A browser extension asks for a signature")
                                          : "Signature requested by " + field(shown.origin);
  if (!shown.common_name.empty()) text += " with the certificate of " + field(shown.common_name);
  return text;
}

}  // namespace npc::signer
