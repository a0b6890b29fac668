// The user's decisions on Windows: a message box in the user's session that shows a dialog's
// content (who asks and what is signed), with Cancel as its default button. The PIN is never asked here: the key's
// provider shows its own dialog for it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/backend.hpp"
#include "core/dialog_content.hpp"

namespace npc::signer::win {

// Names a program that answers in place of the message box (scripted answers for tests, or a
// site's own approval tool): it gets the dialog's text as its one argument and says OK with exit
// status 0.
inline constexpr const wchar_t* DIALOG_VARIABLE = L"NPC_DIALOG";

enum class answer { ok, refused, unavailable };

// A dialog left unanswered this long closes itself and counts as refused, as the pinentry
// dialogs do on Linux, so that the host can serve the next request.
inline constexpr unsigned long DIALOG_TIMEOUT_MS = 300'000;

// Asks the user to approve `text` under `title`: NPC_DIALOG's program when it is set (it gets
// the text alone, and is ended when its time is up), else a message box. unavailable when
// neither can be shown (no desktop, the program does not start).
answer ask_user(const std::wstring& title, const std::wstring& text, unsigned long timeout_ms);
inline answer ask_user(const std::wstring& title, const std::wstring& text) {
  return ask_user(title, text, DIALOG_TIMEOUT_MS);
}

// The id chosen in `program`, a stand-in for the system chooser that speaks our chooser's line
// protocol over its standard streams (chooser_protocol.hpp). A program that has not answered
// within `timeout_ms` is ended, and the choice is cancelled.
std::string run_chooser_program(const std::wstring& program, const chooser_prompt& shown,
                                const translation& language, unsigned long timeout_ms);

// Open with open_prompts() (platform.hpp); tests hand in their own `ask`.
class dialog_prompts final : public user_prompts {
 public:
  using ask_function = answer (*)(const std::wstring& title, const std::wstring& text);
  explicit dialog_prompts(translation language, ask_function ask = ask_user)
      : language_(language), ask_(ask) {}

  void allow_certificates(std::string_view origin) override;
  void allow_use(std::string_view origin) override;
  // The system's own chooser (CryptUIDlgSelectCertificateFromStore) over the entries that can be
  // chosen: it cannot show one it will not let the user take, so expired ones are left out.
  // NPC_CHOOSER names a program to run in its place (run_chooser_program).
  std::string choose_certificate(const chooser_prompt& shown) override;
  void ask_pin(const sign_prompt& shown, int tries_left, bool again, secret& pin) override;
  void confirm(const sign_prompt& shown, confirmation what) override;
  bool use_token(const sign_prompt& shown) override;

 private:
  void require(prompt_kind kind, const sign_prompt& shown);
  translation language_;
  ask_function ask_;
};

namespace detail {

// One argument of a Windows command line, quoted so that the program's argv gets it unchanged.
std::wstring quoted_argument(const std::wstring& argument);

}  // namespace detail
}  // namespace npc::signer::win
