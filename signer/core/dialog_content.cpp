// The wording of every dialog, the one rule by which values are cut to fit, and the site named
// apart from the address so that a long host name cannot hide it.
#include "core/dialog_content.hpp"

#include "core/dialog_text.hpp"
#include "core/site.hpp"

namespace npc::signer {
namespace {

std::string isolated(std::string text) {
  return std::string(FIRST_STRONG_ISOLATE) + text + std::string(POP_DIRECTIONAL_ISOLATE);
}

std::string name(std::string_view text) { return isolated(cut_in_middle(text, detail::NAME_LIMIT)); }

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

// "Site: attacker-cdn.net" then the address, for an origin that is a web address; the address
// alone (filtered and cut) for anything else.
void add_origin(std::vector<dialog_line>& lines, std::string_view origin, const translation& t) {
  if (const auto parts = parse_origin(origin)) {
    // TRANSLATORS: the line that names the web site that asks, by its registrable domain
    // ("example.com"); the next line gives its full address.
    lines.push_back({std::string(t("Site")),
                     {isolated(cut_in_middle(registrable_domain(parts->host), detail::SITE_LIMIT))}});
  }
  // TRANSLATORS: the full web address (origin) that asks: "https://www.example.com".
  lines.push_back({std::string(t("Address")), {isolated(shown_origin(origin, detail::ADDRESS_LIMIT))}});
}

dialog_content consent_dialog(std::string_view origin, const translation& t) {
  dialog_content content;
  // TRANSLATORS: npcorvane is the program's name; keep it as it is.
  content.title = t("npcorvane: certificates");
  if (origin.empty()) {
    content.intro = t("A page or extension that does not say who it is asks to read the certificates "
                      "on your tokens: your name as they give it, their issuers and serial numbers.");
  } else {
    content.intro = t("A site asks to read the certificates on your tokens: your name as they give it, "
                      "their issuers and serial numbers.");
    add_origin(content.lines, origin, t);
  }
  content.notice = t("You will not be asked again while this connection lasts.");
  content.question = t("Allow it?");
  // TRANSLATORS: "_" marks the letter that, with Alt, presses the button; give each button
  // label one.
  content.accept = t("_Allow");
  content.refuse = t("_Deny");
  return content;
}

dialog_content use_consent_dialog(std::string_view origin, const translation& t) {
  dialog_content content;
  // TRANSLATORS: npcorvane is the program's name; keep it as it is.
  content.title = t("npcorvane: certificate");
  if (origin.empty()) {
    content.intro = t("A page or extension that does not say who it is wants to use a certificate on your card.");
  } else {
    content.intro = t("A site wants to use a certificate on your card.");
    add_origin(content.lines, origin, t);
  }
  content.notice = t("If you deny it, it will not be asked again while this connection lasts.");
  content.question = t("Allow it?");
  content.accept = t("_Allow");
  content.refuse = t("_Deny");
  return content;
}

// The site as one value: its registrable domain when the origin is a web address.
std::string site_of(std::string_view origin) {
  const auto parts = parse_origin(origin);
  return isolated(parts ? cut_in_middle(registrable_domain(parts->host), detail::SITE_LIMIT)
                        : cut_in_middle(origin, detail::ADDRESS_LIMIT));
}

// `text` with each "{key}" replaced by its value: a translated sentence with two values.
std::string filled(std::string text, std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
  for (const auto& [key, value] : values) {
    const std::string mark = "{" + std::string(key) + "}";
    if (const std::size_t at = text.find(mark); at != std::string::npos) text.replace(at, mark.size(), value);
  }
  return text;
}

// One token offered for the PIN: several hold the certificate and none tells before login
// which holds its key, so the user says which, before a PIN could cost a try on the wrong one.
dialog_content token_choice_dialog(const sign_prompt& shown, const translation& t) {
  dialog_content content;
  // TRANSLATORS: npcorvane is the program's name; keep it as it is.
  content.title = t("npcorvane: choose a token");
  content.intro = t("More than one token holds this certificate. The PIN will be asked for the token you choose.");
  content.lines.push_back({std::string(t("Certificate")), {name(shown.common_name)}});
  content.lines.push_back({std::string(t("Token")), {name(shown.token_label)}});
  // TRANSLATORS: the serial number of the smart card or USB token (not of the certificate).
  content.lines.push_back({std::string(t("Token serial number")), {name(shown.token_serial)}});
  content.question = t("Use this token?");
  // TRANSLATORS: "_" marks the letter that, with Alt, presses the button; the three buttons of
  // this dialog need different letters.
  content.accept = t("_Use this token");
  content.other = t("_Next token");
  content.refuse = t("_Cancel");
  return content;
}

}  // namespace

chooser_content chooser_for(const chooser_prompt& shown, const translation& t) {
  const std::string site = site_of(shown.origin);
  chooser_content content;
  // TRANSLATORS: npcorvane is the program's name; keep it as it is.
  content.title = t("npcorvane: choose a certificate");
  // TRANSLATORS: {site} is the site that asks ("example.com"); keep the braces as they are.
  content.heading = filled(std::string(shown.purpose == purpose::login
                                           ? t("{site} wants to use a certificate on your card to log you in. Choose one.")
                                           : t("{site} wants to use a certificate on your card to sign. Choose one.")),
                           {{"site", site}});
  // TRANSLATORS: "_" marks the letter that, with Alt, presses the button; it must differ from
  // the one of "_Cancel".
  content.choose = t("_Select");
  content.cancel = t("_Cancel");
  // TRANSLATORS: what a screen reader calls the list of certificates.
  content.list = t("Certificates");
  content.issuer = t("Issued by");
  content.valid_until = t("Valid until");
  content.token = t("Token");
  content.expired = t("Expired or not yet valid: it cannot be chosen");
  content.empty = t("None of your cards holds a certificate for this.");
  return content;
}

chooser_entry shown_entry(const chooser_entry& entry) {
  chooser_entry shown = entry;
  shown.common_name = name(entry.common_name);
  shown.issuer = name(entry.issuer);
  // The date alone: "2027-01-09".
  shown.not_after = name(entry.not_after.substr(0, 10));
  shown.token_label = name(entry.token_label);
  return shown;
}

dialog_content dialog_for(prompt_kind kind, const sign_prompt& shown, const translation& t, int tries_left) {
  if (kind == prompt_kind::consent) return consent_dialog(shown.origin, t);
  if (kind == prompt_kind::use_consent) return use_consent_dialog(shown.origin, t);
  if (kind == prompt_kind::token_choice) return token_choice_dialog(shown, t);
  dialog_content content;
  content.title = t("npcorvane: signature");
  if (shown.login) {
    // A login names the site and the person, and shows no digest: the bytes signed bind the
    // site's name and its challenge, which the user could not check anyway.
    // TRANSLATORS: npcorvane is the program's name; keep it as it is.
    content.title = t("npcorvane: login");
    // TRANSLATORS: {site} is the site ("example.com"), {name} the certificate's holder; keep the
    // braces as they are.
    content.intro = filled(std::string(t("Log in to {site} as {name}?")),
                           {{"site", site_of(shown.origin)}, {"name", name(shown.common_name)}});
    add_origin(content.lines, shown.origin, t);
  } else if (shown.origin.empty()) {
    content.intro = t("A signature is requested, but the request does not say by whom.");
  } else {
    content.intro = t("A site asks for your signature.");
    add_origin(content.lines, shown.origin, t);
  }
  content.lines.push_back({std::string(t("Certificate")), {name(shown.common_name)}});
  content.lines.push_back({std::string(t("Issued by")), {name(shown.issuer)}});
  content.lines.push_back({std::string(t("Serial number")), {name(shown.serial)}});
  // TRANSLATORS: the smart card or USB token that holds the key.
  if (!shown.token_label.empty()) content.lines.push_back({std::string(t("Token")), {name(shown.token_label)}});
  // The hash's name is ours ("SHA-256"), never the request's.
  // TRANSLATORS: %s is a hash's name, such as SHA-256. "%s of the data": the hash of the data
  // to be signed; "%s digest given by the site": a hash the site computed itself.
  if (!shown.login) {
    content.lines.push_back({shown.digest_given ? t("%s digest given by the site", shown.hash_name)
                                                : t("%s of the data", shown.hash_name),
                             hex_rows(shown.digest_hex)});
  }
  std::vector<std::string_view> notices;
  if (shown.digest_given && !shown.login) {
    notices.push_back(t("The site gives only a ready-made digest: the document cannot be shown."));
  }
  content.refuse = t("_Cancel");
  switch (kind) {
    case prompt_kind::wrong_pin:
      content.error = shown.token_tells_tries
                          ? t("Wrong PIN. Try again.")
                          : t("Wrong PIN. This token does not tell how many tries are left: another "
                              "wrong PIN may lock it.");
      [[fallthrough]];
    case prompt_kind::pin:
      if (shown.pin_for_each_signature) {
        notices.push_back(t("This key asks for the PIN for every signature, so it is asked again."));
      }
      if (tries_left == 1) notices.push_back(t("This is the last PIN try."));
      content.pin_label = t("PIN:");
      content.accept = t("_Sign");
      break;
    case prompt_kind::final_try:
      notices.push_back(t("Only one PIN try is left: a wrong PIN now locks the token."));
      content.accept = t("_Enter the PIN");
      break;
    case prompt_kind::pin_pad:
      notices.push_back(t("Press Continue, then enter the PIN on the reader's keypad."));
      content.accept = t("C_ontinue");
      break;
    case prompt_kind::confirmation:
    case prompt_kind::consent:
    case prompt_kind::use_consent:
    case prompt_kind::token_choice:
      content.question = t("Sign?");
      content.accept = t("_Sign");
      break;
  }
  for (const std::string_view notice : notices) {
    content.notice += (content.notice.empty() ? "" : " ") + std::string(notice);
  }
  if (shown.login) {
    if (content.accept == t("_Sign")) content.accept = t("_Log in");
    // The intro asks already.
    content.question.clear();
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

std::string signature_context(const sign_prompt& shown, const translation& t) {
  if (shown.login) {
    return filled(std::string(t("Log in to {site} as {name}?")),
                  {{"site", site_of(shown.origin)}, {"name", name(shown.common_name)}});
  }
  if (shown.origin.empty()) return std::string(t("A browser extension asks for a signature"));
  const auto parts = parse_origin(shown.origin);
  // TRANSLATORS: shown in a smart card's own PIN dialog on Windows; %s is the site
  // ("example.com").
  return t("Signature requested by %s",
           isolated(parts ? registrable_domain(parts->host) : cut_in_middle(shown.origin, detail::ADDRESS_LIMIT)));
}

}  // namespace npc::signer
