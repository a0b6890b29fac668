#!/usr/bin/env bash
# The per-user installer under Wine: a silent install puts the files and the four browser keys in
# place, the installed host answers through the installed library, and the silent uninstall
# leaves no file and no key of its own (and every key it did not make). Ends with
# "installer test: all passed" only when every check held.
#   installer_test.sh INSTALLER CLIENT HOST_NAME CHROMIUM_ORIGIN FIREFOX_ID
set -uo pipefail
installer=$1 client=$2 host=$3 origin=$4 addon=$5
passed=0 failed=0
check() {
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name" >&2; fi
}
# The default value of a key, or nothing when the key is missing.
default_value() { wine reg query "HKCU\\$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'; }
key_missing() { ! wine reg query "HKCU\\$1" >/dev/null 2>&1; }
keys=("Software\\Google\\Chrome\\NativeMessagingHosts\\$host"
      "Software\\Chromium\\NativeMessagingHosts\\$host"
      "Software\\Microsoft\\Edge\\NativeMessagingHosts\\$host"
      "Software\\Mozilla\\NativeMessagingHosts\\$host")
apps="Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\npcorvane"
# Another host's registration, which the uninstaller must leave alone.
wine reg add "HKCU\\Software\\Mozilla\\NativeMessagingHosts\\other.host" /ve /d 'C:\other.json' /f >/dev/null 2>&1

wine "$installer" /S
check "install exits 0" test $? -eq 0
local_app_data=$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
folder="$local_app_data\\npcorvane"
dir=$(winepath -u "$folder" 2>/dev/null)
for file in npcorvane-host.exe npcorvane.dll "$host.json" "$host.firefox.json" uninstall.exe \
            extension/chromium/manifest.json extension/firefox/manifest.json \
            extension/npcorvane-chromium.zip extension/npcorvane-firefox.xpi; do
  check "installed: $file" test -f "$dir/$file"
done
for key in "${keys[@]:0:3}"; do
  check "key $key" test "$(default_value "$key")" = "$folder\\$host.json"
done
check "key ${keys[3]}" test "$(default_value "${keys[3]}")" = "$folder\\$host.firefox.json"
check "Chromium manifest" jq -e --arg host "$host" --arg origin "$origin" \
  '.name == $host and .path == "npcorvane-host.exe" and .type == "stdio" and (.allowed_origins | index($origin)) != null' \
  "$dir/$host.json" >/dev/null
check "Firefox manifest" jq -e --arg host "$host" --arg addon "$addon" \
  '.name == $host and .path == "npcorvane-host.exe" and (.allowed_extensions | index($addon)) != null' \
  "$dir/$host.firefox.json" >/dev/null
check "Apps entry" sh -c "wine reg query 'HKCU\\$apps' /v QuietUninstallString 2>/dev/null | grep -q 'uninstall.exe\" /S'"

# The installed host, started from elsewhere, answers a frame through the installed library.
reply=$(cd / && "$client" --host "$(command -v wine)" '{"operation":"version","id":1}' -- "$folder\\npcorvane-host.exe")
check "installed host answers ($reply)" jq -e '.status == "ok" and .id == 1 and (.operations | index("sign")) != null
  and .crypto == "Windows certificate store and CNG"' <<<"$reply" >/dev/null

# The uninstaller copies itself away and returns at once; wait for it to finish.
wine "$dir/uninstall.exe" /S
for _ in $(seq 60); do
  [ -e "$dir" ] || break
  sleep 0.5
done
check "folder removed" test ! -e "$dir"
for key in "${keys[@]}" "$apps"; do
  check "removed: $key" key_missing "$key"
done
check "other host's key kept" test "$(default_value "Software\\Mozilla\\NativeMessagingHosts\\other.host")" = 'C:\other.json'

echo "installer test: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && echo "installer test: all passed"
