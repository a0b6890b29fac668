#!/usr/bin/env bash
# The machine-wide MSI under Wine: a silent install with the policy properties puts the files in
# Program Files, the browsers' keys under HKLM and the force-install and allowed-sites policies
# in place; the installed host answers through the installed library and the installed doctor
# reports it; the uninstall leaves no file, key or value of its own and keeps the administrator's
# other policies. A plain install then writes no policy. Ends with "msi test: all passed" only when every check held.
#   msi_test.sh MSI CLIENT HOST_NAME
set -uo pipefail
msi=$1 client=$2 host=$3
passed=0 failed=0
check() {
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name" >&2; fi
}
# A value of a key under HKLM (the default one without $2), or nothing when it is missing.
value() {
  if [ $# -gt 1 ]; then
    wine reg query "HKLM\\$1" /v "$2" 2>/dev/null
  else
    wine reg query "HKLM\\$1" /ve 2>/dev/null
  fi | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'
}
key_missing() { ! wine reg query "HKLM\\$1" >/dev/null 2>&1; }
# The extensions the policies name unless told otherwise: the MSI's own defaults, which its
# manifests must allow.
property() { msiinfo export "$msi" Property | tr -d '\r' | awk -F '\t' -v name="$1" '$1 == name { print $2 }'; }
chromium_id=$(property CHROMIUM_EXTENSION_ID) addon=$(property FIREFOX_EXTENSION_ID)
hosts=("Software\\Google\\Chrome\\NativeMessagingHosts\\$host"
       "Software\\Chromium\\NativeMessagingHosts\\$host"
       "Software\\Microsoft\\Edge\\NativeMessagingHosts\\$host"
       "Software\\Mozilla\\NativeMessagingHosts\\$host")
chrome="Software\\Policies\\Google\\Chrome" chromium="Software\\Policies\\Chromium"
edge="Software\\Policies\\Microsoft\\Edge" firefox="Software\\Policies\\Mozilla\\Firefox"
sites='https://*.example.org'
msi_path=$(winepath -w "$msi" 2>/dev/null)
# A policy of the administrator's own, which the uninstall must keep.
wine reg add "HKLM\\$chrome" /v HomepageLocation /d 'https://intranet.example' /f >/dev/null 2>&1

wine msiexec /i "$msi_path" /qn FORCE_EXTENSION=1 "ALLOWED_ORIGINS=$sites"
check "install exits 0" test $? -eq 0
program_files=$(wine cmd /c echo %ProgramW6432% 2>/dev/null | tr -d '\r')
folder="$program_files\\npcorvane"
dir=$(winepath -u "$folder" 2>/dev/null)
for file in npcorvane-host.exe npcorvane.dll npcorvane-doctor.exe "$host.json" "$host.firefox.json"; do
  check "installed: $file" test -f "$dir/$file"
done
for key in "${hosts[@]:0:3}"; do
  check "key $key" test "$(value "$key")" = "$folder\\$host.json"
done
check "key ${hosts[3]}" test "$(value "${hosts[3]}")" = "$folder\\$host.firefox.json"
for key in "${hosts[@]}"; do
  check "32-bit view: $key" test -n "$(wine reg query "HKLM\\$key" /ve /reg:32 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')"
done
check "Chromium manifest allows $chromium_id" jq -e --arg host "$host" --arg origin "chrome-extension://$chromium_id/" \
  '.name == $host and .path == "npcorvane-host.exe" and (.allowed_origins | index($origin)) != null' "$dir/$host.json" >/dev/null
check "Firefox manifest allows $addon" jq -e --arg addon "$addon" \
  '(.allowed_extensions | index($addon)) != null' "$dir/$host.firefox.json" >/dev/null
# Each Chromium-family browser's ExtensionSettings: forced from its own store, on the allowed sites only.
for policy in "$chrome|https://clients2.google.com/service/update2/crx" \
              "$chromium|https://clients2.google.com/service/update2/crx" \
              "$edge|https://edge.microsoft.com/extensionwebstorebase/v1/crx"; do
  settings=$(value "${policy%%|*}" ExtensionSettings)
  check "policy ${policy%%|*} ($settings)" jq -e --arg id "$chromium_id" --arg url "${policy#*|}" --arg sites "$sites" \
    '.[$id] == {installation_mode: "force_installed", update_url: $url, runtime_blocked_hosts: ["*://*"],
                runtime_allowed_hosts: [$sites]}' <<<"$settings" >/dev/null
done
settings=$(value "$firefox" ExtensionSettings)
check "policy $firefox ($settings)" jq -e --arg id "$addon" \
  '.[$id].installation_mode == "force_installed" and (.[$id].install_url | test("^https://"))' <<<"$settings" >/dev/null

# The installed host, started from elsewhere, answers a frame through the installed library.
reply=$(cd / && "$client" --host "$(command -v wine)" '{"operation":"version","id":1}' -- "$folder\\npcorvane-host.exe")
check "installed host answers ($reply)" jq -e '.status == "ok" and .id == 1
  and .crypto == "Windows certificate store and CNG"' <<<"$reply" >/dev/null

# The installed doctor: every browser's machine key, the host answering through the library, and
# the certificate store: its keyed certificates by name (those the store test put in this prefix,
# when it ran first), or the problem that there are none. Its status follows its problems.
doctor=$(cd / && wine "$folder\\npcorvane-doctor.exe" 2>/dev/null | tr -d '\r')
doctor_status=$?
for browser in chrome chromium edge firefox; do
  check "doctor: $browser" grep -qF "ok       $browser: machine key " <<<"$doctor"
done
check "doctor: the host answers" grep -qF "ok       chrome: the host answers through its signing library" <<<"$doctor"
check "doctor: the store" grep -qE "^(ok       store: a certificate with a private key: |problem  store: the user's certificate store holds no certificate with a private key)" <<<"$doctor"
report=$(cd / && wine "$folder\\npcorvane-doctor.exe" --json 2>/dev/null)
check "doctor --json ($report)" jq -e '.checks | any(.subject == "firefox" and .state == "ok")' <<<"$report" >/dev/null
problems=$(jq -r '.problems' <<<"$report")
check "doctor: status $doctor_status for $problems problem(s)" test "$((problems > 0))" -eq "$((doctor_status != 0))"

wine msiexec /x "$msi_path" /qn
check "uninstall exits 0" test $? -eq 0
check "folder removed" test ! -e "$dir"
for key in "${hosts[@]}" "$chromium" "$edge" "$firefox"; do
  check "removed: $key" key_missing "$key"
  check "removed from the 32-bit view: $key" sh -c "! wine reg query 'HKLM\\$key' /reg:32 >/dev/null 2>&1"
done
check "removed: $chrome ExtensionSettings" test -z "$(value "$chrome" ExtensionSettings)"
check "kept: the administrator's own policy" test "$(value "$chrome" HomepageLocation)" = 'https://intranet.example'

# Without the properties, no policy is written.
wine msiexec /i "$msi_path" /qn
check "plain install exits 0" test $? -eq 0
check "plain install registers" test "$(value "${hosts[0]}")" = "$folder\\$host.json"
for key in "$chromium" "$edge" "$firefox"; do
  check "no policy: $key" key_missing "$key"
done
wine msiexec /x "$msi_path" /qn
check "plain uninstall leaves no key" key_missing "${hosts[0]}"

echo "msi test: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && echo "msi test: all passed"
