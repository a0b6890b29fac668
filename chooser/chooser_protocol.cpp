// Writing and reading the chooser's lines.
#include "chooser_protocol.hpp"

#include <charconv>

namespace npc::chooser {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

}  // namespace

std::string escape(std::string_view text) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (is_control(byte) || byte == '%') {
      out += '%';
      out += DIGITS[byte >> 4];
      out += DIGITS[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (is_control(static_cast<unsigned char>(c))) return std::nullopt;
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      c = static_cast<char>(high * 16 + low);
      // A shown text is one line: an escaped line break or tab is drawn as a space.
      if (is_control(static_cast<unsigned char>(c))) c = ' ';
      i += 2;
    }
    out += c;
  }
  return out;
}

std::string write_request(const request& shown) {
  std::string out = "TITLE " + escape(shown.title) + "\nHEADING " + escape(shown.heading) + "\n";
  const std::pair<const char*, const std::string*> named[] = {
      {"choose", &shown.label.choose}, {"cancel", &shown.label.cancel},
      {"list", &shown.label.list},     {"issuer", &shown.label.issuer},
      {"valid_until", &shown.label.valid_until}, {"token", &shown.label.token},
      {"empty", &shown.label.empty}};
  for (const auto& [key, text] : named) out += std::string("LABEL ") + key + " " + escape(*text) + "\n";
  out += "TIMEOUT " + std::to_string(shown.timeout_s) + "\n";
  for (const item& entry : shown.items) {
    out += "ITEM " + escape(entry.key) + "\t" + escape(entry.name) + "\t" + escape(entry.issuer) + "\t" +
           escape(entry.valid_until) + "\t" + escape(entry.token) + "\t" + escape(entry.note) + "\n";
  }
  return out + "SHOW\n";
}

bool request_reader::reject(std::string why) {
  error_ = std::move(why);
  return false;
}

bool request_reader::feed(std::string_view line) {
  if (complete_) return reject("a line after SHOW");
  if (line.size() + 1 > LINE_LIMIT) return reject("a line longer than the limit");
  const std::size_t space = line.find(' ');
  const std::string_view command = line.substr(0, space);
  const std::string_view argument = space == std::string_view::npos ? "" : line.substr(space + 1);

  if (command == "SHOW") {
    complete_ = true;
    return true;
  }
  if (command == "TIMEOUT") {
    int seconds = 0;
    const auto [end, failed] = std::from_chars(argument.data(), argument.data() + argument.size(), seconds);
    if (failed != std::errc() || end != argument.data() + argument.size() || seconds <= 0) {
      return reject("TIMEOUT is not a positive number of seconds");
    }
    request_.timeout_s = seconds;
    return true;
  }
  if (command == "ITEM") {
    if (request_.items.size() == ITEM_LIMIT) return reject("more certificates than a chooser lists");
    const auto fields = split(argument, '\t');
    if (fields.size() != 6) return reject("an ITEM without its six fields");
    std::string* targets[6];
    item& entry = request_.items.emplace_back();
    targets[0] = &entry.key, targets[1] = &entry.name, targets[2] = &entry.issuer;
    targets[3] = &entry.valid_until, targets[4] = &entry.token, targets[5] = &entry.note;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      auto text = unescape(fields[i]);
      if (!text) return reject("a malformed escape");
      *targets[i] = std::move(*text);
    }
    if (entry.key.empty()) return reject("an ITEM without a key");
    return true;
  }
  std::string_view text = argument;
  std::string* target = nullptr;
  if (command == "TITLE") {
    target = &request_.title;
  } else if (command == "HEADING") {
    target = &request_.heading;
  } else if (command == "LABEL") {
    const std::size_t gap = argument.find(' ');
    const std::string_view key = argument.substr(0, gap);
    text = gap == std::string_view::npos ? "" : argument.substr(gap + 1);
    labels& l = request_.label;
    target = key == "choose" ? &l.choose : key == "cancel" ? &l.cancel : key == "list" ? &l.list
           : key == "issuer" ? &l.issuer : key == "valid_until" ? &l.valid_until
           : key == "token" ? &l.token : key == "empty" ? &l.empty : nullptr;
    if (!target) return reject("an unknown LABEL");
  } else {
    return reject("an unknown command");
  }
  auto value = unescape(text);
  if (!value) return reject("a malformed escape");
  *target = std::move(*value);
  return true;
}

answer read_answer(std::string_view line) {
  if (line == "CANCELLED") return {answer::kind::cancelled, {}};
  if (line.substr(0, 7) == "CHOSEN ") {
    if (auto key = unescape(line.substr(7)); key && !key->empty()) return {answer::kind::chosen, *key};
    return {answer::kind::failed, "a malformed choice"};
  }
  if (line.substr(0, 4) == "ERR ") return {answer::kind::failed, std::string(line.substr(4))};
  return {answer::kind::failed, "an answer the chooser protocol does not have"};
}

}  // namespace npc::chooser
