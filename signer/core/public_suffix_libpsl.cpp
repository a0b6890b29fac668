// The registrable domain by libpsl, with the list the system keeps up to date where it has one.
#include <libpsl.h>

#include <string>

#include "core/site.hpp"

namespace npc::signer {

std::string registrable_domain(std::string_view host) {
  // Loaded once and kept: the list does not change while the host runs.
  static const psl_ctx_t* const list = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest ? latest : psl_builtin();
  }();
  const std::string name(host);
  if (host.empty() || host.front() == '[' || host.find_first_not_of("0123456789.") == std::string_view::npos) {
    return name;
  }
  const char* domain = list ? psl_registrable_domain(list, name.c_str()) : nullptr;
  return domain ? std::string(domain) : name;
}

}  // namespace npc::signer
