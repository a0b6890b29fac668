// The registrable domain by the Public Suffix List compiled in, for builds without libpsl.
#include <iterator>

#include "core/site.hpp"

namespace npc::signer {
namespace {

// Generated at build time from Debian's publicsuffix list, sorted by bytes.
constexpr const char* RULES[] = {
#include "public_suffixes.inc"
};

}  // namespace

std::string registrable_domain(std::string_view host) {
  return detail::registrable_domain_in(host, RULES, std::size(RULES));
}

}  // namespace npc::signer
