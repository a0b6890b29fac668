// A scripted stand-in for the user's dialog (NPC_DIALOG): appends the text it was given, as
// UTF-8 and followed by a line "--", to the file NPC_DIALOG_LOG names, and answers with the exit
// status NPC_DIALOG_EXIT gives (0, OK, when unset), or never answers when it is "hang".
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc != 2) return 2;
  const std::wstring text = argv[1];
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
  if (const char* log = std::getenv("NPC_DIALOG_LOG")) {
    if (std::FILE* out = std::fopen(log, "ab")) {
      std::fprintf(out, "%s\n--\n", utf8.c_str());
      std::fclose(out);
    }
  }
  const char* status = std::getenv("NPC_DIALOG_EXIT");
  if (status && std::string(status) == "hang") Sleep(INFINITE);
  return status ? std::atoi(status) : 0;
}
