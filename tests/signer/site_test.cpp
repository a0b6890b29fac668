// The registrable domain by libpsl (Linux) and by the list compiled in (Windows) agree, on the
// rules' every kind: plain, wildcard, exception, punycode, and hosts that have no site beyond
// themselves.
#include <gtest/gtest.h>

#include <iterator>

#include "core/site.hpp"

namespace npc::test {
namespace {

constexpr const char* RULES[] = {
#include "public_suffixes.inc"
};

TEST(site, both_lists_name_the_same_registrable_domain) {
  struct site_case {
    const char* host;
    const char* site;
  };
  const site_case table[] = {
      {"login.bank.example.com.region-eu-west-1.node-0042.attacker-cdn.net", "attacker-cdn.net"},
      {"attacker-cdn.net", "attacker-cdn.net"},
      {"www.example.co.uk", "example.co.uk"},
      {"co.uk", "co.uk"},
      {"localhost", "localhost"},
      {"user.github.io", "user.github.io"},
      {"x.user.github.io", "user.github.io"},
      {"a.b.foo.kawasaki.jp", "b.foo.kawasaki.jp"},  // *.kawasaki.jp
      {"www.city.kawasaki.jp", "city.kawasaki.jp"},  // !city.kawasaki.jp
      {"a.b.xn--55qx5d.cn", "b.xn--55qx5d.cn"},
      {"192.168.0.1", "192.168.0.1"},
      {"[::1]", "[::1]"},
  };
  for (const site_case& c : table) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(signer::registrable_domain(c.host), c.site);
    EXPECT_EQ(signer::detail::registrable_domain_in(c.host, RULES, std::size(RULES)), c.site);
  }
}

}  // namespace
}  // namespace npc::test
