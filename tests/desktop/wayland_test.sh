#!/usr/bin/env bash
# Starts quotameter on a headless Wayland desktop: sway (headless backend, software renderer)
# with waybar's tray as the StatusNotifierItem host, on a session bus of its own. The item
# registers with waybar's watcher and waybar draws its icon; the icon and the tool tip are set,
# and the tool tip follows a plan limit the tool appends to its log; the item's Activate (what
# the host calls on a click) opens the panel and a second one closes it; Escape closes it; the
# context menu (dbusmenu) lists the windows and Quit, its "Open Dashboard" opens the dashboard
# and its Quit ends the application cleanly. Screenshots go to the given folder.
#
# sway refuses to run as root: run as root, the test creates an unprivileged user
# (quotameter-test) and runs itself as that user. No pointer can be injected into a headless
# sway without a virtual-pointer client, so the host's click is stood in for by the D-Bus call
# it makes; keys are typed with wtype through the virtual-keyboard protocol.
set -euo pipefail
app=$(realpath "$1") helper=$(realpath "$2") shots=$(realpath -m "$3")
here=$(cd "$(dirname "$0")" && pwd)
rm -f "$shots/failure.png"
for tool in sway swaymsg waybar grim wtype dbus-daemon busctl jq; do
  command -v "$tool" >/dev/null || { echo "wayland test: $tool missing (scripts/bootstrap installs it), skipped"; exit 77; }
done

if [[ $(id -u) -eq 0 && -z ${QM_WAYLAND_WORK:-} ]]; then
  user=quotameter-test
  if ! id "$user" >/dev/null 2>&1 &&
    ! useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$user"; then
    echo "wayland test: sway does not run as root and no user could be made to run it, skipped"
    exit 77
  fi
  as_user=(setpriv --reuid="$user" --regid="$user" --init-groups)
  if ! "${as_user[@]}" true; then
    echo "wayland test: sway does not run as root and setpriv cannot run as $user, skipped"
    exit 77
  fi
  work=$(mktemp -d /tmp/qm-wayland-XXXXXX)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  # A build tree the user cannot reach (a checkout under /root) is copied where it can.
  if ! "${as_user[@]}" test -x "$app" -a -x "$helper" -a -r "$here/../support/dbus-session.conf"; then
    mkdir "$work/bin"
    cp "$app" "$helper" "$here/../support/dbus-session.conf" "$work/bin/"
    app=$work/bin/$(basename "$app") helper=$work/bin/$(basename "$helper")
    export QM_WAYLAND_BUS_CONFIG=$work/bin/dbus-session.conf
  fi
  mkdir "$work/user"
  chown "$user:" "$work/user"
  "${as_user[@]}" env QM_WAYLAND_WORK="$work/user" PATH=/usr/local/bin:/usr/bin:/bin \
    bash "$0" "$app" "$helper" "$work/user/shots" &
  runner=$!
  # A time-out's SIGTERM reaches the run below, which ends what it started.
  trap 'kill -TERM "$runner" 2>/dev/null; wait "$runner"; exit 143' TERM INT
  status=0
  wait "$runner" || status=$?
  if compgen -G "$work/user/shots/*.png" >/dev/null; then
    mkdir -p "$shots"
    cp "$work/user/shots/"*.png "$shots/"
  fi
  exit $status
fi

work=${QM_WAYLAND_WORK:-}
own_work=0
if [[ -z $work ]]; then
  work=$(mktemp -d /tmp/qm-wayland-XXXXXX)
  own_work=1
fi
bus_config=${QM_WAYLAND_BUS_CONFIG:-$here/../support/dbus-session.conf}
mkdir -p "$shots"
pids=()
# Every process started here, the application's own children included, ends: on SIGTERM, or
# killed after 10 s.
descendants() {
  local child
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
    echo "$child"
    descendants "$child"
  done
}
cleanup() {
  local all=("${pids[@]}")
  if [[ -n ${app_pid:-} ]] && kill -0 "$app_pid" 2>/dev/null; then
    mapfile -t -O "${#all[@]}" all < <(descendants "$app_pid")
  fi
  for pid in "${all[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${all[@]}"; do
    for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  ((own_work)) && rm -rf "$work"
  return 0
}
trap cleanup EXIT
trap 'exit 143' TERM INT

