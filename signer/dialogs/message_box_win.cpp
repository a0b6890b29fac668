// Windows' message boxes and certificate chooser for the user's decisions, or the programs
// NPC_DIALOG and NPC_CHOOSER name in their place; the texts are the shared dialog content.
#include "dialogs/message_box.hpp"

#include <windows.h>
// After windows.h, which they need; cryptuiapi.h also needs the property sheet types.
#include <wincrypt.h>
#include <prsht.h>
#include <cryptuiapi.h>

#include <string_view>
#include <thread>
#include <vector>

#include "core/failure.hpp"
#include "dialogs/chooser_request.hpp"
#include "windows/cng.hpp"
#include "platform.hpp"

namespace npc::signer {
namespace win {
namespace {

std::wstring environment_value(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size <= 1) return {};
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

answer run_program(const std::wstring& program, const std::wstring& text, DWORD timeout_ms) {
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
  const DWORD waited = WaitForSingleObject(process.hProcess, timeout_ms);
  if (waited == WAIT_TIMEOUT) {
    // Unanswered in time: a refusal, and the program goes.
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hProcess);
    return answer::refused;
  }
  const bool ended = waited == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  if (!ended) return answer::unavailable;
  return status == 0 ? answer::ok : answer::refused;
}

// Cancels this thread's message box when its time is up. The box runs its own message loop on
// this thread, which is what calls a thread timer's procedure.
BOOL CALLBACK cancel_message_box(HWND window, LPARAM) {
  wchar_t name[8] = {};
  if (GetClassNameW(window, name, 8) > 0 && std::wstring_view(name) == L"#32770") EndDialog(window, IDCANCEL);
  return TRUE;
}

VOID CALLBACK message_box_expired(HWND, UINT, UINT_PTR, DWORD) {
  EnumThreadWindows(GetCurrentThreadId(), cancel_message_box, 0);
}

// Both ends of a pipe; the child's end is inheritable, ours is not.
struct pipe_ends {
  HANDLE read = nullptr, write = nullptr;
  bool open(bool child_reads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &inherit, 1 << 16)) return false;
    return SetHandleInformation(child_reads ? write : read, HANDLE_FLAG_INHERIT, 0) != 0;
  }
  void close() {
    for (HANDLE* end : {&read, &write}) {
      if (*end) CloseHandle(*end);
      *end = nullptr;
    }
  }
};

