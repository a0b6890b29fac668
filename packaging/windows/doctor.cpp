// npcorvane-doctor.exe: the Windows side of `npcorvane-register doctor`. For each browser's key
// (per user and for the machine, both registry views) the manifest it names, the host that
// manifest names and its answer to a version request through the signing library, started as a
// browser starts it; then the user's certificates that have a private key. One line per check,
// or one JSON object with --json. It asks nothing of the user and reads no key.
#include <windows.h>
#include <wincrypt.h>

#include <jansson.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/base64.hpp"
#include "protocol/json_ptr.hpp"
#include "windows_browsers.hpp"

namespace {

struct check_line {
  std::string area, subject, state, detail, fix;
};
std::vector<check_line> checks;

void check(std::string area, std::string subject, std::string state, std::string detail, std::string fix = {}) {
  checks.push_back({std::move(area), std::move(subject), std::move(state), std::move(detail), std::move(fix)});
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

// The default value of a key, or nothing when it is missing.
std::wstring default_value(HKEY root, const std::wstring& key, REGSAM view) {
  wchar_t value[2048];
  DWORD size = sizeof value;
  if (RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ | view, nullptr, value, &size) != ERROR_SUCCESS) return {};
  return value;
}

// The reply of the host at `host` to a version request, sent as one frame whose body is a JSON
// string of the request's base64, as a browser sends it; empty when it gives none in 30 s.
std::string ask_version(const std::filesystem::path& host, const std::string& argument) {
  const std::string request = R"({"operation":"version"})";
  std::string body(npc::base64_encoded_length(request.size()) + 1, '\0');
  npc::base64_encode(request.data(), request.size(), body.data());
  body = "\"" + std::string(body.c_str()) + "\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in_read, in_write, out_read, out_write;
  if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return {};
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return {};
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command = L"\"" + host.wstring() + L"\" " + wide(argument);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(host.wstring().c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, host.parent_path().wstring().c_str(), &startup, &process);
  CloseHandle(in_read);
  CloseHandle(out_write);
  std::string reply;
  if (started) {
    // A host that never answers is ended, which ends the read below.
    std::thread watchdog([&] {
      if (WaitForSingleObject(process.hProcess, 30000) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 1);
    });
    const std::uint32_t length = static_cast<std::uint32_t>(body.size());
    const unsigned char prefix[4]{static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                  static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    DWORD done = 0;
    WriteFile(in_write, prefix, 4, &done, nullptr);
    WriteFile(in_write, body.data(), length, &done, nullptr);
    // One frame back: four length bytes, least significant first, then the reply.
    std::string output;
    std::size_t wanted = 4;
    char block[4096];
    while (output.size() < wanted) {
      if (!ReadFile(out_read, block, sizeof block, &done, nullptr) || done == 0) break;
      output.append(block, done);
      if (wanted == 4 && output.size() >= 4) {
        std::uint32_t size = 0;
        for (int i = 3; i >= 0; --i) size = size << 8 | static_cast<unsigned char>(output[static_cast<std::size_t>(i)]);
        wanted = 4 + std::min<std::uint32_t>(size, 1 << 20);
      }
    }
    CloseHandle(in_write);
    in_write = nullptr;
    if (output.size() >= 4) reply = output.substr(4);
    WaitForSingleObject(process.hProcess, 30000);
    watchdog.join();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  if (in_write) CloseHandle(in_write);
  CloseHandle(out_read);
  return reply;
}

void check_browser(const npc::windows_browser& browser, const std::wstring& host_name) {
  bool any = false;
  const struct {
    HKEY root;
    const char* scope;
    REGSAM view;
  } places[]{{HKEY_CURRENT_USER, "user", 0},
             {HKEY_LOCAL_MACHINE, "machine", RRF_SUBKEY_WOW6464KEY},
             {HKEY_LOCAL_MACHINE, "machine (32-bit view)", RRF_SUBKEY_WOW6432KEY}};
  for (const auto& place : places) {
    const std::wstring key = std::wstring(browser.key) + L"\\" + host_name;
    const std::wstring manifest = default_value(place.root, key, place.view);
    if (manifest.empty()) continue;
    any = true;
    const std::string where = std::string(place.scope) + " key " + utf8(key);
    std::ifstream in{std::filesystem::path(manifest), std::ios::binary};
    std::ostringstream text;
    text << in.rdbuf();
    const npc::json_ptr document(json_loads(text.str().c_str(), 0, nullptr));
    const char* path = json_string_value(json_object_get(document.get(), "path"));
    if (!in || !path) {
      check("browser", browser.id, "problem", where + " names " + utf8(manifest) + ", which is missing or no manifest",
            "reinstall npcorvane");
      continue;
    }
    std::filesystem::path host = wide(path);
    if (host.is_relative()) host = std::filesystem::path(manifest).parent_path() / host;
    std::error_code error;
    if (!std::filesystem::is_regular_file(host, error)) {
      check("browser", browser.id, "problem", where + ": the host " + utf8(host.wstring()) + " is missing", "reinstall npcorvane");
      continue;
    }
    check("browser", browser.id, "ok", where + ": manifest " + utf8(manifest) + ", host " + utf8(host.wstring()));
    json_t* allowed = json_object_get(document.get(), browser.firefox ? "allowed_extensions" : "allowed_origins");
    const char* first = json_string_value(json_array_get(allowed, 0));
    const std::string argument = browser.firefox ? "\"" + utf8(manifest) + "\" " + (first ? first : "")
                                                 : (first ? first : "");
    const npc::json_ptr reply(json_loads(ask_version(host, argument).c_str(), 0, nullptr));
    const char* status = json_string_value(json_object_get(reply.get(), "status"));
    if (status && std::string(status) == "ok") {
      const char* version = json_string_value(json_object_get(reply.get(), "version"));
      check("browser", browser.id, "ok", "the host answers through its signing library (version " +
                                             std::string(version ? version : "?") + ")");
    } else {
      check("browser", browser.id, "problem", "the host " + utf8(host.wstring()) + " does not answer through its signing library",
            "reinstall npcorvane: the host and npcorvane.dll belong together in one folder");
    }
  }
  if (!any) check("browser", browser.id, "info", "no key names a manifest of the host");
}

void check_certificates() {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, L"MY");
  int keyed = 0;
  for (const CERT_CONTEXT* certificate = nullptr; store && (certificate = CertEnumCertificatesInStore(store, certificate));) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) continue;
    wchar_t name[512];
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 512);
    check("certificates", "store", "ok", "a certificate with a private key: " + utf8(name));
    ++keyed;
  }
  if (store) CertCloseStore(store, 0);
  if (keyed == 0) {
    check("certificates", "store", "problem", "the user's certificate store holds no certificate with a private key",
          "insert the card; if it still shows none, install the card's minidriver or its middleware");
  }
}

