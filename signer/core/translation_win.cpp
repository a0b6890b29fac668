// The user's languages on Windows: the UI languages of the user's session, in order.
#include <windows.h>

#include "core/translation.hpp"

namespace npc::signer {

std::vector<std::string> user_languages() {
  std::vector<std::string> languages;
  ULONG count = 0, size = 0;
  if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) || size == 0) return languages;
  std::wstring names(size, L'\0');
  if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, names.data(), &size)) return languages;
  // A list of NUL-ended names, ended by an empty one; tags are ASCII ("de-DE").
  for (const wchar_t* name = names.c_str(); *name; name += wcslen(name) + 1) {
    std::string tag;
    for (const wchar_t* c = name; *c; ++c) tag += *c < 0x80 ? static_cast<char>(*c) : '?';
    languages.push_back(tag);
  }
  return languages;
}

}  // namespace npc::signer
