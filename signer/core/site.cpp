// Reading origins and showing them with their site always in view.
#include "core/site.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <vector>

#include "core/dialog_text.hpp"

namespace npc::signer {
namespace {

bool is_host_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

bool is_ip_address(std::string_view host) {
  if (!host.empty() && host.front() == '[') return true;
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

}  // namespace

std::optional<origin_parts> parse_origin(std::string_view origin) {
  const std::size_t separator = origin.find("://");
  if (separator == std::string_view::npos || separator == 0) return std::nullopt;
  origin_parts parts;
  for (const char c : origin.substr(0, separator)) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return std::nullopt;
    parts.scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  std::string_view rest = origin.substr(separator + 3);
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t end = rest.find(']');
    if (end == std::string_view::npos || rest.substr(1, end - 1).find_first_not_of("0123456789abcdefABCDEF:.") !=
                                             std::string_view::npos) {
      return std::nullopt;
    }
    parts.host = std::string(rest.substr(0, end + 1));
    rest.remove_prefix(end + 1);
  } else {
    const std::size_t end = std::min(rest.find(':'), rest.size());
    const std::string_view host = rest.substr(0, end);
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.' ||
        !std::all_of(host.begin(), host.end(), is_host_char)) {
      return std::nullopt;
    }
    // Labels of 1 to 63 characters, as DNS has them.
    for (std::size_t start = 0; start <= host.size();) {
      const std::size_t end = std::min(host.find('.', start), host.size());
      if (end == start || end - start > 63) return std::nullopt;
      start = end + 1;
    }
    for (const char c : host) parts.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    rest.remove_prefix(end);
  }
  if (!rest.empty()) {
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6 ||
        rest.substr(1).find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    parts.port = std::string(rest.substr(1));
  }
  return parts;
}

std::string shown_origin(std::string_view origin, std::size_t limit) {
  static constexpr std::string_view MARK = "\u2026";
  const auto parts = parse_origin(origin);
  if (!parts) return cut_in_middle(origin, limit);
  const std::string front = parts->scheme + "://";
  const std::string back = parts->port.empty() ? "" : ":" + parts->port;
  const std::string& host = parts->host;
  if (front.size() + host.size() + back.size() <= limit) return front + host + back;
  // Only the labels left of the site give way, from their left.
  const std::string site = is_ip_address(host) ? host : registrable_domain(host);
  const std::size_t fixed = front.size() + MARK.size() + back.size();
  const std::size_t room = limit > fixed ? limit - fixed : 0;
  // A site longer than the whole room (a label of 63 characters on a long suffix) is shown
  // from both ends; the dialog's site line names it apart.
  if (site.size() > room) return front + cut_in_middle(host, room + MARK.size()) + back;
  return front + std::string(MARK) + host.substr(host.size() - room) + back;
}

namespace detail {

std::string registrable_domain_in(std::string_view host, const char* const* rules, std::size_t count) {
  if (host.empty() || is_ip_address(host)) return std::string(host);
  const auto listed = [&](std::string_view rule) {
    return std::binary_search(rules, rules + count, rule,
                              [](std::string_view a, std::string_view b) { return a < b; });
  };
  // Where each suffix starts: the host itself, then after each dot.
  std::vector<std::size_t> starts{0};
  for (std::size_t at = host.find('.'); at != std::string_view::npos; at = host.find('.', at + 1)) {
    starts.push_back(at + 1);
  }
  // The public suffix: an exception rule's parent, else the longest rule that matches (a
  // wildcard matches any one label), else the last label.
  std::size_t suffix = starts.back();
  bool found = false;
  for (std::size_t i = 0; i < starts.size() && !found; ++i) {
    if (listed("!" + std::string(host.substr(starts[i])))) {
      suffix = i + 1 < starts.size() ? starts[i + 1] : starts.back();
      found = true;
    }
  }
  for (std::size_t i = 0; i < starts.size() && !found; ++i) {
    const std::string_view candidate = host.substr(starts[i]);
    const bool wildcard = i + 1 < starts.size() && listed("*." + std::string(host.substr(starts[i + 1])));
    if (listed(candidate) || wildcard) {
      suffix = starts[i];
      found = true;
    }
  }
  const auto at = std::find(starts.begin(), starts.end(), suffix);
  if (at == starts.begin()) return std::string(host);
  return std::string(host.substr(*std::prev(at)));
}

}  // namespace detail
}  // namespace npc::signer