std::string one_line(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return out;
}

int run(int argc, char** argv) {
  const bool json = argc > 1 && std::string(argv[1]) == "--json";
  for (const npc::windows_browser& browser : npc::WINDOWS_BROWSERS) check_browser(browser, npc::HOST_NAME);
  check_certificates();
  int problems = 0;
  npc::json_ptr list(json_array());
  for (const check_line& c : checks) {
    problems += c.state == "problem";
    if (!json) {
      std::printf("%-8s %s: %s\n", c.state.c_str(), c.subject.c_str(), one_line(c.detail).c_str());
      if (!c.fix.empty()) std::printf("         what to do: %s\n", c.fix.c_str());
      continue;
    }
    npc::json_ptr entry(json_object());
    json_object_set_new(entry.get(), "area", json_string(c.area.c_str()));
    json_object_set_new(entry.get(), "subject", json_string(c.subject.c_str()));
    json_object_set_new(entry.get(), "state", json_string(c.state.c_str()));
    json_object_set_new(entry.get(), "detail", json_string(c.detail.c_str()));
    if (!c.fix.empty()) json_object_set_new(entry.get(), "fix", json_string(c.fix.c_str()));
    json_array_append_new(list.get(), entry.release());
  }
  if (json) {
    npc::json_ptr report(json_object());
    json_object_set_new(report.get(), "checks", list.release());
    json_object_set_new(report.get(), "problems", json_integer(problems));
    char* text = json_dumps(report.get(), JSON_INDENT(2) | JSON_PRESERVE_ORDER);
    if (text) std::printf("%s\n", text);
    std::free(text);
  } else {
    std::printf("npcorvane-doctor: %d problem(s)\n", problems);
  }
  return problems == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (...) {
    std::fputs("npcorvane-doctor: out of memory\n", stderr);
    return 1;
  }
}
