#!/usr/bin/env bash
# Faults and hostile input end to end: galleryfetch-cli against a local image
# host that misbehaves, a disk that fills up or is read-only, a process killed
# in the middle of an image, addresses made to write outside the output
# directory, and HTTPS with a certificate nobody trusts.
# usage: faults_test.sh IMAGE_HOST CLI [WINE]
#   With WINE (the wine64 loader), CLI is the Windows build and runs under it;
#   its output is in the ANSI code page 936 and is converted before comparing.
set -uo pipefail

# Absolute: some cases run the program from another working directory.
host_bin=$(realpath "$1")
cli=$(realpath "$2")
wine=${3:-}

# Natively the script runs in a mount namespace of its own, so that the small
# file systems mounted below vanish with it however it ends. Under Wine the
# files are opened by the wine server, which other tests share and which would
# not see such mounts: there they are made in the common namespace and undone
# on exit.
if [[ -z $wine && -z ${GALLERYFETCH_OWN_MOUNTS:-} ]] && unshare -m true 2>/dev/null; then
  GALLERYFETCH_OWN_MOUNTS=1 exec unshare -m --propagation private bash "$0" "$@"
fi

work=$(mktemp -d)
host_pid=
cli_pid=
mounts=()
passed=0
failed=0
rc=
out=
err=