sanitizer_report() {
  grep -E -q "ERROR: (Address|Leak|Thread)Sanitizer|runtime error:|SUMMARY: (Address|Undefined)" \
    "$work/app.log" 2>/dev/null
}
fail() {
  if sanitizer_report; then
    echo "wayland test: a sanitizer reported a fault in the application (then: $*)" >&2
    grep -E -h -A30 "ERROR: |runtime error:" "$work/app.log" | head -60 >&2
    exit 1
  fi
  echo "wayland test: $*" >&2
  [[ -n ${WAYLAND_DISPLAY:-} ]] && grim "$shots/failure.png" 2>/dev/null
  for log in sway waybar app; do
    [[ -s $work/$log.log ]] && { echo "--- $log.log" >&2; tail -15 "$work/$log.log" >&2; }
  done
  exit 1
}
# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local seconds=$1
  shift
  for ((i = 0; i < seconds * 10; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}
not() { ! "$@"; }
# Progress with the seconds since the start, in the log ctest keeps.
step() { echo "wayland test: ${SECONDS}s: $*"; }

unset DISPLAY WAYLAND_DISPLAY SWAYSOCK I3SOCK XAUTHORITY DBUS_SESSION_BUS_ADDRESS
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_CONFIG_HOME=$work/home/.config
export XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/run TMPDIR=$work/tmp
mkdir -p "$HOME" "$TMPDIR" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$helper" home "$HOME"
step "starting sway"

# The compositor: one 1280x800 output, no Xwayland, no input devices (wtype brings a virtual
# keyboard of its own).
cat >"$work/sway.conf" <<'EOF'
xwayland disable
output HEADLESS-1 resolution 1280x800
EOF
WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  sway --config "$work/sway.conf" >"$work/sway.log" 2>&1 &
pids+=($!)
wayland_socket() { compgen -G "$XDG_RUNTIME_DIR/wayland-*[0-9]" | head -1; }
wait_for 15 wayland_socket || fail "sway did not start"
WAYLAND_DISPLAY=$(basename "$(wayland_socket)")
export WAYLAND_DISPLAY
wait_for 5 compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" || fail "sway opened no IPC socket"
SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" | head -1)
export SWAYSOCK
wait_for 10 swaymsg -t get_outputs || fail "sway does not answer on $SWAYSOCK"

dbus-daemon --config-file="$bus_config" --nofork --print-address=6 6>"$work/bus" \
  >"$work/bus.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/bus" || fail "the session bus did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS NO_AT_BRIDGE=1

# waybar with only its tray: it is both the StatusNotifierWatcher and the host.
cat >"$work/waybar.json" <<'EOF'
{ "layer": "top", "position": "top", "height": 32, "modules-right": ["tray"],
  "tray": { "icon-size": 24, "spacing": 8 } }
EOF
echo 'window#waybar { background: #dddddd; }' >"$work/waybar.css"
waybar --config "$work/waybar.json" --style "$work/waybar.css" >"$work/waybar.log" 2>&1 &
pids+=($!)
watcher() {
  busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.kde.StatusNotifierWatcher "$@"
}
wait_for 15 watcher IsStatusNotifierHostRegistered || fail "waybar registered no tray watcher"
[[ $(watcher IsStatusNotifierHostRegistered) == "b true" ]] || fail "waybar registered no tray host"

step "starting the application"
export QT_QPA_PLATFORM=wayland
# Nothing leaves the machine: Chromium's requests go to a proxy port where nothing listens.
export QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox --disable-gpu --proxy-server=http://127.0.0.1:9"
export QTWEBENGINE_DISABLE_SANDBOX=1 ASAN_OPTIONS=detect_leaks=0
"$app" >"$work/app.log" 2>&1 &
app_pid=$!
pids+=("$app_pid")

# The item the application registered: "<bus name>/<object path>".
registered_item() {
  watcher RegisteredStatusNotifierItems | grep -o '"[^"]*"' | tr -d '"' | head -1
}
has_item() { [[ -n $(registered_item) ]]; }
wait_for 30 has_item || fail "no StatusNotifierItem registered with waybar's watcher"
item=$(registered_item)
service=${item%%/*} path=/${item#*/}
owner=$(busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
  GetConnectionUnixProcessID s "$service" | cut -d' ' -f2)
[[ $owner == "$app_pid" ]] || fail "the registered item $item is not the application's"
property() {
  busctl --user --json=short get-property "$service" "$path" org.kde.StatusNotifierItem "$1"
}
[[ $(property Id | jq -r .data) == Quotameter ]] || fail "the item's Id is $(property Id)"
[[ $(property Status | jq -r .data) == Active ]] || fail "the item is not active"
# At least one picture, each as large as its width and height say, and not blank.
property IconPixmap | jq -e '.data | length > 0 and
  all(.[]; .[0] > 0 and .[0] * .[1] * 4 == (.[2] | length) and any(.[2][]; . != 0))' >/dev/null ||
  fail "the item has no icon"
tooltip() { property ToolTip | jq -r '.data[2] + "\n" + .data[3]'; }
tooltip_holds() { tooltip | grep -qF "$1"; }
wait_for 30 tooltip_holds "Codex 3 Grok 1" || fail "the tool tip does not show the first refresh: $(tooltip)"
step "the first refresh reached the tool tip"
# A plan limit the tool appends reaches the tool tip by the log watch alone (checked below:
# the watch waits between refreshes, time the steps in between use).
"$helper" limit "$HOME" 82 || fail "could not append to the Codex session"

# waybar draws the icon: the right end of the bar holds more than its background.
width=$(swaymsg -t get_outputs | jq '.[0].rect.width')
drawn_pixels() {
  grim -t ppm -g "$((width - 200)),0 200x32" - | tail -c $((200 * 32 * 3)) | od -An -v -tu1 |
    awk '{ for (i = 1; i <= NF; i++) { v[n++] = $i } }
         END { for (p = 0; p < n; p += 3) if (v[p] < 200 || v[p + 1] < 200 || v[p + 2] < 200) c++; print c + 0 }'
}
icon_drawn() { (($(drawn_pixels) >= 50)); }
wait_for 10 icon_drawn || fail "waybar draws no icon in its tray"
grim -g "$((width - 200)),0 200x32" "$shots/tray.png"

# The windows sway manages, by title.
shown() {
  swaymsg -t get_tree | jq -e --arg name "$1" \
    '[.. | objects | select(has("app_id") and .name == $name)] | length > 0' >/dev/null
}
window_rect() {
  swaymsg -t get_tree | jq -r --arg name "$1" '[.. | objects | select(has("app_id") and
    .name == $name)][0] | "\(.rect.x),\(.rect.y - .deco_rect.height) \(.rect.width)x\(.rect.height + .deco_rect.height)"'
}
activate() { busctl --user call "$service" "$path" org.kde.StatusNotifierItem Activate ii "$((width - 12))" 16; }

