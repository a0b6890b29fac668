// Manifests and the doctor's report, written and read through Jansson.
#include "register_json.hpp"

#include <jansson.h>

#include <cstdlib>
#include <memory>

#include "protocol/json_ptr.hpp"

namespace npc::register_json {
namespace {

const char* list_key(std::string_view family) {
  if (family == "chromium") return "allowed_origins";
  if (family == "firefox") return "allowed_extensions";
  return nullptr;
}

// A JSON string of exactly these bytes, or null when they are not valid UTF-8 (or hold a NUL,
// which a manifest has no use for).
json_ptr exact_string(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return nullptr;
  return json_ptr(json_stringn(text.data(), text.size()));
}

// Always a string: bytes past ASCII become '?' when the whole is not valid UTF-8.
json_ptr lenient_string(std::string_view text) {
  if (json_ptr exact = exact_string(text)) return exact;
  std::string ascii(text);
  for (char& c : ascii) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') c = '?';
  }
  return json_ptr(json_stringn(ascii.data(), ascii.size()));
}

std::string dump(const json_t* value) {
  std::unique_ptr<char, decltype(&std::free)> text(json_dumps(value, JSON_INDENT(2) | JSON_PRESERVE_ORDER),
                                                   &std::free);
  return text ? std::string(text.get()) + "\n" : std::string();
}

// One field for the shell: nothing that could end the line, pass for another field or drive a
// terminal (C0 and C1 controls; the text is valid UTF-8, as Jansson parsed it).
std::string shell_safe(std::string_view text, bool blanks_allowed) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool c1 = byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0;
    if (byte < 0x20 || byte == 0x7f || c1 || (!blanks_allowed && byte == ' ')) {
      out += '?';
      i += c1 ? 1 : 0;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string string_field(json_t* object, const char* key) {
  json_t* value = json_object_get(object, key);
  if (!json_is_string(value)) return "";
  return shell_safe(std::string_view(json_string_value(value), json_string_length(value)), true);
}

}  // namespace

bool make_manifest(std::string_view family, std::string_view name, std::string_view path,
                   const std::vector<std::string>& allowed, std::string& out, std::string& error) {
  const char* key = list_key(family);
  if (!key) {
    error = "unknown browser family";
    return false;
  }
  json_ptr document(json_object());
  json_ptr list(json_array());
  const struct {
    const char* key;
    std::string_view value;
  } fields[]{{"name", name}, {"description", "npcorvane native-messaging host"}, {"path", path}, {"type", "stdio"}};
  for (const auto& field : fields) {
    json_ptr value = exact_string(field.value);
    if (!value) {
      error = std::string("the ") + field.key + " is not valid UTF-8";
      return false;
    }
    json_object_set_new(document.get(), field.key, value.release());
  }
  for (const std::string& id : allowed) {
    json_ptr value = exact_string(id);
    if (!value) {
      error = "an allowed extension is not valid UTF-8";
      return false;
    }
    json_array_append_new(list.get(), value.release());
  }
  json_object_set_new(document.get(), key, list.release());
  out = dump(document.get());
  if (out.empty()) {
    error = "out of memory";
    return false;
  }
  return true;
}

bool read_manifest(std::string_view text, std::string_view family, std::string& out) {
  json_error_t problem;
  const json_ptr document(json_loadb(text.data(), text.size(), 0, &problem));
  if (!document) {
    out = "error=is no JSON (line " + std::to_string(problem.line) + ": " + shell_safe(problem.text, true) + ")\n";
    return false;
  }
  if (!json_is_object(document.get())) {
    out = "error=is no JSON object\n";
    return false;
  }
  out = "name=" + string_field(document.get(), "name") + "\n";
  out += "path=" + string_field(document.get(), "path") + "\n";
  out += "type=" + string_field(document.get(), "type") + "\n";
  std::string allowed;
  const char* key = list_key(family);
  json_t* list = key ? json_object_get(document.get(), key) : nullptr;
  for (std::size_t i = 0; i < json_array_size(list); ++i) {
    json_t* item = json_array_get(list, i);
    if (!json_is_string(item)) continue;
    if (!allowed.empty()) allowed += ' ';
    allowed += shell_safe(std::string_view(json_string_value(item), json_string_length(item)), false);
  }
  out += "allowed=" + allowed + "\n";
  return true;
}

bool make_chromium_policy(std::string_view id, std::string_view update_url, const std::vector<std::string>& sites,
                          std::string& out, std::string& error) {
  json_ptr entry(json_object());
  const auto set = [&](const char* key, std::string_view text) {
    json_ptr value = exact_string(text);
    if (!value) return false;
    return json_object_set_new(entry.get(), key, value.release()) == 0;
  };
  if (!update_url.empty() && !(set("installation_mode", "force_installed") && set("update_url", update_url))) {
    error = "the update URL is not valid UTF-8";
    return false;
  }
  if (!sites.empty()) {
    json_ptr blocked(json_array()), allowed(json_array());
    json_array_append_new(blocked.get(), json_string("*://*"));
    for (const std::string& site : sites) {
      json_ptr value = exact_string(site);
      if (!value) {
        error = "a site is not valid UTF-8";
        return false;
      }
      json_array_append_new(allowed.get(), value.release());
    }
    json_object_set_new(entry.get(), "runtime_blocked_hosts", blocked.release());
    json_object_set_new(entry.get(), "runtime_allowed_hosts", allowed.release());
  }
  json_ptr settings(json_object()), document(json_object());
  const std::string key(id);
  if (!exact_string(id) || json_object_set_new(settings.get(), key.c_str(), entry.release()) != 0) {
    error = "the extension ID is not valid UTF-8";
    return false;
  }
  json_object_set_new(document.get(), "ExtensionSettings", settings.release());
  out = dump(document.get());
  return !out.empty();
}

bool merge_firefox_policy(std::string_view existing, std::string_view id, std::string_view install_url,
                          std::string& out, std::string& error) {
  json_ptr document;
  if (existing.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    document.reset(json_object());
  } else {
    json_error_t problem;
    document.reset(json_loadb(existing.data(), existing.size(), 0, &problem));
    if (!json_is_object(document.get())) {
      error = document ? "is no JSON object" : "is no JSON (line " + std::to_string(problem.line) + ": " + problem.text + ")";
      return false;
    }
  }
  json_t* policies = json_object_get(document.get(), "policies");
  if (!policies) {
    json_object_set_new(document.get(), "policies", json_object());
    policies = json_object_get(document.get(), "policies");
  }
  json_t* settings = json_object_get(policies, "ExtensionSettings");
  if (!settings) {
    json_object_set_new(policies, "ExtensionSettings", json_object());
    settings = json_object_get(policies, "ExtensionSettings");
  }
  if (!json_is_object(policies) || !json_is_object(settings)) {
    error = "holds policies or ExtensionSettings that are no JSON object";
    return false;
  }
  const std::string key(id);
  if (!exact_string(id)) {
    error = "the add-on ID is not valid UTF-8";
    return false;
  }
  if (install_url.empty()) {
    json_object_del(settings, key.c_str());
  } else {
    json_ptr entry(json_object());
    json_ptr url = exact_string(install_url);
    if (!url) {
      error = "the install URL is not valid UTF-8";
      return false;
    }
    json_object_set_new(entry.get(), "installation_mode", json_string("force_installed"));
    json_object_set_new(entry.get(), "install_url", url.release());
    json_object_set_new(settings, key.c_str(), entry.release());
  }
  // What this command added and nothing else is gone again: so is the file.
  if (json_object_size(settings) == 0) json_object_del(policies, "ExtensionSettings");
  if (json_object_size(policies) == 0) json_object_del(document.get(), "policies");
  out = json_object_size(document.get()) == 0 ? std::string() : dump(document.get());
  return true;
}

bool read_fields(std::string_view text, const std::vector<std::string>& keys, std::string& out) {
  const json_ptr document(json_loadb(text.data(), text.size(), 0, nullptr));
  if (!json_is_object(document.get())) {
    out = "error=is no JSON object\n";
    return false;
  }
  out.clear();
  for (const std::string& key : keys) out += key + "=" + string_field(document.get(), key.c_str()) + "\n";
  return true;
}

std::string make_report(std::string_view lines) {
  json_ptr checks(json_array());
  long problems = 0;
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    std::string_view line = lines.substr(0, end);
    lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
    if (line.empty()) continue;
    std::vector<std::string_view> fields;
    for (;;) {
      const std::size_t tab = line.find('\t');
      fields.push_back(line.substr(0, tab));
      if (tab == std::string_view::npos) break;
      line.remove_prefix(tab + 1);
    }
    json_ptr check(json_object());
    if (fields.size() != 5) {
      fields = {"report", "", "problem", "a check gave a malformed line", ""};
    }
    const char* keys[]{"area", "subject", "state", "detail", "fix"};
    for (std::size_t i = 0; i < 5; ++i) {
      if (i == 4 && fields[i].empty()) continue;
      json_object_set_new(check.get(), keys[i], lenient_string(fields[i]).release());
    }
    if (fields[2] == "problem") ++problems;
    json_array_append_new(checks.get(), check.release());
  }
  json_ptr report(json_object());
  json_object_set_new(report.get(), "checks", checks.release());
  json_object_set_new(report.get(), "problems", json_integer(problems));
  return dump(report.get());
}

}  // namespace npc::register_json