// The lines the program wrote, read without blocking once it has ended: a process it left behind
// may hold the pipe open, so the end of the stream is never waited for.
std::vector<std::string> written_lines(HANDLE from) {
  std::string text;
  DWORD available = 0;
  while (text.size() < 2 * chooser::LINE_LIMIT && PeekNamedPipe(from, nullptr, 0, nullptr, &available, nullptr) &&
         available > 0) {
    char chunk[512];
    DWORD got = 0;
    if (!ReadFile(from, chunk, sizeof chunk < available ? sizeof chunk : available, &got, nullptr) || got == 0) break;
    text.append(chunk, got);
  }
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a program writing in text mode
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

std::string run_chooser_program(const std::wstring& program, const chooser_prompt& shown,
                                const translation& language, unsigned long timeout_ms) {
  const std::string unavailable = "the certificate chooser that NPC_CHOOSER names cannot be started";
  pipe_ends input, output;
  if (!input.open(true) || !output.open(false)) {
    input.close();
    output.close();
    fail(error_code::no_chooser, unavailable);
  }
  std::wstring command = detail::quoted_argument(program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.read;
  startup.hStdOutput = output.write;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(input.read);
  CloseHandle(output.write);
  input.read = output.write = nullptr;
  if (!started) {
    input.close();
    output.close();
    fail(error_code::no_chooser, unavailable);
  }
  CloseHandle(process.hThread);
  // The whole request goes before the greeting is read, from a thread of its own: a program that
  // reads nothing cannot hold the library past the time limit, which ends it and so the write.
  const std::string request = chooser::write_request(chooser_request(shown, language));
  std::thread writer([&input, &request] {
    DWORD written = 0;
    for (std::size_t at = 0; at < request.size(); at += written) {
      if (!WriteFile(input.write, request.data() + at, static_cast<DWORD>(request.size() - at), &written, nullptr) ||
          written == 0) {
        break;
      }
    }
    CloseHandle(input.write);
    input.write = nullptr;
  });
  const bool in_time = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
  if (!in_time) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
  }
  CloseHandle(process.hProcess);
  writer.join();
  const std::vector<std::string> lines = written_lines(output.read);
  output.close();
  // Unanswered in time: a refusal, as a dialog's.
  if (!in_time) fail(error_code::cancelled, "the certificate chooser was not answered in time");
  if (lines.empty() || lines[0] != chooser::GREETING) {
    fail(error_code::no_chooser, "the certificate chooser that NPC_CHOOSER names did not answer");
  }
  return chosen_id(shown, lines.size() > 1 ? chooser::read_answer(lines[1]) : chooser::answer{},
                   "the certificate chooser that NPC_CHOOSER names could not show its window");
}

answer ask_user(const std::wstring& title, const std::wstring& text, unsigned long timeout_ms) {
  const std::wstring program = environment_value(DIALOG_VARIABLE);
  if (!program.empty()) return run_program(program, text, timeout_ms);
  const UINT_PTR timer = SetTimer(nullptr, 0, timeout_ms, message_box_expired);
  // Cancel is the default, so that a key pressed in passing approves nothing.
  const int result = MessageBoxW(nullptr, text.c_str(), title.c_str(),
                                 MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND |
                                     MB_TOPMOST);
  if (timer) KillTimer(nullptr, timer);
  if (result == IDOK) return answer::ok;
  if (result == IDCANCEL) return answer::refused;
  return answer::unavailable;  // no desktop to show it on
}

void dialog_prompts::require(prompt_kind kind, const sign_prompt& shown) {
  const dialog_content content = dialog_for(kind, shown, language_);
  switch (ask_(wide_of(content.title), wide_of(dialog_body(content)))) {
    case answer::ok: return;
    case answer::refused: fail(error_code::cancelled, "the user refused");
    case answer::unavailable:
      fail(error_code::no_pin_entry, "no dialog can be shown to ask the user (no desktop in this session)");
  }
}

void dialog_prompts::allow_certificates(std::string_view origin) {
  sign_prompt shown;
  shown.origin = origin;
  require(prompt_kind::consent, shown);
}

void dialog_prompts::allow_use(std::string_view origin) {
  sign_prompt shown;
  shown.origin = origin;
  require(prompt_kind::use_consent, shown);
}

std::string dialog_prompts::choose_certificate(const chooser_prompt& shown) {
  const std::wstring program = environment_value(wide_of(CHOOSER_VARIABLE).c_str());
  if (!program.empty()) return run_chooser_program(program, shown, language_, (CHOOSER_TIMEOUT_S + 30) * 1000UL);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (!store) fail(error_code::no_chooser, "the certificate chooser cannot be shown (no memory store)");
  for (const chooser_entry& entry : shown.entries) {
    if (entry.expired) continue;
    CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                     reinterpret_cast<const BYTE*>(entry.der.data()),
                                     static_cast<DWORD>(entry.der.size()), CERT_STORE_ADD_ALWAYS, nullptr);
  }
  const chooser_content text = chooser_for(shown, language_);
  PCCERT_CONTEXT chosen = CryptUIDlgSelectCertificateFromStore(
      store, nullptr, wide_of(text.title).c_str(), wide_of(text.heading).c_str(), 0, 0, nullptr);
  std::string der;
  if (chosen) {
    der.assign(reinterpret_cast<const char*>(chosen->pbCertEncoded), chosen->cbCertEncoded);
    CertFreeCertificateContext(chosen);
  }
  CertCloseStore(store, 0);
  if (der.empty()) fail(error_code::cancelled, "the user chose no certificate");
  for (const chooser_entry& entry : shown.entries) {
    if (!entry.expired && entry.der == der) return entry.id;
  }
  fail(error_code::cancelled, "the chooser named a certificate it was not offered");
}

void dialog_prompts::ask_pin(const sign_prompt&, int, bool, secret&) {
  // Windows keys ask for their PIN in their provider's dialog; the store backend never asks here.
  fail(error_code::internal_error, "a PIN was asked of the library's own dialogs on Windows");
}

void dialog_prompts::confirm(const sign_prompt& shown, confirmation what) {
  require(what == confirmation::final_try ? prompt_kind::final_try
          : what == confirmation::pin_pad ? prompt_kind::pin_pad
                                          : prompt_kind::confirmation,
          shown);
}

bool dialog_prompts::use_token(const sign_prompt&) {
  // Only the PKCS#11 backend holds one certificate on several tokens; the store backend never asks.
  fail(error_code::internal_error, "a token choice was asked of the library's own dialogs on Windows");
}

namespace detail {

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

std::unique_ptr<user_prompts> open_prompts(std::string_view language) {
  return std::make_unique<win::dialog_prompts>(choose_translation(language, user_languages()));
}

}  // namespace npc::signer
