#!/usr/bin/env bash
# Starts quotameter in a private home under Xvfb beside trayer, then: the icon appears in the
# tray, a click opens the panel, "Open Dashboard" opens the dashboard, and a second start hands
# its window to the running instance and exits. Screenshots go to the given folder.
set -euo pipefail
app=$1 helper=$2 shots=$3
for tool in Xvfb trayer xdotool xwininfo; do
  command -v "$tool" >/dev/null || { echo "desktop test: $tool missing, skipped"; exit 77; }
done
mkdir -p "$shots"

work=$(mktemp -d /tmp/qm-desktop-XXXXXX)
pids=()
# A process that does not end on SIGTERM within 10 s is killed, so a hung start cannot hold the
# test until its time-out.
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "desktop test: $*" >&2
  "$helper" shot "$shots/failure.png" >/dev/null 2>&1 || true
  [[ -f $work/app.log ]] && tail -20 "$work/app.log" >&2
  exit 1
}

# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local seconds=$1; shift
  for ((i = 0; i < seconds * 10; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_CONFIG_HOME=$work/home/.config
export XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/run
# The single-instance socket lives in the temporary folder: a private one keeps this instance
# apart from any other quotameter of the same user.
export TMPDIR=$work/tmp
mkdir -p "$HOME" "$TMPDIR" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$helper" home "$HOME"

# A display of our own; no desktop session bus, so Qt falls back to the XEmbed tray.
# Xvfb picks a free display number and writes it to the file. The bus address points at
# nothing: unset, libdbus would autolaunch a bus through the display, and that launch now and
# then never answers, leaving the application waiting before its tray icon exists.
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp 5>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=:$(head -1 "$work/display") QT_QPA_PLATFORM=xcb
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-session-bus
unset WAYLAND_DISPLAY
wait_for 10 xwininfo -root || fail "Xvfb did not start"

# trayer now and then loses its first connection to a freshly started server ("Fatal IO
# error 11") on a loaded machine: a second start is given the same time.
start_trayer() {
  trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
    --transparent false --tint 0xdddddd >>"$work/trayer.log" 2>&1 &
  pids+=($!)
  wait_for 20 xdotool search --onlyvisible --class trayer
}
start_trayer || start_trayer || { cat "$work/trayer.log" >&2; fail "trayer did not start"; }

# Nothing leaves the machine: Chromium's requests go to a proxy port where nothing listens.
export QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox --disable-gpu --proxy-server=http://127.0.0.1:9"
export QTWEBENGINE_DISABLE_SANDBOX=1 ASAN_OPTIONS=detect_leaks=0
"$app" >"$work/app.log" 2>&1 &
app_pid=$!
pids+=($app_pid)

# The tray asks for the width of its icons: empty it is a few pixels wide.
tray=$(xdotool search --onlyvisible --class trayer | head -1)
icon_shown() {
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  ((WIDTH >= 16)) && xwininfo -tree -id "$tray" | grep -qi quotameter
}
wait_for 30 icon_shown || fail "no icon in the tray"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$tray")"
"$helper" shot "$shots/tray.png" $((X - 40)) 0 $((WIDTH + 40)) $((HEIGHT + 8))

# A click on the icon opens the panel below it.
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
wait_for 10 xdotool search --onlyvisible --name '^Quotameter Panel$' || fail "the panel did not open"
panel=$(xdotool search --onlyvisible --name '^Quotameter Panel$' | head -1)
sleep 1
eval "$(xdotool getwindowgeometry --shell "$panel")"
"$helper" shot "$shots/panel.png" "$X" "$Y" "$WIDTH" "$HEIGHT"

# "Open Dashboard" is pressed as a keyboard user presses it: the popup holds the keyboard and
# opens with that button focused, so Space presses it wherever it is drawn.
xdotool key space
wait_for 15 xdotool search --onlyvisible --name '^Quotameter$' || fail "the dashboard did not open"
sleep 2
"$helper" shot "$shots/dashboard.png"

# A second start hands over to the running instance and exits at once.
timeout 20 "$app" --open trends >"$work/second.log" 2>&1 || fail "the second start failed"
wait_for 10 xdotool search --onlyvisible --name '^Usage Trends$' || fail "the second start opened nothing"
timeout 20 "$app" >>"$work/second.log" 2>&1 || fail "the second start failed"
kill -0 "$app_pid" || fail "the first instance ended"

# An unknown window id is refused with the list of known ones.
set +e
"$app" --open nowhere 2>"$work/unknown.log"
status=$?
set -e
[[ $status -eq 2 ]] && grep -q "dashboard, claude-login, accounts, relay, trends" "$work/unknown.log" ||
  fail "an unknown window id was not refused"

# A logout's SIGTERM ends the application.
kill -TERM "$app_pid"
wait_for 20 bash -c "! kill -0 $app_pid" || fail "the application did not end on SIGTERM"
echo "desktop test: passed"
