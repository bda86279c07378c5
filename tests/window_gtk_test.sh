#!/usr/bin/env bash
# The GTK window program driven under Xvfb with xdotool, against the local image host.
# usage: window_gtk_test.sh IMAGE_HOST PROGRAM [SCREENSHOT]
#   SCREENSHOT, when given, is where the window's picture after a whole run is saved as PNG.
set -uo pipefail

host_bin=$1
program_src=$2
screenshot_out=${3:-}
work=$(mktemp -d)
host_pid=
xvfb_pid=
app_pid=
passed=0
failed=0
case_name=

# The screen, so that the centred place is known.
screen_w=1024
screen_h=768
win_w=380
win_h=250

cleanup() {
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

for tool in Xvfb xdotool xprop import convert; do
  if ! command -v "$tool" >/dev/null; then
    echo "window_gtk_test: $tool is missing (scripts/install-deps installs it)" >&2
    exit 1
  fi
done

# check DESCRIPTION COMMAND...: one assertion.
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $case_name: $what" >&2
  fi
}

# wait_until SECONDS COMMAND...: polls every 0.1 s; false when time ran out.
wait_until() {
  local tries=$(($1 * 10))
  shift
  while ((tries-- > 0)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# --- the X server: a display number of its own, so parallel tests do not meet
Xvfb -displayfd 3 -screen 0 "${screen_w}x${screen_h}x24" -nolisten tcp 3>"$work/display" \
  2>"$work/xvfb.err" &
xvfb_pid=$!
if ! wait_until 10 test -s "$work/display"; then
  echo "window_gtk_test: Xvfb did not start: $(cat "$work/xvfb.err")" >&2
  exit 1
fi
DISPLAY=:$(cat "$work/display")
export DISPLAY

# A home of its own: the theme is GTK's built-in one, no user settings, no
# registered handler for folders (so the program falls back to xdg-open, which
# is the recorder below), and no session bus or accessibility bus to wait for.
mkdir -p "$work/bin" "$work/xdg/config" "$work/xdg/data" "$work/xdg/data-dirs" "$work/xdg/cache"
cat >"$work/bin/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$work/opened.log"
EOF
chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"
export XDG_CONFIG_HOME=$work/xdg/config XDG_DATA_HOME=$work/xdg/data
export XDG_DATA_DIRS=$work/xdg/data-dirs XDG_CACHE_HOME=$work/xdg/cache
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus NO_AT_BRIDGE=1 GIO_USE_VFS=local
export GDK_BACKEND=x11 GTK_THEME=Adwaita
export GALLERYFETCH_NO_ERROR_BOX=1
# A run that somehow got an address other than the local host's (the default
# address, say) ends at a dead proxy instead of going out.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 no_proxy=127.0.0.1
unset HTTP_PROXY HTTPS_PROXY ALL_PROXY all_proxy NO_PROXY
unset GTK_CSD GTK_MODULES
# Under the sanitizers: fontconfig's caches are dropped unfreed at exit by design;
# every other leak still fails the exit code checks.
echo "leak:libfontconfig.so" >"$work/lsan.supp"
export LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$work/lsan.supp:print_suppressions=0

# Starts the host with the given options; sets port.
start_host() {
  rm -f "$work/port" "$work/requests.log"
  touch "$work/requests.log"
  "$host_bin" --port 0 --port-file "$work/port" --log "$work/requests.log" "$@" >/dev/null &
  host_pid=$!
  wait_until 10 test -s "$work/port"
  port=$(cat "$work/port")
}

stop_host() {
  kill "$host_pid" 2>/dev/null
  wait "$host_pid" 2>/dev/null
  host_pid=
}

viewer() { # gallery first-file
  echo "http://127.0.0.1:$port/img.html?img=http://127.0.0.1:$port/images/img/$1/$2"
}

# A fresh folder with a copy of the program: the gallery folders are made beside it.
fresh_app_dir() {
  app_dir=$work/app-$1
  mkdir -p "$app_dir"
  cp "$program_src" "$app_dir/galleryfetch"
  captions=$app_dir/captions.log
  rm -f "$work/opened.log"
}

find_window() {
  wid=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | head -n 1)
  [[ -n $wid ]]
}

start_app() {
  GALLERYFETCH_CAPTION_LOG=$captions "$app_dir/galleryfetch" >"$app_dir/out" 2>"$app_dir/err" &
  app_pid=$!
  wid=
  if ! wait_until 30 find_window; then
    echo "FAILED: $case_name: no window appeared; stderr: $(cat "$app_dir/err")" >&2
    failed=$((failed + 1))
    return 1
  fi
  # No window manager gives the focus: the program is given it directly.
  timeout 5 xdotool windowfocus --sync "$wid"
  sleep 0.3
}

# Waits (bounded) for the program to end; sets rc (-1 when it did not).
wait_exit() {
  if wait_until "$1" bash -c "! kill -0 $app_pid 2>/dev/null"; then
    wait "$app_pid"
    rc=$?
  else
    rc=-1
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
  fi
  app_pid=
}

key() { xdotool key --delay 50 "$@"; sleep 0.2; }

# Tab into the address box, replace its text, back to 按钮1 with Shift+Tab.
type_address() {
  key Tab ctrl+a
  xdotool type --delay 5 "$1"
  sleep 0.2
}

# The probes below are re-evaluated at every poll of wait_until.
final_lines() { if [[ -e $captions ]]; then grep -c -x "$1" "$captions"; else echo 0; fi; }
has_final() { [[ $(final_lines "$1") -ge $2 ]]; }
count_files() { find "$1" -maxdepth 1 -type f 2>/dev/null | wc -l; }
files_are() { [[ $(count_files "$1") -eq $2 ]]; }
last_caption() { tail -n 1 "$captions" 2>/dev/null; }
opened_count() { if [[ -e $work/opened.log ]]; then wc -l <"$work/opened.log"; else echo 0; fi; }
opened_last_is() { [[ -e $work/opened.log && $(tail -n 1 "$work/opened.log") == "$1" ]]; }
opened_more_than() { [[ $(opened_count) -gt $1 ]]; }
requests() { wc -l <"$work/requests.log"; }
requests_more_than() { [[ $(requests) -gt $1 ]]; }

# The numbers of the progress captions of the first run, in the order shown.
progress_numbers() {
  sed -n 's/^正在下载\([0-9]*\)第几张$/\1/p' "$captions" | head -n "$1" | tr '\n' ' '
}

# One pixel of the screenshot as "r,g,b".
pixel() { # x y (client coordinates)
  convert "$work/window.png" -format '%[fx:int(255*r)],%[fx:int(255*g)],%[fx:int(255*b)]' \
    -crop "1x1+$1+$2" info:- 2>/dev/null
}
is_white() { [[ $(pixel "$1" "$2") == "255,255,255" ]]; }
is_not_white() { [[ $(pixel "$1" "$2") != "255,255,255" ]]; }

# --- the window, the keyboard, a whole gallery and both buttons
case_name="the window, its focus order and a whole gallery"
start_host --count 12
fresh_app_dir a
start_app

eval "$(xdotool getwindowgeometry --shell "$wid")"
# Without a window manager there are no decorations: the X window is exactly
# the client area that GTK lays out.
check "client area ${win_w}x${win_h} (got ${WIDTH}x${HEIGHT})" \
  test "$WIDTH" -eq "$win_w" -a "$HEIGHT" -eq "$win_h"
check "centred on the screen (got $X,$Y)" \
  test "$X" -eq $(((screen_w - win_w) / 2)) -a "$Y" -eq $(((screen_h - win_h) / 2))
check "empty title" test -z "$(xdotool getwindowname "$wid")"
# Without a title of its own GTK would name the window after the program.
check "WM_NAME empty" grep -qxE 'WM_NAME\([A-Z_0-9]+\) = ("")?' <(xprop -id "$wid" WM_NAME)
check "_NET_WM_NAME empty" grep -qxE '_NET_WM_NAME\([A-Z_0-9]+\) = ("")?' \
  <(xprop -id "$wid" _NET_WM_NAME)
check "not resizable" grep -q "program specified minimum size: $win_w by $win_h" \
  <(xprop -id "$wid" WM_NORMAL_HINTS)
check "not resizable (max = min)" grep -q "program specified maximum size: $win_w by $win_h" \
  <(xprop -id "$wid" WM_NORMAL_HINTS)

# The window's picture from the whole screen: there is no frame to leave out.
shoot() {
  import -window root "$work/root.png"
  convert "$work/root.png" -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$1"
}
shoot "$work/window.png"
# The address box is white inside and ends where its 224x24 place ends; the
# labels beside and below it are on the window's grey.
check "address box white inside, near its bottom-left" is_white 36 28
check "address box white inside, near its top-right" is_white 252 11
check "nothing white just below the address box" is_not_white 36 34
check "nothing white just above the address box" is_not_white 252 5
check "nothing white right of the address box" is_not_white 258 20
check "nothing white left of the address box" is_not_white 30 20

# Focus on 按钮1 at the start: Tab reaches the address box, Tab again 按钮2.
type_address "$(viewer 20103 1.jpg)"
# Enter in the address box starts nothing: the window has no default button.
key Return
sleep 1
check "Enter in the address box starts no run" test ! -e "$app_dir/20103" -a ! -s "$captions"
key Tab space
check "Tab from the address box reaches 按钮2: the program folder opened" \
  wait_until 10 opened_last_is "$app_dir"
check "no run started yet" test ! -e "$app_dir/20103"
# Tab from 按钮2 wraps to 按钮1, which starts the run.
key Tab space
check "the 12 images arrive" wait_until 60 files_are "$app_dir/20103" 12
check "the final caption" wait_until 60 has_final "共12图片，已全部下载完成" 1
check "the final caption is the last" test "$(last_caption)" = "共12图片，已全部下载完成"
check "progress captions 1 to 12 in order, before it" \
  test "$(progress_numbers 12)" = "$(seq -s ' ' 12) "
check "no .part left" test -z "$(find "$app_dir/20103" -name '*.part')"
check "image bytes as served" cmp -s "$app_dir/20103/12.jpg" \
  <(curl -s "http://127.0.0.1:$port/images/img/20103/12.jpg")
# With every text on show, the final caption included.
if [[ -n $screenshot_out ]]; then sleep 0.3 && shoot "$screenshot_out"; fi

# 按钮1 had the focus when the run disabled it, so now nothing has it and Tab
# goes to 按钮1 first. Shift+Tab from there goes back to 按钮2, which now opens
# the gallery folder.
key Tab shift+Tab space
check "Shift+Tab from 按钮1 reaches 按钮2: the gallery folder opened" \
  wait_until 10 opened_last_is "$app_dir/20103"
# Shift+Tab twice more: the address box, then 按钮1.
key shift+Tab shift+Tab
requests_before=$(requests)
key space
check "Shift+Tab wraps back to 按钮1: a second run" wait_until 60 has_final "共12图片，已全部下载完成" 2
check "the second run asked the host again" requests_more_than "$requests_before"

# A mouse click on 按钮1's place (8,176 112x40) and on 按钮2's (184,176 176x40).
xdotool mousemove --window "$wid" 64 196 click 1
check "a click on 按钮1 runs again" wait_until 60 has_final "共12图片，已全部下载完成" 3
opened_before=$(opened_count)
xdotool mousemove --window "$wid" 272 196 click 1
check "a click on 按钮2 opens the folder" wait_until 10 opened_more_than "$opened_before"
# The labels take no click: one at 下载进度's place changes nothing.
opened_before=$(opened_count)
requests_before=$(requests)
xdotool mousemove --window "$wid" 20 56 click 1
sleep 1
check "a click on a label does nothing" \
  test "$(opened_count)" -eq "$opened_before" -a "$(requests)" -eq "$requests_before"

key Escape
wait_exit 10
check "Escape ends the program with 0 (rc=$rc)" test "$rc" -eq 0
check "nothing on standard error" test ! -s "$app_dir/err"
[[ -s $app_dir/err ]] && head -n 20 "$app_dir/err" >&2
stop_host

# --- closing in the middle of a slow run
case_name="Escape in the middle of a slow run"
start_host --count 50 --latency-ms 1000
fresh_app_dir b
start_app
type_address "$(viewer 20103 1.jpg)"
key shift+Tab space
check "a run is under way" wait_until 30 test -e "$app_dir/20103/2.jpg"
key Escape
wait_exit 10
check "ends with 0 within a few seconds (rc=$rc)" test "$rc" -eq 0
check "no .part left" test -z "$(find "$app_dir/20103" -name '*.part')"
check "the run stopped short" test "$(count_files "$app_dir/20103")" -lt 50
check "no final caption" test "$(final_lines "共50图片，已全部下载完成")" -eq 0
# An answer already on its way is logged when its latency is over; after that
# nothing may come, which a fetch left running in some other process would break.
sleep 1.5
requests_at_exit=$(requests)
sleep 2.5
check "the host's request log stops growing" test "$(requests)" -eq "$requests_at_exit"
stop_host

# --- no display at all
case_name="no display"
fresh_app_dir c
env -u DISPLAY "$app_dir/galleryfetch" >"$app_dir/out" 2>"$app_dir/err"
rc=$?
check "the fatal exit code (rc=$rc)" test "$rc" -eq 255
check "the report names the window" grep -q "载入启动窗口失败" "$app_dir/err"

echo "$passed passed, $failed failed"
((failed == 0))
