#!/usr/bin/env bash
# The Windows window program driven under Wine against the local image host.
# usage: window_win32_test.sh IMAGE_HOST GALLERYFETCH_EXE DRIVER_EXE WINE [--screenshot PNG]
#   IMAGE_HOST is the Linux build's host; the two .exe files run under WINE
#   (the wine64 loader). With --screenshot, the finished window of the first
#   case is also saved, cropped to the window, as PNG.
# Needs an X display; without one it starts itself again under Xvfb.
set -uo pipefail

if [[ -z ${DISPLAY:-} ]]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

host_bin=$1
program=$2
driver=$3
wine=$4
screenshot=
if [[ ${5:-} == --screenshot ]]; then screenshot=$(realpath -m "$6"); fi

export WINEPREFIX=${WINEPREFIX:-$(realpath "$(dirname "$0")/..")/build/wineprefix}
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  "$wine" wineboot --init >/dev/null 2>&1
fi
# No window manager runs under Xvfb, so Wine is asked to draw the frame and
# caption itself, for this program only: the window then looks as on Windows.
if ! grep -q 'AppDefaults\\\\galleryfetch.exe\\\\X11 Driver' "$WINEPREFIX/user.reg"; then
  "$wine" reg add 'HKCU\Software\Wine\AppDefaults\galleryfetch.exe\X11 Driver' \
    /v Decorated /d N /f >/dev/null 2>&1
fi
# Wine draws the caption buttons with Marlett, which Debian ships (fonts-wine)
# where Wine itself does not look; it is named to Wine the Windows way.
marlett=$(realpath -m "$(dirname "$(realpath "$wine")")/../../share/wine/fonts/marlett.ttf")
if [[ -f $marlett ]] && ! grep -q '^"Marlett (TrueType)"' "$WINEPREFIX/system.reg"; then
  "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' \
    /v 'Marlett (TrueType)' /d "Z:${marlett//\//\\}" /f >/dev/null 2>&1
fi

work=$(mktemp -d)
host_pid=
watcher_pid=
failed=0

cleanup() {
  [[ -n $watcher_pid ]] && kill "$watcher_pid" 2>/dev/null
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

start_host() {
  rm -f "$work/port" "$work/requests.log"
  "$host_bin" --port 0 --port-file "$work/port" --log "$work/requests.log" "$@" >/dev/null &
  host_pid=$!
  for _ in $(seq 100); do
    [[ -s $work/port ]] && break
    sleep 0.1
  done
  port=$(cat "$work/port")
}

stop_host() {
  kill "$host_pid" 2>/dev/null
  wait "$host_pid" 2>/dev/null
  host_pid=
}

# Waits for the driver to say where the window is, photographs the screen and
# crops it to the window.
take_picture() { # shot-dir
  for _ in $(seq 3000); do
    [[ -s $1/window.rect ]] && break
    sleep 0.1
  done
  [[ -s $1/window.rect ]] || return
  read -r x y w h <"$1/window.rect"
  sleep 0.5 # let the last paint land
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$screenshot"
  touch "$1/shot.done"
}

# Each case runs the program from a fresh folder of its own, since the
# gallery folder is made beside it.
while IFS='|' read -r case_name host_options; do
  # shellcheck disable=SC2086
  start_host $host_options
  dir=$work/$case_name
  mkdir -p "$dir"
  cp "$program" "$dir/galleryfetch.exe"
  shot_args=()
  if [[ -n $screenshot && $case_name == full-run ]]; then
    mkdir -p "$dir/shot"
    take_picture "$dir/shot" &
    watcher_pid=$!
    shot_args=("$(windows_path "$dir/shot")")
  fi
  "$wine" "$driver" "$case_name" "$(windows_path "$dir/galleryfetch.exe")" "$port" \
    "$(windows_path "$work/requests.log")" "${shot_args[@]}" 2>&1 | tr -d '\r'
  rc=${PIPESTATUS[0]}
  ((rc == 0)) || failed=$((failed + 1))
  if [[ -n $watcher_pid ]]; then
    kill "$watcher_pid" 2>/dev/null
    wait "$watcher_pid" 2>/dev/null
    watcher_pid=
  fi
  stop_host
done <<EOF_CASES
full-run|--count 12 --latency-ms 200
close-mid-run-box|--count 50 --latency-ms 1000
close-mid-run-escape|--count 50 --latency-ms 1000
EOF_CASES

((failed == 0))
