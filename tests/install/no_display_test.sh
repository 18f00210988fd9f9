#!/usr/bin/env bash
# Started where there is no display at all (a terminal over ssh, a cron job, a system
# service), the application says so in one line on stderr and exits with 1, before it
# touches the user's data, instead of letting Qt abort with a core dump.
#   no_display_test.sh QUOTAMETER
set -euo pipefail
app=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/home" "$work/tmp"

status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_SESSION_TYPE \
  HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config" \
  XDG_CACHE_HOME="$work/home/.cache" TMPDIR="$work/tmp" ASAN_OPTIONS=detect_leaks=0 \
  timeout 30 "$app" >"$work/out" 2>"$work/err" || status=$?
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
((status == 1)) || fail "exit status $status, not 1"
[[ ! -s $work/out ]] || fail "it wrote to stdout: $(cat "$work/out")"
lines=$(wc -l <"$work/err")
((lines == 1)) || fail "$lines lines on stderr, not one"
grep -qi display "$work/err" || fail "stderr does not say that there is no display"
[[ -z $(ls -A "$work/home") ]] || fail "it wrote into the home: $(cd "$work/home" && find . -mindepth 1 | head)"
if ((failures)); then
  echo "--- stderr:"
  cat "$work/err"
  exit 1
fi
echo "no display: $(cat "$work/err")"
