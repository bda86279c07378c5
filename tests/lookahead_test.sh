#!/usr/bin/env bash
# End to end: galleryfetch-cli looking ahead (--jobs) against the local image
# host. Whatever the number of images in flight, the files, the captions and
# the final text must be those of the run one by one.
# usage: lookahead_test.sh IMAGE_HOST CLI [WINE]
#   With WINE (the wine64 loader), CLI is the Windows build and runs under it;
#   its texts are in the ANSI code page 936 and are converted before comparing.
set -uo pipefail

host_bin=$1
cli=$2
wine=${3:-}
work=$(mktemp -d)
host_pid=
cli_pid=
passed=0
failed=0

cleanup() {
  [[ -n $cli_pid ]] && kill "$cli_pid" 2>/dev/null && wait "$cli_pid" 2>/dev/null
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Starts the host with the given options; sets port.
start_host() {
  rm -f "$work/port" "$work/requests.log"
  touch "$work/requests.log"
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

viewer() { echo "http://127.0.0.1:$port/img.html?img=http://127.0.0.1:$port/images/img/20103/1.jpg"; }

# A path as the program under test sees it.
native_path() {
  if [[ -n $wine ]]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi
}

# A text file the program wrote, as UTF-8 without carriage returns.
as_utf8() {
  if [[ -n $wine ]]; then iconv -f GBK -t UTF-8 "$1" | tr -d '\r'; else cat "$1"; fi
}

# run_cli OUTPUT_DIR OPTIONS...: a whole run into OUTPUT_DIR (made fresh), its
# captions in OUTPUT_DIR.captions; sets rc, out and err.
run_cli() {
  local dir=$1
  shift
  rm -rf "$dir" "$dir.captions"
  if [[ -n $wine ]]; then
    "$wine" "$cli" -q --captions "$(native_path "$dir.captions")" -o "$(native_path "$dir")" \
      "$@" "$(viewer)" >"$work/out.raw" 2>"$work/err.raw"
  else
    "$cli" -q --captions "$dir.captions" -o "$dir" "$@" "$(viewer)" >"$work/out.raw" \
      2>"$work/err.raw"
  fi
  rc=$?
  out=$(as_utf8 "$work/out.raw")
  err=$(as_utf8 "$work/err.raw")
  captions=$(as_utf8 "$dir.captions" 2>/dev/null)
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
numbered() { # count
  local i
  for i in $(seq "$1"); do printf '%d.jpg\n' "$i"; done | sort | tr '\n' ' '
}
# The captions of a run that saves SAVED images and ends with LAST_TEXT.
captions_of() { # saved last_text
  local i
  for i in $(seq $(($1 + 1))); do echo "正在下载${i}第几张"; done
  printf '%s' "$2"
}
no_part_files() { test -z "$(find "$1" -name '*.part' 2>/dev/null)"; }
same_images() { # dir dir count
  local i
  for i in $(seq "$3"); do cmp -s "$1/$i.jpg" "$2/$i.jpg" || return 1; done
}
# Image numbers the host was asked for, one per request, e.g. "1 2 2 3".
requested_numbers() {
  sed -n 's|^GET /images/img/20103/\([0-9]*\)\.jpg .*|\1|p' "$work/requests.log" | sort -n |
    tr '\n' ' '
}
highest_requested() { requested_numbers | tr ' ' '\n' | sort -n | tail -n 1; }
requests_total() { grep -c ' /images/' "$work/requests.log"; }
each_once_up_to() { # n: every number 1…n asked for exactly once
  [[ $(requested_numbers | tr ' ' '\n' | awk -v n="$1" '$1 != "" && $1 <= n' | tr '\n' ' ') == \
    "$(seq -s ' ' "$1") " ]]
}

# --- a whole gallery: the same result at every --jobs
reference=$work/jobs-ref
for jobs in 1 4 16; do
  case_name="12 images, --jobs $jobs"
  start_host --count 12 --latency-ms 20
  dir=$work/jobs-$jobs
  run_cli "$dir" --jobs "$jobs"
  check "exit 0" test "$rc" -eq 0
  check "final text" test "$out" = "共12图片，已全部下载完成"
  check "captions 1 to 13, then the final text" \
    test "$captions" = "$(captions_of 12 "共12图片，已全部下载完成")"
  check "exactly the 12 images" test "$(listing "$dir/20103")" = "$(numbered 12)"
  check "no .part left" no_part_files "$dir"
  check "each number up to 13 asked for once" each_once_up_to 13
  check "at most $((jobs - 1)) asked for past the end" test "$(requests_total)" -le $((12 + jobs))
  if [[ $jobs -eq 1 ]]; then
    check "one by one: nothing past the end" test "$(highest_requested)" -eq 13
    cp -r "$dir" "$reference"
    cp "$dir.captions" "$reference.captions"
  else
    check "the images of --jobs 1" same_images "$dir/20103" "$reference/20103" 12
    check "the caption file of --jobs 1" cmp -s "$dir.captions" "$reference.captions"
  fi
  stop_host
done

# --- the gallery ends or fails while later numbers are in flight or have arrived
# name|host options|cli options|rc|final text|saved|highest number asked for at most
while IFS='|' read -r name host_options cli_options rc_want out_want saved_want highest_want; do
  case_name=$name
  # shellcheck disable=SC2086
  start_host $host_options
  dir=$work/ends
  # shellcheck disable=SC2086
  run_cli "$dir" $cli_options
  check "exit $rc_want" test "$rc" -eq "$rc_want"
  check "final text" test "$out" = "$out_want"
  check "captions as one by one" test "$captions" = "$(captions_of $((saved_want)) "$out_want")"
  check "images 1 to $saved_want only" test "$(listing "$dir/20103")" = "$(numbered "$saved_want")"
  check "no .part left" no_part_files "$dir"
  check "nothing asked for above $highest_want" test "$(highest_requested)" -le "$highest_want"
  stop_host
done <<'EOF_CASES'
an empty 13 with 14 to 20 there, --jobs 16|--count 20 --empty-number 13|--jobs 16|0|共12图片，已全部下载完成|12|28
an empty 13 with 14 to 20 there, --jobs 4|--count 20 --empty-number 13 --latency-ms 20|--jobs 4|0|共12图片，已全部下载完成|12|16
a 503 at 5, no retries, --jobs 4|--count 12 --fail-number 5|--jobs 4 --retries 0|1|第5张下载失败，已保存4张|4|8
a 503 at 5 retried once while 6 to 8 arrive|--count 12 --fail-number 5|--jobs 4 --retries 1|1|第5张下载失败，已保存4张|4|8
a body cut off at 3, --jobs 16|--count 12 --cut-after 3:100|--jobs 16 --retries 0|1|第3张下载失败，已保存2张|2|18
EOF_CASES

case_name="a 503 at 5 retried once: five asked for once, 5 twice"
start_host --count 12 --fail-number 5
run_cli "$work/retry" --jobs 4 --retries 1
check "two requests for 5" test "$(requested_numbers | tr ' ' '\n' | grep -cx 5)" -eq 2
check "1 to 4 once each" each_once_up_to 4
stop_host

case_name="503 twice at every number, then 200, --jobs 4"
start_host --count 6 --fail-first 2
run_cli "$work/busy" --jobs 4
check "exit 0" test "$rc" -eq 0
check "final text" test "$out" = "共6图片，已全部下载完成"
check "captions as one by one" test "$captions" = "$(captions_of 6 "共6图片，已全部下载完成")"
check "the 6 images" test "$(listing "$work/busy/20103")" = "$(numbered 6)"
stop_host

case_name="bad --jobs"
for value in 0 17 four; do
  run_cli "$work/bad" --jobs "$value"
  check "--jobs $value: exit 2" test "$rc" -eq 2
done
check "nothing created" test ! -e "$work/bad/20103"

if [[ -z $wine ]]; then
  # Under Wine a POSIX signal does not reach the program as Ctrl-C.
  four_waiting() { [[ $(ss -Htn state established "( dport = :$port )" | wc -l) -ge 4 ]]; }
  # 1 and 2 saved, 3 stalled, 4 to 6 arrived and held back.
  three_stalled() {
    grep -q '/3.jpg stall' "$work/requests.log" &&
      [[ $(grep -c ' 200$' "$work/requests.log") -ge 5 ]]
  }
  # signal|host options|ready probe|what the probe waits for|files left
  while IFS='|' read -r signal host_options probe what files_want; do
    case_name="SIG$signal with 4 in flight: $what"
    # shellcheck disable=SC2086
    start_host --count 12 $host_options
    dir=$work/cancel
    rm -rf "$dir"
    "$cli" -q --jobs 4 -o "$dir" "$(viewer)" >"$work/out.raw" 2>"$work/err.raw" &
    cli_pid=$!
    for _ in $(seq 200); do
      $probe && break
      sleep 0.05
    done
    check "ready: $what" $probe
    sent=$(date +%s%N)
    kill -"$signal" "$cli_pid"
    # A bound only against a hang; how soon it ends is the benchmark's business.
    for _ in $(seq 200); do
      kill -0 "$cli_pid" 2>/dev/null || break
      sleep 0.1
    done
    wait "$cli_pid"
    rc=$?
    cli_pid=
    echo "lookahead_test: $case_name: ended $((($(date +%s%N) - sent) / 1000000)) ms after the signal"
    out=$(cat "$work/out.raw")
    err=$(cat "$work/err.raw")
    check "exit 130" test "$rc" -eq 130
    check "no final text" test -z "$out"
    check "the images saved before, no .part" test "$(listing "$dir/20103")" = "$files_want"
    stop_host
  done <<EOF_CASES
TERM|--latency-ms 3000|four_waiting|4 connections waiting for answers|
INT|--stall-number 3|three_stalled|3 stalled, 4 to 6 arrived|$(numbered 2)
EOF_CASES
fi

echo "$passed passed, $failed failed"
((failed == 0))
