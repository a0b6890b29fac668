// Looking texts up in compiled gettext catalogues (.mo files) and choosing the language.
#include "core/translation.hpp"

#include <cctype>
#include <cstdint>
#include <iterator>

namespace npc::signer {
namespace {

struct built_in {
  std::string_view language;
  std::string_view catalogue;
};

// Generated at build time from po/*.po by msgfmt.
#include "catalogues.inc"

// A 32-bit number of the .mo file at `at`, in the byte order its magic number gives; 0 past the
// end, which every use below treats as "not found".
std::uint32_t number_at(std::string_view mo, std::size_t at, bool big_endian) {
  if (at > mo.size() || mo.size() - at < 4) return 0;
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<unsigned char>(mo[at + (big_endian ? i : 3 - i)]);
    value = value << 8 | byte;
  }
  return value;
}

// The string whose length and offset stand at `entry` in one of the file's tables.
std::string_view string_at(std::string_view mo, std::size_t entry, bool big_endian) {
  const std::uint32_t length = number_at(mo, entry, big_endian);
  const std::uint32_t offset = number_at(mo, entry + 4, big_endian);
  if (offset > mo.size() || mo.size() - offset < length) return {};
  return mo.substr(offset, length);
}

// The catalogue's translation of `text`; empty when it has none. Entries are sorted by msgid,
// as msgfmt writes them, so the lookup bisects.
std::string_view look_up(std::string_view mo, std::string_view text) {
  const bool big_endian = number_at(mo, 0, true) == 0x950412de;
  if (!big_endian && number_at(mo, 0, false) != 0x950412de) return {};
  const std::uint32_t count = number_at(mo, 8, big_endian);
  const std::uint32_t originals = number_at(mo, 12, big_endian);
  const std::uint32_t translations = number_at(mo, 16, big_endian);
  std::uint32_t low = 0, high = count;
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    const std::string_view original = string_at(mo, originals + std::size_t{8} * middle, big_endian);
    if (original == text) return string_at(mo, translations + std::size_t{8} * middle, big_endian);
    if (original < text) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return {};
}

// "pt_BR.UTF-8@euro" and "PT-br" both as "pt-br"; "C" and "POSIX" as empty.
std::string normalised(std::string_view tag) {
  tag = tag.substr(0, std::min(tag.find('.'), tag.find('@')));
  if (tag == "C" || tag == "POSIX") return {};
  std::string out;
  for (const char c : tag) {
    out += c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// The catalogue for `tag`: the whole tag, then its primary language. English (no catalogue)
// counts as found, so that a user who asks for English gets it before any later language.
const built_in* catalogue_for(std::string_view tag, bool& english) {
  const std::string name = normalised(tag);
  const std::string primary = name.substr(0, name.find('-'));
  english = primary == "en";
  for (const std::string& wanted : {name, primary}) {
    for (const built_in& entry : CATALOGUES) {
      if (!wanted.empty() && entry.language == wanted) return &entry;
    }
  }
  return nullptr;
}

}  // namespace

std::string_view translation::operator()(std::string_view text) const {
  const std::string_view translated = catalogue_.empty() ? std::string_view() : look_up(catalogue_, text);
  return translated.empty() ? text : translated;
}

std::string translation::operator()(std::string_view text, std::string_view value) const {
  std::string out((*this)(text));
  const std::size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, value);
  return out;
}

translation choose_translation(std::string_view requested, const std::vector<std::string>& user_languages) {
  std::vector<std::string_view> wanted;
  if (!requested.empty()) wanted.push_back(requested);
  wanted.insert(wanted.end(), user_languages.begin(), user_languages.end());
  for (const std::string_view tag : wanted) {
    bool english = false;
    if (const built_in* entry = catalogue_for(tag, english)) return translation(entry->language, entry->catalogue);
    if (english) break;
  }
  return {};
}

std::vector<std::string_view> built_in_languages() {
  std::vector<std::string_view> languages;
  for (const built_in& entry : CATALOGUES) languages.push_back(entry.language);
  return languages;
}

}  // namespace npc::signer
