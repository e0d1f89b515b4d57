#!/usr/bin/env bash
# Makes the Debian package in a build folder (build/ unless given), validates
# it, installs it, starts the installed demo as the desktop's menu does, drives
# it by keyboard until it shows a reading, and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=$(realpath "${1:-build}")
sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
work=$(mktemp -d)
fail() { echo "package check: $*" >&2; exit 1; }
quietly() { "$@" >"$work/output" 2>&1 || { cat "$work/output" >&2; fail "failed: $*"; }; }
within() { # seconds, then a command that must succeed within them while the demo runs
    local deadline=$((SECONDS + $1))
    until "${@:2}"; do
        [ -z "${app_pid:-}" ] || kill -0 "$app_pid" 2>/dev/null || { cat "$work/stderr" >&2; fail "the demo ended"; }
        [ $SECONDS -lt "$deadline" ] && sleep 0.2 || return 1
    done
}
cleanup() {
    kill ${app_pid:-} ${xvfb_pid:-} 2>/dev/null || true
    [ -z "${installed:-}" ] || "${sudo[@]}" apt-get purge -y thermohygro >/dev/null || echo "package check: could not remove thermohygro" >&2
    rm -rf "$work"
}
trap cleanup EXIT

desktop-file-validate data/*.desktop >"$work/output" 2>&1 || true
! grep -E 'error|warning' "$work/output" || fail "the desktop entries are not valid"
python3 -c 'import plistlib; plistlib.load(open("data/Info.plist.in", "rb"))["NSBluetoothAlwaysUsageDescription"]' ||
    fail "the macOS Info.plist does not say why the application uses Bluetooth"
rm -f "$build_dir"/thermohygro_*.deb
(cd "$build_dir" && quietly cpack -G DEB)
package=$(echo "$build_dir"/thermohygro_*_*.deb)
version=$(dpkg-deb -f "$package" Version)
echo "package file: $(basename "$package"), $(stat -c %s "$package") bytes"
dpkg-deb -x "$package" "$work/tree"
quietly appstreamcli validate-tree --no-net --strict "$work/tree"
{ zgrep -q "^thermohygro ($version)" "$work/tree/usr/share/doc/thermohygro/changelog.gz" &&
    grep -q "<release version=\"$version\"" "$work"/tree/usr/share/metainfo/*.xml; } || fail "no release notes for $version"
lintian --fail-on error "$package" || fail "lintian found errors"

! dpkg-query -W thermohygro >/dev/null 2>&1 || fail "thermohygro is installed here; remove it first, this check removes its copy again"
installed=yes
quietly "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package"

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>/dev/null & xvfb_pid=$!
within 10 test -s "$work/display" || fail "Xvfb did not start"
DISPLAY=":$(<"$work/display")"
export DISPLAY
# What the desktop's menu runs, timed from here.
SECONDS=0
read -ra menu_command < <(sed -n 's/^Exec=//p' /usr/share/applications/io.github.thermohygro.ThermoHygroDemo.desktop)
"${menu_command[@]}" >"$work/log" 2>"$work/stderr" & app_pid=$!
window=$(timeout 10 xdotool search --sync --name 'simulated meter' | head -1) || fail "no window appeared"
[[ $(xprop -id "$window" _NET_WM_ICON) == *"Icon ("* ]] || fail "the window has no icon"
xdotool windowfocus --sync "$window" key space
# The log gives the row count before each listed device's name, and each selected row.
meter_row() { awk '/^myTableViewData.count / { n = $2; gsub(/[^0-9]/, "", n) }
                   /^Peripheral name: Optional\("SIM Thermo-Hygrometer"\)$/ { print n - 1; exit }' "$work/log"; }
selected_row() { awk '/^tableViewSelectionDidChange$/ { getline; row = $0 } END { print row }' "$work/log"; }
within 10 grep -q 'Optional("SIM Thermo-Hygrometer")' "$work/log" || fail "Space did not start a scan that lists the meter"
# Tab reaches the device list; Down moves the selection towards the meter's row.
select_meter() { [[ $(selected_row) == "$(meter_row)" ]] || ! xdotool key Down; }
xdotool key Tab
within 10 select_meter || fail "the arrow keys did not select the meter"
reading() { awk 'previous ~ /^Optional\("[04]"\)$/ && /^Optional\(".*"\)$/ { found = 1; gsub(/^Optional\(|\)$/, ""); print; exit }
                 { previous = $0 } END { exit !found }' "$work/log"; }
within 20 reading >/dev/null || fail "no reading within 20 s of selecting the meter"
echo "installed thermohygro-demo showed its first reading, $(reading), $SECONDS s after it started"
