#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks what a desktop reads from it: the
# menu entry and the metainfo pass their validators, the entry's program and icon are there,
# both programs answer --version and --help, and every hicolor PNG has the size its folder names.
set -euo pipefail
build=$1
app_id=$2
version=$3
for tool in desktop-file-validate appstreamcli; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/bootstrap installs it)"
    exit 77
  fi
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

entry=$prefix/share/applications/$app_id.desktop
metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
# desktop-file-validate prints hints on stdout even when it passes; any error fails it.
desktop-file-validate "$entry" || fail "desktop-file-validate on $entry"
appstreamcli validate --no-net --explain "$metainfo" || fail "appstreamcli validate on $metainfo"

value() { sed -n "s/^$1=//p" "$entry" | head -n 1; }
exec_program=$(value Exec | cut -d' ' -f1)
[[ -x $prefix/bin/$exec_program ]] || fail "Exec=$exec_program is not an installed program"
[[ -x $prefix/bin/quotameter-cli ]] || fail "quotameter-cli is not installed"
[[ $(value Icon) == "$app_id" ]] || fail "Icon=$(value Icon) is not the installed icon $app_id"
[[ -n $(value StartupWMClass) ]] || fail "no StartupWMClass"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch $app_id.desktop"
grep -q '<release version="[0-9]' "$metainfo" || fail "the metainfo names no released version"

# Both answer --version and --help without a display (a terminal or a packager's script).
for program in quotameter quotameter-cli; do
  answer=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= ASAN_OPTIONS=detect_leaks=0 \
    "$prefix/bin/$program" --version 2>&1) || fail "$program --version failed: $answer"
  [[ $answer == "$program $version" ]] || fail "$program --version said: $answer"
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= ASAN_OPTIONS=detect_leaks=0 \
    "$prefix/bin/$program" --help 2>&1) || fail "$program --help failed"
  [[ $help == *"Usage: $program "* && $help == *--version* ]] || fail "$program --help said: $help"
done

icons=$prefix/share/icons/hicolor
[[ -s $icons/scalable/apps/$app_id.svg ]] || fail "no scalable icon"
grep -q '<svg' "$icons/scalable/apps/$app_id.svg" || fail "the scalable icon is no SVG"
sizes=0
for png in "$icons"/*x*/apps/"$app_id".png; do
  folder=$(basename "$(dirname "$(dirname "$png")")")
  # A PNG's width and height are the two big-endian words after the IHDR tag.
  read -r w3 w2 w1 w0 h3 h2 h1 h0 < <(od -An -tu1 -j16 -N8 "$png")
  size="$(((w3 << 24) | (w2 << 16) | (w1 << 8) | w0))x$(((h3 << 24) | (h2 << 16) | (h1 << 8) | h0))"
  [[ $size == "$folder" ]] || fail "$png is $size"
  sizes=$((sizes + 1))
done
((sizes >= 4)) || fail "only $sizes PNG sizes of the icon"

((failures == 0)) || exit 1
echo "desktop files: valid; $sizes icon sizes and the scalable icon"
