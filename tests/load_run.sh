#!/usr/bin/env bash
# A load run, not one of the tests: a synthetic gallery of 9999 small images
# fetched over loopback, with the program's memory and open files sampled while
# it runs. Every number has an image, so the run must end without the final
# text. It stops by itself: the program is given 20 minutes at most.
# usage: tests/load_run.sh [IMAGE_HOST CLI [CLI OPTIONS...]]
#   Defaults to the native build. Prints the figures; exit 1 when memory grew by
#   more than 10 % or open files grew between the first and the last thousand
#   images, or the run did not end as it should.
set -uo pipefail
cd "$(dirname "$0")/.." || exit

host_bin=${1:-build/native/tools/image-host/image-host}
cli=${2:-build/native/galleryfetch-cli}
shift $(($# < 2 ? $# : 2))
count=9999
size=256
limit_seconds=1200
sample_seconds=0.05

work=$(mktemp -d)
host_pid=
cli_pid=
cleanup() {
  [[ -n $cli_pid ]] && kill "$cli_pid" 2>/dev/null
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$host_bin" --port 0 --port-file "$work/port" --log "$work/requests.log" --count "$count" \
  --size "$size" >/dev/null &
host_pid=$!
for _ in $(seq 100); do
  [[ -s $work/port ]] && break
  sleep 0.1
done
port=$(cat "$work/port")
address="http://127.0.0.1:$port/img.html?img=http://127.0.0.1:$port/images/img/20103/1.jpg"

started=$(date +%s%N)
timeout "$limit_seconds" "$cli" -q "$@" -o "$work/out" "$address" >"$work/stdout" 2>"$work/stderr" &
cli_pid=$!
# timeout runs the program as its child; the samples are of the program.
program_pid=
for _ in $(seq 100); do
  program_pid=$(pgrep -P "$cli_pid" | head -n 1)
  [[ -n $program_pid ]] && break
  sleep 0.01
done

# One line a sample: requests the host has seen (how far the run is), VmRSS in
# KB, open descriptors.
: >"$work/samples"
while [[ -n $program_pid ]] && kill -0 "$program_pid" 2>/dev/null; do
  rss=
  while read -r key value _; do
    [[ $key == VmRSS: ]] && rss=$value
  done <"/proc/$program_pid/status" 2>/dev/null
  fds=(/proc/"$program_pid"/fd/*)
  requests=$(wc -l <"$work/requests.log")
  [[ -n $rss ]] && echo "$requests $rss ${#fds[@]}" >>"$work/samples"
  sleep "$sample_seconds"
done
wait "$cli_pid"
rc=$?
cli_pid=
ended=$(date +%s%N)

saved=$(find "$work/out/20103" -maxdepth 1 -name '*.jpg' -size "${size}c" | wc -l)
missing=$(comm -23 <(seq "$count" | sort) \
  <(find "$work/out/20103" -maxdepth 1 -name '*.jpg' -printf '%f\n' | sed 's/\.jpg$//' | sort) |
  wc -l)
others=$(find "$work/out/20103" -mindepth 1 ! -name '*.jpg' | wc -l)
spot_ok=yes
for n in 1 5000 "$count"; do
  cmp -s "$work/out/20103/$n.jpg" <(curl -s "http://127.0.0.1:$port/images/img/20103/$n.jpg") ||
    spot_ok=no
done

# Peak RSS and most descriptors among the samples taken while the host had
# seen requests FROM..TO.
window() { # from to
  awk -v from="$1" -v to="$2" '$1 >= from && $1 <= to {
      n++; if ($2 > rss) rss = $2; if ($3 > fd) fd = $3; if (!min || $3 < min) min = $3 }
    END { printf "%d %d %d %d\n", n, rss, fd, min }' "$work/samples"
}
read -r first_n first_rss first_fd first_fd_min <<<"$(window 1 1000)"
read -r last_n last_rss last_fd last_fd_min <<<"$(window $((count - 999)) $((count + 100)))"
read -r all_n all_rss all_fd all_fd_min <<<"$(window 0 999999)"
seconds=$(awk -v ns=$((ended - started)) 'BEGIN { printf "%.1f", ns / 1e9 }')

echo "exit status:           $rc"
echo "final text:            $(if [[ -s $work/stdout ]]; then cat "$work/stdout"; else echo none; fi)"
echo "stderr:                $(head -c 300 "$work/stderr")"
echo "images of $size bytes:   $saved, numbers missing: $missing, other entries: $others"
echo "spot check 1, 5000, $count against the host: $spot_ok"
echo "time:                  ${seconds} s"
echo "requests the host saw: $(wc -l <"$work/requests.log")"
echo "samples:               $all_n (first thousand: $first_n, last thousand: $last_n)"
echo "peak VmRSS:            first thousand ${first_rss} KB, last thousand ${last_rss} KB, whole run ${all_rss} KB"
echo "open descriptors:      first thousand ${first_fd_min}-${first_fd}, last thousand ${last_fd_min}-${last_fd}, whole run ${all_fd_min}-${all_fd}"

good=true
[[ $rc == 0 ]] || { echo "BAD: exit status $rc"; good=false; }
[[ ! -s $work/stdout ]] || { echo "BAD: a final text although every number had an image"; good=false; }
((saved == count && missing == 0 && others == 0)) || { echo "BAD: not exactly the $count images"; good=false; }
[[ $spot_ok == yes ]] || { echo "BAD: an image differs from the host's"; good=false; }
((first_n > 0 && last_n > 0)) || { echo "BAD: too few samples to compare"; good=false; }
if ((first_n > 0 && last_n > 0)); then
  ((last_rss * 10 <= first_rss * 11)) || { echo "BAD: memory grew more than 10 %"; good=false; }
  ((last_fd <= first_fd)) || { echo "BAD: more open descriptors at the end"; good=false; }
fi
$good
