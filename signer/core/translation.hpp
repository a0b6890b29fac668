// The user's language for the dialogs: gettext catalogues compiled into the library, so that
// they work from the build tree and installed alike, and under a C or C.UTF-8 locale where the C
// library would find none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace npc::signer {

// One language's texts; the English text itself where the catalogue has no entry (or for
// English, which has no catalogue).
class translation {
 public:
  translation() = default;  // English

  // The text for English `text` (a msgid).
  std::string_view operator()(std::string_view text) const;

  // `text` translated, with its one "%s" replaced by `value`.
  std::string operator()(std::string_view text, std::string_view value) const;

  // The language's tag as the catalogue is named ("de", "pt"); "en" for English.
  std::string_view language() const { return language_; }

 private:
  friend translation choose_translation(std::string_view, const std::vector<std::string>&);
  translation(std::string_view language, std::string_view catalogue)
      : language_(language), catalogue_(catalogue) {}
  std::string_view language_ = "en";
  std::string_view catalogue_;  // a .mo file's bytes
};

// The language of `requested` (a BCP 47 tag from the request, such as "et" or "pt-BR"; empty
// when none was given), else the first of `user_languages` (POSIX locale names or BCP 47 tags,
// in order of preference) that has a catalogue, else English.
translation choose_translation(std::string_view requested, const std::vector<std::string>& user_languages);

// The user's languages in order of preference: LANGUAGE (a ':' list), LC_ALL, LC_MESSAGES,
// LANG on POSIX systems; the user's UI languages on Windows.
std::vector<std::string> user_languages();

// The tags of the catalogues built in.
std::vector<std::string_view> built_in_languages();

}  // namespace npc::signer