step "the icon is in the tray"
activate || fail "the item refused Activate"
wait_for 10 shown "Quotameter Panel" || fail "Activate did not open the panel"
sleep 0.5
grim -g "$(window_rect "Quotameter Panel")" "$shots/panel.png"
# The host's second click closes it again.
activate
wait_for 10 not shown "Quotameter Panel" || fail "a second Activate did not close the panel"
# The panel ignores a click within a moment of closing (the click that closed a popup).
sleep 0.5
activate
wait_for 10 shown "Quotameter Panel" || fail "a third Activate did not open the panel"
sleep 0.5
# The seat has a keyboard only while wtype's virtual one exists: the pause lets the
# application take it and the focus before the key comes.
wtype -s 1000 -k Escape || fail "wtype could not type"
wait_for 10 not shown "Quotameter Panel" || fail "Escape did not close the panel"

step "the panel opens and closes"
# The context menu as a host reads it: every window and Quit.
menu=$(property Menu | jq -r .data)
layout() {
  busctl --user --json=short call "$service" "$menu" com.canonical.dbusmenu GetLayout iias -- 0 -1 0 |
    jq -c '[.data[1][2][].data | {id: .[0], label: .[1].label.data}]'
}
entries=$(layout) || fail "the menu at $menu gives no layout"
for label in "Show Panel" "Open Dashboard" "Refresh" "Claude Login" "API Accounts" "Gemini Relay" \
  "Usage Trends" "Quit"; do
  jq -e --arg l "$label" 'any(.[]; .label == $l)' <<<"$entries" >/dev/null ||
    fail "the menu lacks \"$label\": $entries"
done
click() {
  local id
  id=$(jq -r --arg l "$1" '.[] | select(.label == $l) | .id' <<<"$entries")
  busctl --user call "$service" "$menu" com.canonical.dbusmenu AboutToShow i 0 >/dev/null
  busctl --user call "$service" "$menu" com.canonical.dbusmenu Event isvu "$id" clicked s "" 0
}
click "Open Dashboard" || fail "the menu refused a click"
wait_for 20 shown "Quotameter" || fail "\"Open Dashboard\" in the menu opened no dashboard"
sleep 2
grim "$shots/dashboard.png"

step "the menu opened the dashboard"
wait_for 60 tooltip_holds "5-hour 82%" || fail "the tool tip did not follow the Codex log: $(tooltip)"
step "the tool tip followed the log"
# Quit from the menu ends the application, and cleanly. Its browser process and that one's
# own end with it; they are waited for at the end.
mapfile -t -O "${#pids[@]}" pids < <(descendants "$app_pid")
click "Quit" || fail "the menu refused Quit"
wait_for 20 not kill -0 "$app_pid" || fail "Quit did not end the application"
status=0
wait "$app_pid" || status=$?
sanitizer_report && fail "the application quit"
((status == 0)) || fail "the application quit with status $status"
echo "wayland test: passed"
