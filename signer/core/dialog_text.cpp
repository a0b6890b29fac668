// Neutralising what a dialog text could use to deceive: forged lines and reordered characters.
#include "core/dialog_text.hpp"

#include <utility>

namespace npc::signer {
namespace {

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

bool is_line_break(long c) {
  return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

// With these, "moc.knab" can be made to read "bank.com", or two names to look alike.
bool is_format_mark(long c) {
  return c == 0x61c || c == 0xfeff || (c >= 0x200b && c <= 0x200f) ||
         (c >= 0x202a && c <= 0x202e) || (c >= 0x2060 && c <= 0x2069);
}

}  // namespace

std::string one_line_text(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const auto [c, length] = code_point_at(text, at);
    if (c >= 0 && is_line_break(c)) {
      out += ' ';
    } else if (c < 0 || is_format_mark(c)) {
      out += '?';
    } else {
      out += text.substr(at, length);
    }
    at += length;
  }
  return out;
}

}  // namespace npc::signer
