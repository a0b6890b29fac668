// Texts from requests, certificates and tokens made fit to show in the user's dialogs, where a
// hostile value must not forge a line, hide characters, reorder its neighbours or make one name
// read as another.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace npc::signer {

// `text` as valid UTF-8 on one line, by the Unicode Character Database: letters, numbers,
// punctuation, symbols and the plain space stay, and marks after such a base character; controls
// and the line and paragraph separators become spaces; everything else (format characters,
// default-ignorable code points even after a base, other spaces, private use, unassigned code
// points, bytes that are not UTF-8) becomes "?". Never longer than `text`.
std::string one_line_text(std::string_view text);

// The first isolate and pop directional isolate that each shown value is wrapped in, so that
// right-to-left text inside it cannot reorder the text around it.
inline constexpr std::string_view FIRST_STRONG_ISOLATE = "\u2068";
inline constexpr std::string_view POP_DIRECTIONAL_ISOLATE = "\u2069";

// one_line_text(`text`), cut in the middle to at most `limit` bytes (a '%' counting three, as
// pinentry's protocol sends it) with "…" where the cut is, at character boundaries. Its start
// and its end stay, so that values differing at either end still look different.
std::string cut_in_middle(std::string_view text, std::size_t limit);

namespace detail {

enum class char_class { shown, mark, line_break, hidden };

// The class of a code point; hidden for anything above U+10FFFF.
char_class class_of(char32_t c);

}  // namespace detail
}  // namespace npc::signer