cleanup() {
  [[ -n $cli_pid ]] && kill -KILL "$cli_pid" 2>/dev/null
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  local m
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
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

viewer() { # gallery first-file [scheme]
  local scheme=${3:-http}
  echo "$scheme://127.0.0.1:$port/img.html?img=$scheme://127.0.0.1:$port/images/img/$1/$2"
}

# A path as the program under test sees it.
native_path() {
  if [[ -n $wine ]]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi
}

# Runs the command line program; sets rc, out, err (both as UTF-8) and
# elapsed (whole seconds, rounded up).
run_cli() {
  local started ended
  started=$(date +%s%N)
  if [[ -n $wine ]]; then
    "$wine" "$cli" "$@" >"$work/out.raw" 2>"$work/err.raw"
    rc=$?
    iconv -f GBK -t UTF-8 "$work/out.raw" | tr -d '\r' >"$work/out"
    iconv -f GBK -t UTF-8 "$work/err.raw" | tr -d '\r' >"$work/err"
  else
    "$cli" "$@" >"$work/out" 2>"$work/err"
    rc=$?
  fi
  ended=$(date +%s%N)
  elapsed=$(((ended - started + 999999999) / 1000000000))
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

skip() { echo "SKIPPED: $1: $2"; }

# shellcheck disable=SC2012 # the names are the program's, ls shows them as they are
listing() { (cd "$1" 2>/dev/null && ls -A | sort | tr '\n' ' '); }
numbered() { # count ext
  local i
  for i in $(seq "$1"); do printf "%d.%s\n" "$i" "$2"; done | sort | tr '\n' ' '
}
count_requests() {
  local n
  n=$(grep -c -- "$1" "$work/requests.log" 2>/dev/null)
  echo "${n:-0}"
}
requests_for() { count_requests " /images/img/$1 "; }

# True when images FIRST..LAST in DIR are byte for byte what the host serves
# (over https when curl is given --cacert).
as_served() { # dir first last [--cacert FILE]
  local dir=$1 first=$2 last=$3 scheme=http i
  shift 3
  [[ ${1:-} == --cacert ]] && scheme=https
  for ((i = first; i <= last; ++i)); do
    cmp -s "$dir/$i.jpg" <(curl -s "$@" "$scheme://127.0.0.1:$port/images/img/20103/$i.jpg") || return 1
  done
}
in_range() { (($1 >= $2 && $1 <= $3)); }
no_part_files() { [[ -z $(find "$1" -name '*.part' 2>/dev/null) ]]; }
exit_is_defined() { [[ $rc == 0 || $rc == 1 || $rc == 2 ]]; }

# Every entry below a directory with its type, and a digest of each file.
snapshot() {
  (cd "$1" && { find . -mindepth 1 -printf '%y %p\n' && find . -type f -exec md5sum {} +; } |
    LC_ALL=C sort)
}

fresh_output() {
  out_dir=$work/out-$1
  rm -rf "$out_dir"
}

# --- faults that stay: every try fails the same way
# JOBS - is the program's default. libcurl sends a request once more, itself,
# when a kept-alive connection turns out dead; looking ahead, every retry goes
# over such a connection. Hence the ranges of requests allowed.
while IFS='|' read -r name jobs options number least most; do
  case_name="$name, jobs $jobs"
  # shellcheck disable=SC2086
  start_host --count 6 $options
  fresh_output stay
  jobs_option=()
  [[ $jobs != - ]] && jobs_option=(-j "$jobs")
  run_cli -q "${jobs_option[@]}" --retries 2 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
  saved=$((number - 1))
  tries=$(requests_for "20103/$number.jpg")
  later=$(requests_for "20103/$((number + 1)).jpg")
  check "exit 1" test "$rc" -eq 1
  check "failure text" test "$out" = "第${number}张下载失败，已保存${saved}张"
  check "1 + 2 retries: $least to $most requests for image $number, got $tries" \
    in_range "$tries" "$least" "$most"
  if [[ $jobs == 1 ]]; then
    check "nothing asked after image $number" test "$later" -eq 0
  fi
  check "only the earlier images, no .part" test "$(listing "$out_dir/20103")" = "$(numbered "$saved" jpg)"
  check "the earlier images are intact" as_served "$out_dir/20103" 1 "$saved"
  check "a reason" test -n "$err"
  stop_host
done <<'EOF_CASES'
a reset on the first image, a fresh connection|1|--reset-number 1|1|3|3
a reset on image 3, the connection kept from image 2|1|--reset-number 3|3|3|4
a reset on image 3|-|--reset-number 3|3|3|6
a body cut off in the middle of image 3|1|--cut-after 3:1000|3|3|3
a body cut off in the middle of image 3|-|--cut-after 3:1000|3|3|3
EOF_CASES

# --- a host that takes the request and never answers
case_name="image 2 never answered"
start_host --count 4 --stall-number 2
fresh_output stall
run_cli -q --timeout 2 --retries 1 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
# 2 tries of 2 s, 1 s between them; the rest is slack for a slow machine.
bound=$((2 * 2 + 1 + 25))
check "exit 1" test "$rc" -eq 1
check "failure text" test "$out" = "第2张下载失败，已保存1张"
check "it did not hang: ${elapsed}s, bound ${bound}s" test "$elapsed" -le "$bound"
check "tried twice" test "$(requests_for 20103/2.jpg)" -eq 2
check "image 1 kept, no .part" test "$(listing "$out_dir/20103")" = "1.jpg "
check "image 1 intact" as_served "$out_dir/20103" 1 1
check "the reason names the host" grep -q "127.0.0.1:$port" "$work/err"
stop_host

# --- a 503 asking to come back later
case_name="503 with Retry-After, once per image"
start_host --count 3 --fail-first 1 --retry-after 2
fresh_output later
run_cli -q -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
check "exit 0" test "$rc" -eq 0
check "final text" test "$out" = "共3图片，已全部下载完成"
check "the 3 images" test "$(listing "$out_dir/20103")" = "$(numbered 3 jpg)"
for i in 1 2 3; do
  check "2 requests for image $i" test "$(requests_for "20103/$i.jpg")" -eq 2
done
check "as served" as_served "$out_dir/20103" 1 3
stop_host

# --- redirects that must not be followed to the end
while IFS='|' read -r name options number; do
  case_name=$name
  # shellcheck disable=SC2086
  start_host --count 3 $options
  fresh_output redirect
  run_cli -q --retries 1 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
  saved=$((number - 1))
  asked=$(requests_for "20103/$number.jpg")
  check "exit 1" test "$rc" -eq 1
  check "failure text" test "$out" = "第${number}张下载失败，已保存${saved}张"
  check "it did not hang: ${elapsed}s" test "$elapsed" -le 60
  # About 10 redirects a try; a few more are tolerated, hundreds are not.
  if [[ -n $wine && $number == 2 ]]; then
    # Known fault, left open: Wine's URLDownloadToFileA goes on following a
    # loop after the binding was aborted, until the process ends.
    skip "$case_name: request bound under Wine" "got $asked requests for 2 tries"
  else
    check "2 tries of at most a dozen requests, got $asked" in_range "$asked" 2 24
  fi
  check "only the earlier images" test "$(listing "$out_dir/20103")" = "$(numbered "$saved" jpg)"
  check "nothing of /etc/passwd saved" test -z "$(grep -rlF 'root:' "$out_dir")"
  check "nothing of /etc/passwd printed" test -z "$(grep -F 'root:' "$work/out" "$work/err")"
  stop_host
done <<'EOF_CASES'
a redirect loop at image 2|--redirect-loop-number 2|2
a redirect to file:///etc/passwd|--redirect-file-number 1|1
EOF_CASES

if [[ -z $wine ]]; then
  # --- a huge answer must go to the disk as it comes, not through memory
  case_name="a 200 MB answer for image 1"
  peak_rss() { sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time"; }
  start_host --count 2
  fresh_output small
  /usr/bin/time -v -o "$work/time" "$cli" -q -o "$out_dir" "$(viewer 20103 1.jpg)" >/dev/null 2>&1
  baseline=$(peak_rss)
  stop_host
  body=200000000
  start_host --count 2 --oversize-number 1:$body
  fresh_output huge
  /usr/bin/time -v -o "$work/time" "$cli" -q -o "$out_dir" "$(viewer 20103 1.jpg)" >"$work/out" 2>"$work/err"
  rc=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  peak=$(peak_rss)
  check "exit 0" test "$rc" -eq 0
  check "final text" test "$out" = "共2图片，已全部下载完成"
  check "all of it saved" test "$(stat -c %s "$out_dir/20103/1.jpg" 2>/dev/null)" = "$body"
  check "as served" as_served "$out_dir/20103" 1 2
  # 32 MB over a two-image run of 2 KB each: far below the 200 MB body.
  check "peak RSS ${peak} KB, a small run ${baseline} KB" test "$peak" -le $((baseline + 32768))
  rm -rf "$out_dir"
  stop_host
fi

# --- a disk that fills up or cannot be written
# Mounts a 64 KiB tmpfs at DIR with extra mount options; false when it cannot.
small_fs() { # dir [options]
  mkdir -p "$1"
  mount -t tmpfs -o "size=64k${2:+,$2}" galleryfetch-test "$1" 2>"$work/mount.err" || return 1
  mounts+=("$1")
}
read_only() { mount -o remount,ro "$1"; }
if ! small_fs "$work/probe"; then
  skip "a full or read-only disk" "cannot mount a tmpfs here: $(cat "$work/mount.err")"
else
  umount "$work/probe"
  start_host --count 5 --size 20000

  # Images of 20000 bytes take 5 pages of 4 KiB each: 3 fit in 16 pages.
  # One by one, image 4 is the one that does not fit. Looking ahead, later
  # images take room while earlier ones still arrive, so any of 1 to 4 may be
  # the one; the run must still end there with everything below it whole.
  for jobs in 1 -; do
    case_name="the disk fills up, jobs $jobs"
    disk=$work/disk-full-$jobs
    small_fs "$disk"
    jobs_option=()
    [[ $jobs != - ]] && jobs_option=(-j "$jobs")
    run_cli -q "${jobs_option[@]}" -o "$(native_path "$disk")" "$(viewer 20103 1.jpg)"
    number=$(sed -n 's/^第\([1-4]\)张下载失败，已保存[0-9]*张$/\1/p' <<<"$out")
    [[ $jobs == 1 ]] && number=4
    saved=$((${number:-1} - 1))
    check "exit 1" test "$rc" -eq 1
    check "failure text" test "$out" = "第${number}张下载失败，已保存${saved}张"
    check "the images before it, no .part" test "$(listing "$disk/20103")" = "$(numbered "$saved" jpg)"
    check "those intact" as_served "$disk/20103" 1 "$saved"
    check "the reason names the path" grep -qF "$(native_path "$disk/20103/$number.jpg")" "$work/err"
    check "the reason tells the disk is full" grep -qiE 'no space|disk full|空间不足' "$work/err"
    if [[ $jobs == 1 ]]; then
      check "a full disk is not retried" test "$(requests_for "20103/$number.jpg")" -eq 1
    fi
  done

  case_name="a read-only disk without the gallery folder"
  disk=$work/disk-ro
  small_fs "$disk" ro
  run_cli -q -o "$(native_path "$disk")" "$(viewer 20103 1.jpg)"
  check "exit 1" test "$rc" -eq 1
  check "folder failure text" test "$out" = "无法创建文件夹"
  check "the reason names the folder" grep -qF "$(native_path "$disk/20103")" "$work/err"
  check "nothing on the disk" test -z "$(listing "$disk")"

  case_name="a read-only disk with an earlier image in the gallery folder"
  disk=$work/disk-ro-earlier
  small_fs "$disk"
  mkdir "$disk/20103"
  echo "an earlier image" >"$disk/20103/1.jpg"
  read_only "$disk"
  before=$(snapshot "$disk")
  requests_before=$(requests_for 20103/1.jpg)
  run_cli -q -o "$(native_path "$disk")" "$(viewer 20103 1.jpg)"
  check "exit 1" test "$rc" -eq 1
  check "failure text" test "$out" = "第1张下载失败，已保存0张"
  check "the reason names the path" grep -qF "$(native_path "$disk/20103/1.jpg")" "$work/err"
  check "nothing touched" test "$(snapshot "$disk")" = "$before"
  check "not retried" test "$(requests_for 20103/1.jpg)" -eq $((requests_before + 1))

  case_name="a read-only disk where the output directory is to be made"
  disk=$work/disk-ro-output
  small_fs "$disk" ro
  run_cli -q -o "$(native_path "$disk/sub")" "$(viewer 20103 1.jpg)"
  check "exit 1" test "$rc" -eq 1
  check "the reason names the directory" grep -qF "$(native_path "$disk/sub")" "$work/err"
  check "nothing on the disk" test -z "$(listing "$disk")"
  stop_host
fi

if [[ -z $wine ]]; then
  # --- killed outright in the middle of an image: what a crash or a power cut leaves
  # Looking ahead, later images may wait as .part files for image 3; none may
  # sit under its image name with less than the whole image.
  only_whole_images() { # dir
    local name
    for name in $(listing "$1"); do
      case $name in
        *.jpg.part) ;;
        *.jpg) as_served "$1" "${name%.jpg}" "${name%.jpg}" || return 1 ;;
        *) return 1 ;;
      esac
    done
  }
  while IFS='|' read -r name options under_way; do
    case_name="SIGKILL $name"
    # shellcheck disable=SC2086
    start_host --count 5 $options
    fresh_output kill
    "$cli" -q -o "$out_dir" "$(viewer 20103 1.jpg)" >"$work/out" 2>"$work/err" &
    cli_pid=$!
    landed=false
    for _ in $(seq 1000); do
      if [[ -e $out_dir/20103/2.jpg ]] && eval "$under_way"; then
        landed=true
        break
      fi
      sleep 0.01
    done
    kill -KILL "$cli_pid"
    wait "$cli_pid" 2>/dev/null
    rc=$?
    cli_pid=
    out=$(cat "$work/out")
    err=$(cat "$work/err")
    left=$(listing "$out_dir/20103")
    check "killed while image 3 was under way" $landed
    check "killed, not ended" test "$rc" -eq 137
    check "images 1 and 2 saved: $left" test -e "$out_dir/20103/1.jpg" -a -e "$out_dir/20103/2.jpg"
    check "no image name holds part of an image: $left" only_whole_images "$out_dir/20103"
    stop_host

    case_name="the run after SIGKILL $name"
    start_host --count 5
    run_cli -q -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg)"
    check "exit 0" test "$rc" -eq 0
    check "final text" test "$out" = "共5图片，已全部下载完成"
    check "the 5 images, no .part" test "$(listing "$out_dir/20103")" = "$(numbered 5 jpg)"
    check "as served" as_served "$out_dir/20103" 1 5
    rm -rf "$out_dir"
    stop_host
  done <<'EOF_CASES'
