// The JSON that npcorvane-register needs and shell cannot write or read safely: host manifests and
// the report of `doctor --json`. Pure functions over strings; the executable does the I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace npc::register_json {

// A host manifest for a browser family ("chromium" lists allowed_origins, "firefox"
// allowed_extensions), two-space indented as the packaged manifests are, ending in a line break.
// Returns false, with `error` set, when a value is not valid UTF-8 or the family is unknown.
bool make_manifest(std::string_view family, std::string_view name, std::string_view path,
                   const std::vector<std::string>& allowed, std::string& out, std::string& error);

// What a manifest says, as `key=value` lines the shell reads with sed: name, path, type and
// allowed (the family's list, joined by blanks). Control characters (C0 and C1) and blanks inside
// a list entry show as '?', so nothing read from the file can break a line, forge a field or
// drive a terminal. A file that is no JSON object gives one line `error=...` and false.
bool read_manifest(std::string_view text, std::string_view family, std::string& out);

// The named string members of a JSON object (a reply of the host, say) as `key=value` lines, made
// safe as read_manifest's; a member that is absent or no string gives `key=`. Text that is no
// JSON object gives `error=...` and false.
bool read_fields(std::string_view text, const std::vector<std::string>& keys, std::string& out);

// A Chromium-family managed-policy file that sets ExtensionSettings for extension `id`: forced
// from `update_url` unless that is empty, and allowed to act on `sites` alone when there are any.
bool make_chromium_policy(std::string_view id, std::string_view update_url, const std::vector<std::string>& sites,
                          std::string& out, std::string& error);

// Firefox's policies.json text `existing` (empty when there is none) with the ExtensionSettings
// entry of add-on `id` set to a forced install from `install_url`, or removed when that is empty;
// every other policy and entry is kept. `out` is empty when nothing is left. Fails on text that
// is not a JSON object, so that an administrator's file is never overwritten by mistake.
bool merge_firefox_policy(std::string_view existing, std::string_view id, std::string_view install_url,
                          std::string& out, std::string& error);

// One JSON object from check lines `area<TAB>subject<TAB>state<TAB>detail<TAB>fix` ("state" is
// ok, problem or info): {"checks": [...], "problems": N}. Malformed lines are kept as a problem;
// text that is not valid UTF-8 is carried with '?' in place of its bytes past ASCII.
std::string make_report(std::string_view lines);

}  // namespace npc::register_json
