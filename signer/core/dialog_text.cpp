// Neutralising what a dialog text could use to deceive: forged lines, hidden and reordering
// characters, and cuts that leave two values alike.
#include "core/dialog_text.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

namespace npc::signer {
namespace detail {
namespace {

struct class_range {
  char32_t first;
  char32_t last;
  char_class cls;
};

// Generated at build time from the Unicode Character Database (Debian's unicode-data), so that
// the Windows build, where no Unicode library is at hand, filters exactly as the Linux one.
constexpr class_range CLASSES[] = {
#include "unicode_classes.inc"
};

}  // namespace

char_class class_of(char32_t c) {
  const auto after = std::upper_bound(std::begin(CLASSES), std::end(CLASSES), c,
                                      [](char32_t value, const class_range& range) { return value < range.first; });
  if (after == std::begin(CLASSES)) return char_class::hidden;
  const class_range& range = *std::prev(after);
  return c <= range.last ? range.cls : char_class::hidden;
}

}  // namespace detail

namespace {

using detail::char_class;

// The code point of the UTF-8 sequence at text[at] and its length; -1 for a byte that starts
// no valid sequence (stray continuation, overlong form, surrogate, past U+10FFFF, cut short).
std::pair<long, std::size_t> code_point_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (length == 0 || lead > 0xf4 || at + length > text.size()) return {-1, 1};
  long value = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return {-1, 1};
    value = value << 6 | (byte(i) & 0x3f);
  }
  static constexpr long SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < SMALLEST[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
    return {-1, 1};
  }
  return {value, length};
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

std::size_t cost(char c) { return c == '%' ? 3 : 1; }

}  // namespace

std::string one_line_text(std::string_view text) {
  std::string out;
  bool after_base = false;  // whether a mark here would sit on a shown character
  for (std::size_t at = 0; at < text.size();) {
    const auto [c, length] = code_point_at(text, at);
    const char_class cls = c < 0 ? char_class::hidden : detail::class_of(static_cast<char32_t>(c));
    if (cls == char_class::shown || (cls == char_class::mark && after_base)) {
      out += text.substr(at, length);
      after_base = c != ' ';
    } else {
      out += cls == char_class::line_break ? ' ' : '?';
      after_base = false;
    }
    at += length;
  }
  return out;
}

std::string cut_in_middle(std::string_view text, std::size_t limit) {
  static constexpr std::string_view MARK = "\u2026";
  const std::string line = one_line_text(text);
  std::size_t total = 0;
  for (const char c : line) total += cost(c);
  if (total <= limit) return line;
  // The head takes half of what is left beside the mark, the tail the rest; neither splits a
  // character.
  const std::size_t room = limit > MARK.size() ? limit - MARK.size() : 0;
  std::size_t head = 0, used = 0;
  while (head < line.size() && used + cost(line[head]) <= room / 2) used += cost(line[head++]);
  while (head > 0 && head < line.size() && is_continuation(line[head])) used -= cost(line[--head]);
  std::size_t tail = line.size();
  while (tail > head && used + cost(line[tail - 1]) <= room) used += cost(line[--tail]);
  while (tail < line.size() && is_continuation(line[tail])) ++tail;
  return line.substr(0, head) + std::string(MARK) + line.substr(tail);
}

}  // namespace npc::signer
