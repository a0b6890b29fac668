// The login rules.
#include "core/login.hpp"

#include <cstdio>
#include <ctime>

namespace npc::signer {
namespace {

bool is_port(std::string_view text) {
  if (text.empty() || text.size() > 5 || text[0] == '0') return false;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= 65535;
}

// Dot-separated labels of lower-case letters, digits and '-', none empty or edged with '-'.
bool is_host(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  std::size_t label = 0;
  for (std::size_t i = 0; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '.') {
      if (label == 0 || label > 63 || host[i - 1] == '-' || host[i - label] == '-') return false;
      label = 0;
      continue;
    }
    const char c = host[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    ++label;
  }
  return true;
}

}  // namespace

bool is_login_origin(std::string_view origin) {
  std::string_view rest;
  bool secure = false;
  if (origin.substr(0, 8) == "https://") {
    rest = origin.substr(8);
    secure = true;
  } else if (origin.substr(0, 7) == "http://") {
    rest = origin.substr(7);
  } else {
    return false;
  }
  const std::size_t colon = rest.find(':');
  const std::string_view host = rest.substr(0, colon);
  if (colon != std::string_view::npos && !is_port(rest.substr(colon + 1))) return false;
  if (!secure) return host == "localhost" || host == "127.0.0.1";
  return is_host(host);
}

std::string authentication_message(std::string_view origin_sha256, std::string_view challenge_sha256) {
  std::string message(AUTHENTICATION_FORMAT);
  message += '\0';
  message += origin_sha256;
  message += challenge_sha256;
  return message;
}

const hash_algorithm* login_hash(const certificate_info& info) {
  if (info.kind == key_kind::rsa) return find_hash("SHA-256");
  if (info.kind != key_kind::ec) return nullptr;
  if (info.curve == "P-256") return find_hash("SHA-256");
  if (info.curve == "P-384") return find_hash("SHA-384");
  if (info.curve == "P-521") return find_hash("SHA-512");
  return nullptr;
}

bool valid_at(const certificate_info& info, std::string_view now) {
  // The fixed-width form orders as text does.
  return info.not_before <= now && now <= info.not_after;
}

std::string utc_now() {
  // The civil date from days since 1970 (the proleptic Gregorian calendar), without gmtime's
  // shared buffer or a platform's variant of it.
  const long long seconds = static_cast<long long>(std::time(nullptr));
  const long long days = seconds / 86400;
  const long long of_day = seconds % 86400;
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  // Room for any value the compiler can imagine, though years past 9999 never come.
  char text[128];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                of_day / 3600, of_day / 60 % 60, of_day % 60);
  return text;
}

}  // namespace npc::signer
