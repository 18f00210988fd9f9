#!/usr/bin/env bash
# Starts quotameter in a private home under Xvfb beside trayer, then: the icon appears in the
# tray; with no click, a plan limit the tool appends to its log reaches the icon's tool tip and
# the notification server; a click opens the panel, "Open Dashboard" opens the dashboard, and a
# second start hands its window to the running instance and exits. Then every window is opened
# and closed, and the panel's Refresh is clicked twice once the usage index is loaded, the
# second time with a plan limit nearer its end, which must reach the notification server. Built
# with sanitizers, any report the app or its browser process prints fails the test. Screenshots
# go to the given folder.
set -euo pipefail
app=$1 helper=$2 shots=$3
for tool in Xvfb trayer xdotool xwininfo dbus-daemon dbus-send /usr/libexec/at-spi-bus-launcher; do
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

# A sanitizer's report ends the app; it is the cause to name, whatever step then failed.
sanitizer_report() {
  grep -E -q "ERROR: (Address|Leak|Thread)Sanitizer|runtime error:|SUMMARY: (Address|Undefined)" \
    "$work/app.log" "$work/second.log" 2>/dev/null
}
fail() {
  if sanitizer_report; then
    echo "desktop test: a sanitizer reported a fault in the application (then: $*)" >&2
    grep -E -h -A30 "ERROR: |runtime error:" "$work/app.log" "$work/second.log" | head -60 >&2
    exit 1
  fi
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

# A display of our own, and a session bus of our own: set, libdbus never autolaunches a bus
# through the display (that launch now and then never answers); with no tray watcher on it,
# Qt falls back to the XEmbed tray. The bus carries the accessibility bus, through which the
# application says where it draws its controls. Xvfb and the bus pick free addresses and
# write them to the files.
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp 5>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
dbus-daemon --config-file="$(dirname "$0")/../support/dbus-session.conf" --nofork --print-address=6 \
  6>"$work/bus" >"$work/bus.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
wait_for 10 test -s "$work/bus" || fail "the session bus did not start"
export DISPLAY=:$(head -1 "$work/display") QT_QPA_PLATFORM=xcb
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus") QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
unset WAYLAND_DISPLAY
wait_for 10 xwininfo -root || fail "Xvfb did not start"
# The bus starts nothing by itself: the accessibility bus is started here.
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/atspi.log" 2>&1 &
pids+=($!)
wait_for 10 dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress ||
  fail "the accessibility bus did not start"
"$helper" notifications "$work/notifications" >"$work/notifier.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q serving "$work/notifier.log" || fail "the notification server did not start"

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

# The icon's tool tip, read as the application reports it to assistive technology while the
# pointer rests on the icon: succeeds when it holds $1. The pointer then leaves, so that the
# next rest shows the tool tip anew.
tooltip_holds() {
  "$helper" tooltip "$1" 5 >"$work/tooltip" 2>"$work/tooltip.log" &
  local reader=$! status=0
  wait_for 10 bash -c "grep -q listening '$work/tooltip.log' || ! kill -0 $reader"
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  # A jump onto the icon is an entry without a motion, which starts no tool tip: a step more.
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
  sleep 0.2
  xdotool mousemove $((X + WIDTH / 2 + 1)) $((Y + HEIGHT / 2 + 1))
  wait "$reader" || status=$?
  xdotool mousemove 640 500
  return $status
}
# Waits up to $2 seconds for the tool tip to hold $1.
wait_for_tooltip() {
  local deadline=$((SECONDS + $2))
  while ((SECONDS < deadline)); do tooltip_holds "$1" && return 0; done
  return 1
}

# The logs are watched: with no click, a limit line the tool appends to its session reaches
# the tool tip and the notification server within seconds.
index=$XDG_CACHE_HOME/Quotameter/usage-index.bin
wait_for 60 test -s "$index" || fail "the first refresh built no usage index"
wait_for_tooltip "Codex 3 Grok 1" 30 || fail "the tool tip does not show the first refresh"
"$helper" limit "$HOME" 82 || fail "could not append to the Codex session"
wait_for_tooltip "5-hour 82%" 60 || fail "the tool tip did not follow the Codex log by itself"
wait_for 30 grep -q "Codex five-hour limit at 80%" "$work/notifications" ||
  fail "no notification for the Codex limit at 82% without a click"

# A click on the icon opens the panel below it. The panel is a popup, found in the accessible
# tree only through what it announces as it opens, so the search for its button listens first.
# An application learns of a new listener a moment later: when the opening went unheard, the
# panel is closed and opened again.
open_panel() {
  local button=${1:-Open Dashboard}
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  "$helper" locate "$button" "push button" 10 >"$work/button" 2>"$work/locate.log" &
  local locator=$!
  wait_for 10 grep -q listening "$work/locate.log"
  sleep 1
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
  wait "$locator" && return 0
  xdotool key Escape
  return 1
}
open_panel || open_panel || fail "the panel did not open or reports no \"Open Dashboard\" button"
panel=$(xdotool search --onlyvisible --name '^Quotameter Panel$' | head -1)
sleep 1
eval "$(xdotool getwindowgeometry --shell "$panel")"
"$helper" shot "$shots/panel.png" "$X" "$Y" "$WIDTH" "$HEIGHT"

# "Open Dashboard" is clicked where the panel itself says the button is drawn.
read -r bx by bw bh <"$work/button"
xdotool mousemove $((bx + bw / 2)) $((by + bh / 2)) click 1
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

# Every window opens and closes (Ctrl+W, as a user closes it).
close_window() {
  local w
  w=$(xdotool search --onlyvisible --name "$1" | head -1)
  [[ -n $w ]] || return 1
  xdotool windowfocus --sync "$w" key ctrl+w
  wait_for 20 bash -c "! xdotool search --onlyvisible --name '$1'"
}
for window in "dashboard:^Quotameter$" "trends:^Usage Trends$" "accounts:^API Accounts$" \
  "relay:^Gemini Relay$" "claude-login:^Claude Login$"; do
  id=${window%%:*} title=${window#*:}
  if ! xdotool search --onlyvisible --name "$title" >/dev/null 2>&1; then
    timeout 20 "$app" --open "$id" >>"$work/second.log" 2>&1 || fail "--open $id failed"
    wait_for 60 xdotool search --onlyvisible --name "$title" || fail "$id did not open"
  fi
  close_window "$title" || fail "$id did not close"
done

# Two refreshes clicked, each after a new session was written, so the index must change (the
# watch may come first: the click then finds nothing new, or nothing starts while the watch's
# refresh runs); the second session's limit is at 96%, which alerts again.
index_state() { stat -c '%i %s %Y' "$index" "$index.journal" 2>/dev/null || true; }
for pct in 40 96; do
  before=$(index_state)
  "$helper" session "$HOME" "$pct" || fail "could not write a session"
  open_panel Refresh || open_panel Refresh || fail "the panel reports no \"Refresh\" button"
  read -r bx by bw bh <"$work/button"
  xdotool mousemove $((bx + bw / 2)) $((by + bh / 2)) click 1
  wait_for 60 bash -c "[[ \"\$(stat -c '%i %s %Y' '$index' '$index.journal' 2>/dev/null)\" != '$before' ]]" ||
    fail "the refresh at $pct% did not bring the index up to date"
  xdotool key Escape
done
wait_for 60 grep -q "Codex five-hour limit at 95%" "$work/notifications" ||
  fail "no notification for the Codex limit at 96%"
kill -0 "$app_pid" || fail "the application ended"

# A logout's SIGTERM ends the application.
kill -TERM "$app_pid"
wait_for 20 bash -c "! kill -0 $app_pid" || fail "the application did not end on SIGTERM"
sanitizer_report && fail "the application ended cleanly"
echo "desktop test: passed"
