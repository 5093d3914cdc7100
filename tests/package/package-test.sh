#!/usr/bin/env bash
# The Debian package, checked without installing anything: built with CPack from this build,
# unpacked with dpkg-deb into a temporary folder, its file list and menu entry checked, and the
# unpacked programs run from a read-only folder with their own HOME. The programs only ever
# reach loopback: bhv-acquire --sim runs its own simulator on 127.0.0.1, and the program `bhv`
# is started without connecting, its device addresses set to a closed loopback port.
#   package-test.sh BUILD_DIR VERSION
# Exit 77 (skipped) where dpkg-deb or cpack is missing.
set -euo pipefail
build="$1"
version="$2"
for tool in dpkg-deb cpack; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

tmp=$(mktemp -d)
cleanup() { chmod -R u+w "$tmp" 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

export HOME="$tmp/home" BHV_ROOT="$tmp/workspace/"
unset XDG_CONFIG_HOME
export BHV_HOST_ADDR=127.0.0.1:9 BHV_PROBE_ADDR=127.0.0.1:9 BHV_CAMERA_ADDR=127.0.0.1:9
mkdir -p "$HOME" "$BHV_ROOT"

# ---- Build and unpack ----
start=$(date +%s)
cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack failed"; }
deb="$tmp/pkg/bhv_${version}_amd64.deb"
[ -f "$deb" ] || { ls "$tmp/pkg"; fail "no $deb"; }
echo "package: $(basename "$deb"), $(du -k "$deb" | cut -f1) kB, built in $(( $(date +%s) - start )) s"
dpkg-deb -f "$deb" Package Version Depends Recommends
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends not computed from the binaries"

# ---- File list ----
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | sort >"$tmp/files"
for f in /usr/bin/bhv /usr/bin/bhv-sim /usr/bin/bhv-acquire /usr/bin/bhv-monitor \
         /usr/bin/bhv-reprocess /usr/bin/bhv-export /usr/bin/bhv-structures /usr/bin/bhv-upload /usr/bin/bhv-data-server \
         /usr/share/applications/bhv.desktop /usr/share/icons/hicolor/scalable/apps/bhv.svg \
         /usr/share/doc/bhv/copyright /usr/share/doc/bhv/changelog.gz \
         /usr/share/man/man1/bhv.1.gz /usr/share/man/man1/bhv-sim.1.gz; do
  grep -qx "$f" "$tmp/files" || fail "missing from the package: $f"
done
if grep -E '_tests$|/bench_|bhv-operator|bhv-pages|bhv-screens' "$tmp/files"; then
  fail "tests, benchmarks or developers' tools in the package"
fi
echo "files: $(grep -vc '/$' "$tmp/files") (entries: $(wc -l <"$tmp/files"))"

root="$tmp/root"
dpkg-deb -x "$deb" "$root"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/bhv.desktop" || fail "desktop entry"
  echo "desktop entry: valid"
else
  echo "desktop entry: desktop-file-validate not installed, not checked"
fi
grep -qx 'Name=钻孔电视' "$root/usr/share/applications/bhv.desktop" || fail "desktop entry name"

# An older installation's settings beside the program, to be taken over once.
printf '<?xml version="1.0" ?>\n<SYSCONFIG_PARAM>\n    <Diameter>1234</Diameter>\n</SYSCONFIG_PARAM>\n' \
  >"$root/usr/bin/BhvSysConfigParam.xml"
chmod -R a-w "$root"

# ---- The unpacked programs, from a read-only folder ----
bin="$root/usr/bin"
"$bin/bhv" --help | head -n 1 | grep -qx "bhv $version" || fail "bhv --help has no version"
[ "$("$bin/bhv" --version)" = "bhv $version" ] || fail "bhv --version"
for tool in bhv-sim bhv-acquire bhv-monitor bhv-reprocess bhv-export bhv-structures bhv-upload bhv-data-server; do
  "$bin/$tool" --help | head -n 1 | grep -qx "$tool $version" || fail "$tool --help has no version"
done
echo "versions: bhv and 8 tools say $version"

timeout 300 "$bin/bhv-acquire" --sim --to 0.2 >"$tmp/acquire.log" 2>&1 ||
  { cat "$tmp/acquire.log"; fail "bhv-acquire --sim from the package"; }
tail -n 3 "$tmp/acquire.log"
[ -f "$BHV_ROOT/sim-config/BhvSysConfigParam.xml" ] || fail "the simulated run kept no settings"
compgen -G "$BHV_ROOT/BHV-ACQ - */BHV-ACQ log.pdf" >/dev/null || fail "the simulated run left no PDF log"

# The program itself, started once under Xvfb without connecting: it takes the older settings
# over into ~/.config/bhv and says so.
if command -v xvfb-run >/dev/null; then
  # In a process group of its own, so that xvfb-run, Xvfb and bhv all end together.
  setsid xvfb-run -a -s "-screen 0 1366x768x24" "$bin/bhv" >"$tmp/bhv.log" 2>&1 &
  runner=$!
  settings="$HOME/.config/bhv/BhvSysConfigParam.xml"
  for _ in $(seq 1 60); do
    grep -q 'taken over' "$tmp/bhv.log" 2>/dev/null && break
    sleep 0.5
  done
  kill -TERM -- "-$runner" 2>/dev/null || true
  wait "$runner" 2>/dev/null || true
  cat "$tmp/bhv.log"
  [ -f "$settings" ] || fail "bhv wrote no settings to $settings"
  grep -q '<Diameter>1234</Diameter>' "$settings" || fail "the older settings were not taken over"
  grep -q "taken over from $bin/BhvSysConfigParam.xml" "$tmp/bhv.log" || fail "no take-over line"
  echo "settings: $settings (taken over from the program's folder)"
else
  echo "settings: xvfb-run not installed, the program's start not checked"
fi
echo "PASS"
