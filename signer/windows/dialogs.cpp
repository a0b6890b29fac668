// Windows' own dialogs for the user's decisions, or the program NPC_DIALOG names in their place.
#include "windows/dialogs.hpp"

#include <windows.h>

#include <vector>

#include "dialog_text.hpp"
#include "failure.hpp"

namespace npc::signer {
namespace win {
namespace {

constexpr std::size_t MAX_SHOWN = 200;

std::wstring wide_of(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return L"?";
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::wstring asker(std::string_view origin) {
  return origin.empty() ? std::wstring(L"A browser extension (which names no origin)")
                        : L"\"" + detail::shown_text(origin) + L"\"";
}

answer run_program(const std::wstring& program, const std::wstring& text) {
  std::wstring command = detail::quoted_argument(program) + L" " + detail::quoted_argument(text);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return answer::unavailable;
  }
  CloseHandle(process.hThread);
  DWORD status = 1;
  const bool ended = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  if (!ended) return answer::unavailable;
  return status == 0 ? answer::ok : answer::refused;
}

}  // namespace

answer ask_user(const std::wstring& text) {
  const DWORD size = GetEnvironmentVariableW(DIALOG_VARIABLE, nullptr, 0);
  if (size > 1) {
    std::wstring program(size, L'\0');
    program.resize(GetEnvironmentVariableW(DIALOG_VARIABLE, program.data(), size));
    return run_program(program, text);
  }
  // Cancel is the default, so that a key pressed in passing approves nothing.
  const int result = MessageBoxW(nullptr, text.c_str(), L"npcorvane",
                                 MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND |
                                     MB_TOPMOST);
  if (result == IDOK) return answer::ok;
  if (result == IDCANCEL) return answer::refused;
  return answer::unavailable;  // no desktop to show it on
}

void dialog_prompts::require(const std::wstring& text) {
  switch (ask_(text)) {
    case answer::ok: return;
    case answer::refused: fail(error_code::cancelled, "the user refused");
    case answer::unavailable:
      fail(error_code::no_pin_entry, "no dialog can be shown to ask the user (no desktop in this session)");
  }
}

void dialog_prompts::allow_certificates(std::string_view origin) { require(detail::consent_text(origin)); }

void dialog_prompts::ask_pin(const sign_prompt&, int, bool, secret&) {
  // Windows keys ask for their PIN in their provider's dialog; the store backend never asks here.
  fail(error_code::internal_error, "a PIN was asked of the library's own dialogs on Windows");
}

void dialog_prompts::confirm(const sign_prompt& shown, confirmation what) {
  require(detail::signature_text(shown, what));
}

namespace detail {

std::wstring shown_text(std::string_view untrusted) {
  std::wstring text = wide_of(one_line_text(untrusted));
  if (text.size() > MAX_SHOWN) {
    // Never half of a surrogate pair.
    const std::size_t cut = text[MAX_SHOWN - 1] >= 0xd800 && text[MAX_SHOWN - 1] <= 0xdbff ? MAX_SHOWN - 1 : MAX_SHOWN;
    text = text.substr(0, cut) + L"...";
  }
  return text;
}

std::wstring consent_text(std::string_view origin) {
  return asker(origin) + L" asks to read the certificates in your personal certificate store: your names,"
                         L" and those of their issuers.\n\nAllow it for this browser session?";
}

std::wstring signature_text(const sign_prompt& shown, confirmation what) {
  std::wstring text = asker(shown.origin) + L" asks for a signature with your certificate:\n\n";
  text += L"Name: " + shown_text(shown.common_name) + L"\n";
  text += L"Issued by: " + shown_text(shown.issuer) + L"\n";
  text += L"Serial number: " + shown_text(shown.serial) + L"\n";
  if (!shown.token_label.empty()) text += L"Key: " + shown_text(shown.token_label) + L"\n";
  text += L"\n" + shown_text(shown.digest_name) + L":\n" + shown_text(shown.digest_hex) + L"\n\n";
  switch (what) {
    case confirmation::final_try: text += L"Only one PIN try is left: a wrong PIN now locks the card. "; break;
    case confirmation::pin_pad: text += L"Enter the PIN on the card reader's keypad. "; break;
    case confirmation::signature: break;
  }
  return text + L"Sign?";
}

std::wstring quoted_argument(const std::wstring& argument) {
  // The rules of the C runtime's command-line parser: backslashes are literal unless a quote
  // follows them, so those before a quote (and before the closing quote) are doubled.
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace detail
}  // namespace win

std::unique_ptr<user_prompts> open_prompts() { return std::make_unique<win::dialog_prompts>(); }

}  // namespace npc::signer