while image 3's body arrives|--oversize-number 3:4000000000|[[ -s $out_dir/20103/3.jpg.part ]]
while image 3's answer is awaited|--stall-number 3|grep -q '/3.jpg stall' "$work/requests.log"
EOF_CASES
fi

# --- addresses made to write outside the output directory
# The host answers every path with an image, as a hostile one would, so that
# whatever address the program accepts it also writes; 2 numbers are enough.
# The output directory lies a few levels down, so that a path that climbs out
# of it lands in the snapshot.
start_host --count 3 --missing-status 200 --missing-body 'any path is an image here'
hostile_root=$work/h
hostile_out=$hostile_root/a/b/out
hostile_cwd=$hostile_root/a/b/cwd
mkdir -p "$hostile_cwd"
H=127.0.0.1:$port
long=$(printf 'a%.0s' $(seq 10000))
zeros=$(printf '0%.0s' $(seq 10000))

# hostile NAME EXPECT ADDRESS
#   EXPECT refused:  exit 2, nothing created at all
#          FOLDER:   a normal run (exit 0) saving 1 and 2 in OUT/FOLDER and
#                    nothing else
#          contained: any of exit 0, 1, 2; whatever was made is one folder in
#                     OUT with the images directly in it
hostile() {
  local name=$1 expect=$2 address=$3 before after new outside
  case_name="hostile address: $name"
  rm -rf "$hostile_out"
  before=$(snapshot "$hostile_root")
  cd "$hostile_cwd" || return
  run_cli -q --retries 0 --max 2 -o "$(native_path "$hostile_out")" "$address"
  cd - >/dev/null || return
  after=$(snapshot "$hostile_root")
  new=$(LC_ALL=C comm -13 <(echo "$before") <(echo "$after"))
  outside=$(grep -vE '^(d|f) \./a/b/out(/|$)|^\\?[0-9a-f]{32}  \./a/b/out/' <<<"$new")
  check "no crash (exit 0, 1 or 2)" exit_is_defined
  check "nothing outside the output directory: $outside" test -z "$outside"
  check "nothing removed or changed" test -z "$(LC_ALL=C comm -23 <(echo "$before") <(echo "$after"))"
  case $expect in
    refused)
      check "exit 2" test "$rc" -eq 2
      check "a reason" test -n "$err"
      check "nothing created" test ! -e "$hostile_out"
      ;;
    contained)
      check "one folder, images directly in it: $(cd "$hostile_out" 2>/dev/null && find . -mindepth 1 | tr '\n' ' ')" \
        gallery_shaped "$hostile_out"
      ;;
    *)
      check "exit 0" test "$rc" -eq 0
      check "the folder $expect inside, nothing else" test "$(listing "$hostile_out")" = "$expect "
      check "images 1 and 2 in it" test "$(listing "$hostile_out/$expect")" = "$(numbered 2 jpg)"
      ;;
  esac
}

