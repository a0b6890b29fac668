// Where the diagnostic log goes on Windows (NPC_LOG, else the registry value), and the append.
#include <windows.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "core/diagnostic_log.hpp"

namespace npc::signer::diagnostic_log::detail {
namespace {

std::wstring wide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

}  // namespace

std::string log_path() {
  if (const char* named = std::getenv("NPC_LOG"); named && *named) return named;
  wchar_t value[1024];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\npcorvane", L"Log", RRF_RT_REG_SZ, nullptr, value, &size) !=
          ERROR_SUCCESS || value[0] == L'\0') {
    return {};
  }
  const int length = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
  std::string path(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value, -1, path.data(), length, nullptr, nullptr);
  path.resize(path.size() - 1);
  return path;
}

std::string utc_time(std::time_t time) {
  std::tm utc{};
  gmtime_s(&utc, &time);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return stamp;
}

void append_line(const std::string& path, const std::string& line) {
  // FILE_APPEND_DATA alone: each write lands at the end, whoever else appends.
  HANDLE file = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace npc::signer::diagnostic_log::detail
