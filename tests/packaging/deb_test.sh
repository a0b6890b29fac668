# The Debian package end to end: builds the .deb for a throw-away test extension, checks it with
# lintian and its dependencies against what it links, installs it with dpkg, runs the browser suite
# against the installed host found through the system manifests alone, and again in Chromium through
# another Chromium-family browser's user folder as npcorvane-register wrote it, then purges the
# package and checks that nothing is left. The machine is left as it was found, whatever fails.
# Run by scripts/stages/package, which installs what it needs and builds the test library first.
. "$(dirname "$0")/../../scripts/lib.sh"
set -o pipefail

package=npcorvane
host_name=npc_test_host              # the name the test extension connects to
firefox_id=npc-test@npcorvane.example  # the test add-on's ID
package_build=${NPC_PACKAGE_BUILD:-$NPC_ROOT/build-package}
browsers=${NPC_PACKAGE_BROWSERS:-chromium firefox}

fail() {
  echo "package: $*" >&2
  exit 1
}

status=$(dpkg-query -W -f='${db:Status-Abbrev}' $package 2>/dev/null)
case $status in
  '' | un*) ;;
  *) fail "$package is on this machine already ($status): the stage installs and purges it, so remove it first" ;;
esac

work=$(mktemp -d)
installed=0 suite=''
cleanup() {
  # The suite runs in the background so that a signal reaches this trap at once; it is ended
  # first (timeout passes the signal on, and the harness ends its browser), then the package goes.
  if [ -n "$suite" ]; then
    kill -TERM "$suite" 2>/dev/null
    wait "$suite" 2>/dev/null
  fi
  if [ $installed -eq 1 ]; then
    echo "purging $package"
    dpkg --purge $package >/dev/null || echo "package: could not purge $package" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# A fresh extension key each run, so the package allows no extension anyone else could load.
extension_id=$(node "$NPC_ROOT/tests/browsers/run.mjs" --make-key "$work/extension.key") ||
  fail "cannot make an extension key"

echo "--- building the package (extension $extension_id, host name $host_name)"
start=$SECONDS
flags=$(cd "$NPC_ROOT" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=cmdline)
# Only the package's own build type: none, so the distribution's flags alone decide.
eval "set -- $flags"
for flag; do
  case $flag in
    CXXFLAGS=*) cxxflags=${flag#CXXFLAGS=} ;;
    CPPFLAGS=*) cppflags=${flag#CPPFLAGS=} ;;
    LDFLAGS=*) ldflags=${flag#LDFLAGS=} ;;
  esac
done
rm -f "$package_build/CMakeCache.txt"
npc_build "$package_build" -DCMAKE_BUILD_TYPE= -DNPC_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  "-DCMAKE_CXX_FLAGS=$cxxflags $cppflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" \
  "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" -DNPC_HOST_NAME=$host_name \
  -DNPC_CHROMIUM_EXTENSIONS=$extension_id -DNPC_FIREFOX_EXTENSIONS=$firefox_id \
  "-DNPC_PACKAGE_MAINTAINER=npcorvane package test <package-test@example.org>" || fail "build failed"
(cd "$package_build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/deb/*.deb) || fail "cpack made no .deb"
echo "built $(basename "$deb") in $((SECONDS - start)) s"
dpkg-deb -f "$deb" Depends

echo "--- lintian"
lintian --fail-on error -I "$deb" 2>&1 | grep -v 'running with root privileges'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian reports errors"

echo "--- dependencies against what the package links"
dpkg-deb -x "$deb" "$work/contents"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
depends=" $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/[,|]/ /g') "
# Not linked, but run: p11-kit's remote program and client module hold each PKCS#11 module.
for needed_package in p11-kit p11-kit-modules; do
  case $depends in *" $needed_package "*) ;; *) fail "the package does not depend on $needed_package" ;; esac
done
shipped=$(find "$work/contents" -type f -name '*.so*' -printf '%f\n')
needed=$(find "$work/contents" -type f -exec sh -c 'file -b "$1" | grep -q ^ELF' sh {} \; \
  -exec objdump -p {} \; | awk '$1 == "NEEDED" { print $2 }' | sort -u)
[ -n "$needed" ] || fail "no linked library found in the package"
for soname in $needed; do
  case " $shipped " in *" $soname "*) continue ;; esac
  owners=$(dpkg -S "*/$multiarch/$soname" 2>/dev/null | cut -d: -f1 | sort -u)
  [ -n "$owners" ] || fail "no package holds $soname"
  found=''
  for owner in $owners; do
    case $depends in *" $owner "*) found=$owner ;; esac
  done
  [ -n "$found" ] || fail "$soname comes from $owners, which the package does not depend on"
  echo "$soname: $found"
done