# The output directory holds at most one folder, and that folder only files.
gallery_shaped() {
  [[ ! -e $1 ]] && return 0
  [[ -z $(find "$1" -mindepth 1 -maxdepth 1 ! -type d) ]] &&
    (($(find "$1" -mindepth 1 -maxdepth 1 -type d | wc -l) <= 1)) &&
    [[ -z $(find "$1" -mindepth 2 ! -type f) ]] &&
    [[ -z $(find "$1" -mindepth 3) ]]
}

plain() { echo "http://$H/img.html?img=http://$H/images/img/$1"; }
encoded() { echo "http://$H/img.html?img=http%3A%2F%2F$H%2Fimages%2Fimg%2F$1"; }

hostile "the parent folder" refused "$(plain ../1.jpg)"
hostile "two levels up" refused "$(plain ../../1.jpg)"
hostile "the folder itself" refused "$(plain ./1.jpg)"
hostile "three dots" refused "$(plain .../1.jpg)"
hostile "%2e%2e stays a name" %2e%2e "$(plain %2e%2e/1.jpg)"
hostile "%2e%2e%2f%2e%2e stays a name" %2e%2e%2f%2e%2e "$(plain %2e%2e%2f%2e%2e/1.jpg)"
hostile "an encoded address decoding to .." refused "$(encoded ..%2F1.jpg)"
hostile "an encoded address decoding to %2e%2e" %2e%2e "$(encoded %252e%252e%2F1.jpg)"
hostile "an encoded address decoding to ..\\.." refused "$(encoded ..%5C..%2F1.jpg)"
hostile "backslashes" refused "$(plain '..\..\1.jpg')"
hostile "a backslash inside" refused "$(plain 'a\b/1.jpg')"
hostile "a backslash in the extension" refused "$(plain '20103/1.j\pg')"
hostile "a drive letter" refused "$(plain C:/1.jpg)"
hostile "a drive and a path" refused "$(plain 'C:\Windows/1.jpg')"
hostile "a stream name" refused "$(plain 20103:x/1.jpg)"
hostile "a stream name in the extension" refused "$(plain 20103/1.jpg:x)"
hostile "CON" refused "$(plain CON/1.jpg)"
hostile "con" refused "$(plain con/1.jpg)"
hostile "nul.txt" refused "$(plain nul.txt/1.jpg)"
hostile "COM1" refused "$(plain COM1/1.jpg)"
hostile "lpt9.jpg" refused "$(plain lpt9.jpg/1.jpg)"
hostile "AUX with a space before the dot" refused "$(plain 'AUX .x/1.jpg')"
hostile "PRN" refused "$(plain PRN/1.jpg)"
hostile "a trailing dot" refused "$(plain abc./1.jpg)"
hostile "a trailing space" refused "$(plain 'abc /1.jpg')"
hostile "trailing dots and spaces" refused "$(plain 'abc. . /1.jpg')"
hostile "an encoded trailing space" refused "$(encoded abc%20%2F1.jpg)"
hostile "a dot and a dot for the extension" refused "$(plain 20103/1..)"
hostile "the parent as the file name" refused "$(plain 20103/1.jpg/..)"
hostile "a tab" refused "$(plain $'a\tb/1.jpg')"
hostile "a newline" refused "$(plain $'a\nb/1.jpg')"
hostile "byte 01" refused "$(plain $'a\x01b/1.jpg')"
hostile "escape" refused "$(plain $'a\x1b[2Jb/1.jpg')"
hostile "DEL" refused "$(plain $'a\x7fb/1.jpg')"
hostile "an encoded byte 01" refused "$(encoded a%01b%2F1.jpg)"
hostile "an encoded zero byte stays a name" a%00b "$(encoded a%00b%2F1.jpg)"
hostile "a 10 KB gallery number" refused "$(plain "$long/1.jpg")"
hostile "a 10 KB extension" refused "$(plain "20103/1.$long")"
hostile "a 10 KB zero-padded number" refused "$(plain "20103/${zeros}1.jpg")"
hostile "10 KB around a good address" 20103 "http://$H/img.html?pad=$long&img=http://$H/images/img/20103/1.jpg"
hostile "the 36-byte landmark form, .." refused \
  "https://gallery.example/img.html?img=https://127.0.0.1:1/abcd/images/img/../1.jpg"
