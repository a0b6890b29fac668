// The user's languages from the locale variables, read directly: a host started by a browser
// may run under C.UTF-8 with no locale installed, where the C library would report none.
#include <cstdlib>
#include <string_view>

#include "core/translation.hpp"

namespace npc::signer {

std::vector<std::string> user_languages() {
  std::vector<std::string> languages;
  const auto value = [](const char* name) -> std::string_view {
    const char* text = std::getenv(name);
    return text ? text : "";
  };
  for (std::string_view list = value("LANGUAGE"); !list.empty();) {
    const std::size_t end = std::min(list.find(':'), list.size());
    if (end > 0) languages.emplace_back(list.substr(0, end));
    list.remove_prefix(std::min(end + 1, list.size()));
  }
  // The first of these that is set is the locale for messages, as the C library decides.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (!value(name).empty()) {
      languages.emplace_back(value(name));
      break;
    }
  }
  return languages;
}

}  // namespace npc::signer
