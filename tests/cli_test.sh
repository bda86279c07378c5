#!/usr/bin/env bash
# End to end: galleryfetch-cli against the local image host, as a user runs it.
# usage: cli_test.sh IMAGE_HOST CLI [WINE]
#   With WINE (the wine64 loader), CLI is the Windows build and runs under it;
#   its output is in the ANSI code page 936 and is converted before comparing.
set -uo pipefail

host_bin=$1
cli=$2
wine=${3:-}
work=$(mktemp -d)
host_pid=
passed=0
failed=0

cleanup() {
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Starts the host with the given options; sets port.
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

viewer() { # gallery first-file
  echo "http://127.0.0.1:$port/img.html?img=http://127.0.0.1:$port/images/img/$1/$2"
}

# A path as the program under test sees it.
native_path() {
  if [[ -n $wine ]]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi
}

# Runs the command line program; sets rc, out and err (both as UTF-8).
run_cli() {
  if [[ -n $wine ]]; then
    "$wine" "$cli" "$@" >"$work/out.raw" 2>"$work/err.raw"
    rc=$?
    iconv -f GBK -t UTF-8 "$work/out.raw" | tr -d '\r' >"$work/out"
    iconv -f GBK -t UTF-8 "$work/err.raw" | tr -d '\r' >"$work/err"
  else
    "$cli" "$@" >"$work/out" 2>"$work/err"
    rc=$?
  fi
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

# check DESCRIPTION COMMAND...: one assertion.
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $case_name: $what" >&2
    echo "  rc=$rc" >&2
    echo "  stdout: $out" >&2
    echo "  stderr: $err" >&2
  fi
}

listing() { (cd "$1" 2>/dev/null && ls -A | sort | tr '\n' ' '); }
numbered() { # count ext [width]
  local i
  for i in $(seq "$1"); do printf "%0${3:-1}d.%s\n" "$i" "$2"; done | sort | tr '\n' ' '
}
# Requests the host logged for one image path, or for any image; 0 without a log.
count_requests() {
  local n
  n=$(grep -c "$1" "$work/requests.log" 2>/dev/null)
  echo "${n:-0}"
}
requests_for() { count_requests " /images/img/$1 "; }
requests_total() { count_requests " /images/"; }

fresh_output() {
  out_dir=$work/out-$1
  rm -rf "$out_dir"
}

# --- a whole gallery whose 13 is a 404 with an HTML body
case_name="12 images, then a 404 page"
start_host --count 12 --missing-body '<html><body>not here</body></html>'
fresh_output a
# One by one, so that no number past the end is asked for (lookahead_test.sh
# covers the look-ahead).
run_cli -q --jobs 1 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 0" test "$rc" -eq 0
check "final text" test "$out" = "共12图片，已全部下载完成"
check "exactly the 12 images" test "$(listing "$out_dir/20103")" = "$(numbered 12 jpg)"
check "each number fetched once" test "$(requests_total)" -eq 13
check "image bytes as served" cmp -s "$out_dir/20103/12.jpg" <(curl -s "http://127.0.0.1:$port/images/img/20103/12.jpg")

case_name="a second run over the existing folder"
run_cli -q -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 0" test "$rc" -eq 0
check "final text" test "$out" = "共12图片，已全部下载完成"
check "the same 12 images" test "$(listing "$out_dir/20103")" = "$(numbered 12 jpg)"
stop_host

case_name="an earlier image survives when the host now fails"
start_host --count 12 --fail-number 1
cp "$out_dir/20103/1.jpg" "$work/earlier.jpg"
run_cli -q --retries 0 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 1" test "$rc" -eq 1
check "failure text" test "$out" = "第1张下载失败，已保存0张"
check "the earlier file is unchanged" cmp -s "$out_dir/20103/1.jpg" "$work/earlier.jpg"
check "the reason names the status" grep -q "503" "$work/err"
stop_host

# --- how a gallery can end, and how a failure is reported
while IFS='|' read -r name options address_file rc_want out_want files_want; do
  case_name=$name
  # shellcheck disable=SC2086
  start_host $options
  fresh_output b
  run_cli -q --retries 1 -o "$(native_path "$out_dir")" "$(viewer 20103 "$address_file")"
  check "exit $rc_want" test "$rc" -eq "$rc_want"
  check "final text" test "$out" = "$out_want"
  check "files" test "$(listing "$out_dir/20103")" = "$files_want"
  stop_host
done <<EOF_CASES
first image missing|--count 0|1.jpg|0|共0图片，已全部下载完成|
an empty 200 at 5|--count 12 --empty-number 5|1.jpg|0|共4图片，已全部下载完成|$(numbered 4 jpg)
an image starting with a zero byte counts|--count 4 --zero-first-number 3|1.jpg|0|共4图片，已全部下载完成|$(numbered 4 jpg)
a 503 that stays|--count 12 --fail-number 3|1.jpg|1|第3张下载失败，已保存2张|$(numbered 2 jpg)
a body cut off|--count 12 --cut-after 2:100|1.jpg|1|第2张下载失败，已保存1张|$(numbered 1 jpg)
a zero-padded gallery|--count 3 --pad 3|001.jpg|0|共3图片，已全部下载完成|$(numbered 3 jpg 3)
a .png gallery|--count 3 --ext png|1.png|0|共3图片，已全部下载完成|$(numbered 3 png)
redirects are followed|--count 3 --redirect|1.jpg|0|共3图片，已全部下载完成|$(numbered 3 jpg)
EOF_CASES

case_name="503 twice, then 200"
start_host --count 1 --fail-first 2
fresh_output c
run_cli -q -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 0" test "$rc" -eq 0
check "final text" test "$out" = "共1图片，已全部下载完成"
check "saved" test "$(listing "$out_dir/20103")" = "1.jpg "
check "3 requests for image 1" test "$(requests_for 20103/1.jpg)" -eq 3
stop_host

case_name="nothing listens on the port"
fresh_output d
port=1
run_cli -q --retries 0 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 1" test "$rc" -eq 1
check "failure text" test "$out" = "第1张下载失败，已保存0张"
check "no file" test -z "$(listing "$out_dir/20103")"

case_name="--max 3"
start_host --count 12
fresh_output e
run_cli -q --max 3 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 0" test "$rc" -eq 0
check "no final text" test -z "$out"
check "3 images" test "$(listing "$out_dir/20103")" = "$(numbered 3 jpg)"

case_name="--dry-run"
fresh_output f
requests_before=$(requests_total)
run_cli --dry-run -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 0" test "$rc" -eq 0
expected="prefix=http://127.0.0.1:$port/images/img/
gallery=20103
extension=.jpg
folder=$(native_path "$out_dir/20103")
first=http://127.0.0.1:$port/images/img/20103/1.jpg"
check "the five lines" test "$out" = "$expected"
check "nothing created" test ! -e "$out_dir"
check "nothing fetched" test "$(requests_total)" -eq "$requests_before"
stop_host

case_name="a traversal address"
fresh_output g
run_cli -q -o "$(native_path "$out_dir")" "http://127.0.0.1:1/img.html?img=http://127.0.0.1:1/images/img/../1.jpg"
check "exit 2" test "$rc" -eq 2
check "a reason" test -n "$err"
check "nothing created" test ! -e "$out_dir"
check "nothing beside it" test ! -e "$work/1.jpg"

case_name="bad options"
run_cli --max 0 "$(viewer 20103 1.jpg)"
check "exit 2" test "$rc" -eq 2
run_cli
check "exit 2 without an address" test "$rc" -eq 2

if [[ -z $wine ]]; then
  # Under Wine a POSIX signal does not reach the program as Ctrl-C.
  for signal in INT TERM; do
    case_name="SIG$signal in the middle of an image"
    start_host --count 12 --stall-number 3
    fresh_output h
    "$cli" -q -o "$out_dir" "$(viewer 20103 1.jpg)" >"$work/out" 2>"$work/err" &
    cli_pid=$!
    for _ in $(seq 100); do
      [[ -e $out_dir/20103/2.jpg ]] && grep -q '/3.jpg' "$work/requests.log" && break
      sleep 0.1
    done
    kill -"$signal" "$cli_pid"
    wait "$cli_pid"
    rc=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
    check "exit 130" test "$rc" -eq 130
    check "the saved images stay, no .part" test "$(listing "$out_dir/20103")" = "$(numbered 2 jpg)"
    check "no final text" test -z "$out"
    stop_host
  done
fi

echo "$passed passed, $failed failed"
((failed == 0))