# Every path the package may create, with what of it exists before, to compare after the purge.
links="/etc/opt/chrome/native-messaging-hosts/$host_name.json /etc/opt/edge/native-messaging-hosts/$host_name.json"
paths=$( (dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\.||; s|/$||'
  for link in $links; do echo "$link"; echo "${link%/*}"; echo "${link%/*/*}"; done) | sort -u)
existing() {
  for path in $paths; do
    if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
  done
}
existing >"$work/before"

echo "--- installing with dpkg"
installed=1
dpkg -i "$deb" >/dev/null || fail "dpkg -i failed"

libdir=/usr/lib/$multiarch/npcorvane
host=$libdir/npcorvane-host
json_path() { node -e 'console.log(JSON.parse(require("fs").readFileSync(process.argv[1], "utf8")).path)' "$1"; }
for manifest in /etc/chromium/native-messaging-hosts/$host_name.json $links \
  /usr/lib/mozilla/native-messaging-hosts/$host_name.json; do
  [ -f "$manifest" ] || fail "no manifest $manifest"
  [ "$(json_path "$manifest")" = "$host" ] || fail "$manifest does not name $host"
done
for link in $links; do [ -L "$link" ] || fail "$link is no link"; done
[ -x "$host" ] || fail "no host at $host"
# The library's certificate chooser beside it; its GTK 4 came in as a dependency (checked above).
[ -x "$libdir/npcorvane-chooser" ] || fail "no certificate chooser at $libdir/npcorvane-chooser"
# The installed host searches its own folder for libraries, and no other.
runpath=$(readelf -d "$host" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
[ "$runpath" = '$ORIGIN' ] || fail "the installed host's RUNPATH is '$runpath', not \$ORIGIN"
! readelf -d "$host" | grep -q '(RPATH)' || fail "the installed host has an RPATH"
echo "the installed host's RUNPATH: $runpath"
npcorvane-register status --system --browser chromium,chrome,edge,brave,vivaldi,opera,firefox >"$work/status" ||
  { cat "$work/status"; fail "npcorvane-register status finds a system registration broken"; }
[ "$(command -v npcorvane-register)" = /usr/bin/npcorvane-register ] || fail "npcorvane-register is not on PATH"
npcorvane-register print --browser chromium | cmp -s - /etc/chromium/native-messaging-hosts/$host_name.json ||
  fail "npcorvane-register's defaults differ from the installed manifest"
# The reference extension is there to side-load, and both system manifests allow it.
extension=/usr/share/npcorvane/extension
for file in chromium/manifest.json firefox/manifest.json npcorvane-chromium.zip npcorvane-firefox.xpi; do
  [ -f "$extension/$file" ] || fail "no $extension/$file"
done
node -e '
  const { createHash } = require("crypto");
  const read = (file) => JSON.parse(require("fs").readFileSync(file, "utf8"));
  const [extension, chromium, firefox] = process.argv.slice(1);
  const der = Buffer.from(read(`${extension}/chromium/manifest.json`).key, "base64");
  const id = [...createHash("sha256").update(der).digest("hex").slice(0, 32)]
    .map((d) => String.fromCharCode(97 + parseInt(d, 16))).join("");
  const gecko = read(`${extension}/firefox/manifest.json`).browser_specific_settings.gecko.id;
  if (!read(chromium).allowed_origins.includes(`chrome-extension://${id}/`)) throw new Error(`${chromium} does not allow ${id}`);
  if (!read(firefox).allowed_extensions.includes(gecko)) throw new Error(`${firefox} does not allow ${gecko}`);
' "$extension" /etc/chromium/native-messaging-hosts/$host_name.json \
  /usr/lib/mozilla/native-messaging-hosts/$host_name.json || fail "the manifests do not allow the reference extension"
# The host finds the bundled library beside it, which is on no system library path.
! ldconfig -p | grep -q libnpcorvane || fail "libnpcorvane is on the system library path"
reply=$(env -u LD_LIBRARY_PATH "$libdir/npcorvane-client" '{"hello":"host"}') ||
  fail "the installed host did not answer through its bundled library"
echo "the installed host answered through its bundled library: ${reply:0:100}"

echo "--- npcorvane-register doctor"
# As a user with no registration of their own: the system's Chromium registration, checked through
# the installed host and library; then the parts a user most often lacks.
mkdir -p "$work/doctor-home"
doctor() { env -u XDG_CONFIG_HOME -u LD_LIBRARY_PATH HOME="$work/doctor-home" npcorvane-register doctor "$@"; }
expect_line() {
  grep -qF -- "$2" "$1" || { cat "$1"; fail "doctor did not report: $2"; }
}
doctor --browser chromium >"$work/doctor" || true
expect_line "$work/doctor" "ok       chromium: system manifest /etc/chromium/native-messaging-hosts/$host_name.json: ok: host $host"
expect_line "$work/doctor" "ok       chromium: the host $host answers through its signing library"
NPC_PINENTRY=/nonexistent/pinentry doctor --browser chromium >"$work/doctor" && fail "doctor found no problem with NPC_PINENTRY pointing nowhere"
expect_line "$work/doctor" "problem  pinentry: NPC_PINENTRY names /nonexistent/pinentry, which is no program"
doctor --json >"$work/doctor.json" || true
node -e 'const r = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
  if (!Array.isArray(r.checks) || typeof r.problems !== "number" ||
      !r.checks.some(c => c.area === "browser" && c.subject === "chromium" && c.state === "ok")) process.exit(1);' \
  "$work/doctor.json" || { cat "$work/doctor.json"; fail "doctor --json is no report with Chromium's registration ok"; }
# The host gone: doctor names it, and the fix.
mv "$host" "$work/host.away"
doctor --browser chromium >"$work/doctor"
doctor_status=$?
mv "$work/host.away" "$host"
[ $doctor_status -eq 1 ] || fail "doctor found no problem with the host removed"
expect_line "$work/doctor" "problem  chromium: system manifest /etc/chromium/native-messaging-hosts/$host_name.json: the host $host is missing"
expect_line "$work/doctor" "what to do: reinstall the package (sudo apt-get install --reinstall npcorvane)"
# The PKCS#11 modules as p11-kit loads them: SoftHSM2's, with a throw-away token in its folder.
"$NPC_ROOT/scripts/softhsm-token" "$work/token" >/dev/null || fail "cannot make a SoftHSM2 token"
SOFTHSM2_CONF=$work/token/softhsm2.conf doctor --browser chromium >"$work/doctor" || true
expect_line "$work/doctor" "ok       softhsm2: "
expect_line "$work/doctor" "initialises; tokens: npc-test"
echo "doctor reports the registration, a missing pinentry and a missing host, SoftHSM2's token; --json parses"

echo "--- the browser suite against the installed host ($browsers)"
# The harness writes a manifest for its reporting host only; the test library, by LD_LIBRARY_PATH,
# answers the suite's requests in the installed host.
timeout 900 node "$NPC_ROOT/tests/browsers/run.mjs" --build "$NPC_BUILD" --installed "$work/extension.key" \
  $browsers &
suite=$!
wait $suite
suite_status=$?
suite=''
[ $suite_status -eq 0 ] || fail "the browser suite failed against the installed package"

case " $browsers " in *" chromium "*)
  echo "--- Chromium through another Chromium-family browser's folder, as npcorvane-register writes it"
  # The user's manifest names a launcher that notes each start, so the run shows that the browser
  # found the host through this manifest and not the system one. Chromium reads
  # <user data dir>/NativeMessagingHosts; here the data dir is the one Brave keeps.
  mkdir -p "$work/home"
  printf '#!/bin/sh\necho started >>"%s"\nexec "%s" "$@"\n' "$work/started" "$host" >"$work/noting-host"
  chmod 755 "$work/noting-host"
  register() { env -u XDG_CONFIG_HOME HOME="$work/home" npcorvane-register "$@"; }
  register install --user --browser brave --host "$work/noting-host" || fail "npcorvane-register install failed"
  profile=$work/home/.config/BraveSoftware/Brave-Browser
  [ -f "$profile/NativeMessagingHosts/$host_name.json" ] || fail "npcorvane-register wrote no manifest for Brave"
  register status --user --browser brave >"$work/status" ||
    { cat "$work/status"; fail "npcorvane-register status finds Brave's registration broken"; }
  timeout 300 node "$NPC_ROOT/tests/browsers/run.mjs" --build "$NPC_BUILD" --installed "$work/extension.key" \
    --user-data-dir "$profile" chromium &
  suite=$!
  wait $suite
  suite_status=$?
  suite=''
  [ $suite_status -eq 0 ] || fail "the browser suite failed through Brave's user folder"
  [ -s "$work/started" ] || fail "the browser did not start the host through Brave's user manifest"
  echo "the browser started the host $(wc -l <"$work/started") times through $profile/NativeMessagingHosts"
  register uninstall --browser brave >/dev/null || fail "npcorvane-register uninstall failed"
  ;;
esac

echo "--- purging"
installed=0
dpkg --purge $package >/dev/null || fail "dpkg --purge failed"
status=$(dpkg-query -W -f='${db:Status-Abbrev}' $package 2>/dev/null)
case $status in '' | un*) ;; *) fail "$package is still known to dpkg after the purge: $status" ;; esac
existing >"$work/after"
left=$(comm -13 "$work/before" "$work/after")
[ -z "$left" ] || fail "left behind after the purge: $left"
echo "purged; nothing left behind"