hostile "the 36-byte landmark form, CON" refused \
  "https://gallery.example/img.html?img=https://127.0.0.1:1/abcd/images/img/CON/1.jpg"
# In code page 936 a lead byte takes the next byte with it, here the separator
# that the folder and the file name are joined with.
hostile "an encoded name ending in a double-byte lead byte" contained "$(encoded ..%81%2F1.jpg)"
hostile "an encoded name ending in a lone lead byte" contained "$(encoded abc%81%2F1.jpg)"
if [[ -z $wine ]]; then
  # The Windows build gets its arguments in the code page, where these bytes
  # cannot arrive.
  hostile "invalid UTF-8" contained "$(plain $'\xff\xfe/1.jpg')"
  hostile "an overlong UTF-8 .." contained "$(plain $'\xc0\xae\xc0\xae/1.jpg')"
  hostile "an overlong UTF-8 /" contained "$(plain $'a\xc0\xafb/1.jpg')"
fi
check "the working directory stays empty" test -z "$(listing "$hostile_cwd")"
stop_host

# --- a relative path names a file in the working directory, wherever the
# program itself lies
case_name="--captions relative to the working directory"
start_host --count 2
rel=$work/relative
mkdir -p "$rel"
cd "$rel" || exit
captions=galleryfetch-faults-test-captions.txt
run_cli -q --captions "$captions" -o out "$(viewer 20103 1.jpg)"
cd - >/dev/null || exit
# Where it lands when the program resolves it after moving to its own directory.
stray=$(dirname "$cli")/$captions
check "nothing written beside the program" test ! -e "$stray"
rm -f "$stray"
check "exit 0" test "$rc" -eq 0
check "the images in out there" test "$(listing "$rel/out/20103")" = "$(numbered 2 jpg)"
if [[ -n $wine ]]; then
  last_caption=$(iconv -f GBK -t UTF-8 "$rel/$captions" 2>/dev/null | tr -d '\r' | tail -n 1)
