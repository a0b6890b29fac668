// One table of what the dialogs must say, run through both renderers: the pinentry stand-in on
// Linux (dialog_render_test.cpp) and the Windows message boxes under Wine (win_signer_test.cpp).
#pragma once

#include <string>
#include <vector>

#include "core/backend.hpp"

namespace npc::test {

enum class dialog_kind { consent, pin, wrong_pin, final_try, pin_pad, confirmation };

struct dialog_case {
  const char* name;
  dialog_kind kind;
  std::string origin;
  std::string language;  // the request's "lang"
  bool digest_given;
  std::vector<std::string> shown;   // each somewhere in the title or text, as UTF-8
  std::vector<std::string> absent;  // none of these anywhere
};

// FSI and PDI, which isolate each value.
#define NPC_ISOLATED(text) "\u2068" text "\u2069"

inline const std::string LONG_ORIGIN =
    "https://login.bank.example.com.account-security-check-session-renewal-required.region-eu-west-1."
    "node-0042.attacker-cdn.net";

inline std::vector<dialog_case> dialog_cases() {
  return {
      {"consent", dialog_kind::consent, "https://shop.example", "", false,
       {"npcorvane: certificates", "A site asks to read the certificates on your tokens",
        "Site: " NPC_ISOLATED("shop.example"), "Address: " NPC_ISOLATED("https://shop.example"),
        "Allow it?"},
       {}},
      {"the site of a long origin stays in view", dialog_kind::confirmation, LONG_ORIGIN, "", false,
       {"Site: " NPC_ISOLATED("attacker-cdn.net"), "Address: \u2068https://\u2026",
        "node-0042.attacker-cdn.net\u2069", "SHA-256 of the data:\n  8f434346", "Sign?"},
       {}},
      {"an origin sharing the first 100 bytes is told apart", dialog_kind::confirmation,
       LONG_ORIGIN.substr(0, 100) + ".evil-cdn.org", "", false,
       {"Site: " NPC_ISOLATED("evil-cdn.org"), "evil-cdn.org\u2069"},
       {"attacker-cdn.net"}},
      {"invisible characters show as ?", dialog_kind::confirmation,
       "https://x.example/a\u00adb\u034fc\u3164d\U000E0041e\ufe0f\u00e9e\u0301", "", false,
       {"Address: " NPC_ISOLATED("https://x.example/a?b?c?d?e?\u00e9e\u0301")},
       {"\u00ad", "\u034f", "\u3164", "\U000E0041", "\ufe0f"}},
      {"right-to-left text is isolated and overrides are not", dialog_kind::confirmation,
       "https://x.example/\u05e9\u05dc\u05d5\u05dd\u202e", "", false,
       {"Address: " NPC_ISOLATED("https://x.example/\u05e9\u05dc\u05d5\u05dd?")},
       {"\u202e"}},
      {"German", dialog_kind::confirmation, "https://shop.example", "de", false,
       {"npcorvane: Signatur", "Eine Website bittet um Ihre Signatur.", "Website: " NPC_ISOLATED("shop.example"),
        "Signieren?"},
       {"A site asks"}},
      {"Estonian, final try", dialog_kind::final_try, "https://shop.example", "et", false,
       {"Sait küsib teie allkirja.", "Alles on ainult üks PIN-koodi katse"},
       {}},
      {"French, PIN pad, no origin", dialog_kind::pin_pad, "", "fr-CA", false,
       {"Une signature est demandée, mais la demande ne dit pas par qui.", "Appuyez sur Continuer"},
       {"Site"}},
      {"a digest given by the site says so", dialog_kind::confirmation, "https://shop.example", "", true,
       {"SHA-256 digest given by the site:", "ready-made digest: the document cannot be shown. Sign?"},
       {"of the data"}},
      {"PIN", dialog_kind::pin, "https://shop.example", "pt-BR", false,
       {"Um site pede a sua assinatura.", "PIN:", "_Assinar"},
       {}},
      {"wrong PIN", dialog_kind::wrong_pin, "https://shop.example", "uk", false,
       {"Неправильний PIN. Спробуйте ще раз.", "Сайт: " NPC_ISOLATED("shop.example")},
       {}},
  };
}

inline signer::sign_prompt prompt_of(const dialog_case& c) {
  return {c.origin, "NPC Test RSA", "CN=Test CA", "01", "npc-test", "SHA-256", c.digest_given,
          "8f434346648f6b96df89dda901c5176b10a6d83961dd3c1ac88b59b2dc327aa4", c.language};
}

}  // namespace npc::test
