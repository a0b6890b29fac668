// Which site an origin belongs to, by the Public Suffix List: the part of a web address that a
// user can tell apart, and that a long host name must never push out of a dialog.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace npc::signer {

// An origin read as "scheme://host" or "scheme://host:port" (host lower case).
struct origin_parts {
  std::string scheme;
  std::string host;
  std::string port;  // digits, empty when the origin names none
};

// nullopt for anything else: a path, user info, characters no host name has, labels empty or
// longer than 63, a host longer than 253.
std::optional<origin_parts> parse_origin(std::string_view origin);

// The registrable domain of `host` (lower case, ASCII or UTF-8): its public suffix and the
// label before it ("attacker-cdn.net" of "a.b.attacker-cdn.net"). The host itself when it is
// an IP address, a public suffix, or a single label. Built on libpsl, or on the list compiled
// in where libpsl is not at hand (Windows).
std::string registrable_domain(std::string_view host);

// The origin as a dialog shows it, within `limit` bytes: the scheme, the host and the port in
// full where they fit, else with only the host's left-hand part shortened ("https://…-1.node.
// attacker-cdn.net"), never its registrable domain unless that alone exceeds the limit. A text
// that is no origin is cut in the middle (cut_in_middle).
std::string shown_origin(std::string_view origin, std::size_t limit);

namespace detail {

// registrable_domain() over a sorted list of the Public Suffix List's rules, as the Windows
// build uses it; the tests hold it against libpsl.
std::string registrable_domain_in(std::string_view host, const char* const* rules, std::size_t count);

}  // namespace detail
}  // namespace npc::signer