else
  last_caption=$(tail -n 1 "$rel/$captions" 2>/dev/null)
fi
check "the captions written there, the final text last" test "$last_caption" = "共2图片，已全部下载完成"
stop_host

# --- HTTPS with the host's own self-signed certificate
case_name="HTTPS, the certificate not trusted"
start_host --count 3 --https --cert-out "$work/cert.pem"
fresh_output tls
run_cli -q --retries 0 -o "$(native_path "$out_dir")" "$(viewer 20103 1.jpg https)"
check "exit 1" test "$rc" -eq 1
check "failure text" test "$out" = "第1张下载失败，已保存0张"
check "the reason says the certificate is not trusted" grep -qi "not trusted" "$work/err"
check "no file" test -z "$(listing "$out_dir/20103")"

if [[ -z $wine ]]; then
  while IFS='|' read -r name from cert; do
    case_name="HTTPS, $name"
    fresh_output tls
    cd "$from" || exit
    run_cli -q --retries 0 --cacert "$cert" -o "$out_dir" "$(viewer 20103 1.jpg https)"
    cd - >/dev/null || exit
    check "exit 0" test "$rc" -eq 0
    check "final text" test "$out" = "共3图片，已全部下载完成"
    check "the 3 images" test "$(listing "$out_dir/20103")" = "$(numbered 3 jpg)"
    check "as served" as_served "$out_dir/20103" 1 3 --cacert "$work/cert.pem"
  done <<EOF_CASES
the certificate given with --cacert|/|$work/cert.pem
--cacert relative to the working directory|$work|cert.pem
EOF_CASES
else
  case_name="HTTPS, --cacert on Windows"
  fresh_output tls
  run_cli -q --retries 0 --cacert "$(native_path "$work/cert.pem")" -o "$(native_path "$out_dir")" \
    "$(viewer 20103 1.jpg https)"
  check "exit 1" test "$rc" -eq 1
  check "failure text" test "$out" = "第1张下载失败，已保存0张"
  check "the reason says it is not supported" grep -q "not supported" "$work/err"
  check "no file" test -z "$(listing "$out_dir/20103")"
fi
stop_host

echo "$passed passed, $failed failed"
((failed == 0))
