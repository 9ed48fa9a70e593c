# shellcheck shell=bash disable=SC2034,SC2154  # variables shared with the sourcing script
# Shell helpers shared by bench/run and bench/wan; sourced, not run. The
# sourcing script sets `work` (its scratch directory) and `bin` (the built
# programs) before calling them, and `root` (the stand-in's own address) and
# `token` (a storage token) once a stand-in runs.

key=bench-key
secret=bench-secret
project=4242
limit=120  # seconds any one measured run may take
multi=/mdox/v1/data/projects/$project/file-items/multi-part-files

fail() { echo "bench/$(basename "$0"): $*" >&2; exit 1; }

# A scratch directory in a tmpfs when there is one with room for MIB
# mebibytes, so that reading the files costs no disk time; prints its path.
make_work_dir() {
  local need=$1 base=/tmp
  if [ -d /dev/shm ] && [ -w /dev/shm ] &&
    [ "$(df -Pk /dev/shm | awk 'NR == 2 {print $4}')" -gt $((need * 1024)) ]; then
    base=/dev/shm
  fi
  mktemp -d "$base/corvane-bench.XXXXXX"
}

# build DIR TARGET...: installs what is missing and builds the targets in
# Release; shows the log and fails when the build does.
build_release() {
  local dir=$1
  shift
  echo "== building in $dir (Release)"
  # curl and xxhash (the yardstick and the sums) come with the test set.
  scripts/install-deps --test >/dev/null
  {
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=ON &&
      cmake --build "$dir" -j2 --target "$@"
  } >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the build failed"; }
}

describe_machine() {
  echo "== machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
    "$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory; work dir $work"
  echo "== load before: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# waits (bounded) for "listening on 127.0.0.1:PORT" in FILE and prints PORT
port_of() {
  local file=$1 port=""
  for _ in $(seq 200); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$file" 2>/dev/null)
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.05
  done
  return 1
}

# expected "part bytes xxh128" lines for FILE cut into parts of MIB mebibytes
part_sums() {
  local file=$1 mib=$2 size count
  size=$(stat -c %s "$file")
  count=$(((size + mib * 1048576 - 1) / (mib * 1048576)))
  for ((i = 0; i < count; i++)); do
    local bytes=$((mib * 1048576))
    [ $(((i + 1) * bytes)) -gt "$size" ] && bytes=$((size - i * bytes))
    echo "$((i + 1)) $bytes $(dd if="$file" bs=1M skip=$((i * mib)) count="$mib" status=none |
      xxh128sum 2>/dev/null | cut -d' ' -f1)"
  done
}

# the "1 bytes xxh128" line of FILE sent whole
whole_sum() { echo "1 $(stat -c %s "$1") $(xxh128sum "$1" 2>/dev/null | cut -d' ' -f1)"; }

# start_store NAME [ARGS...]: starts the stand-in in sink mode with its logs
# in $work/NAME.*, waits for it and sets store_pid, root and token.
start_store() {
  local name=$1 port
  shift
  mkdir -p "$work/$name-data"
  "$bin/corvane-localstore" --sink --data "$work/$name-data" --appkey "$key" --appsecret "$secret" \
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
  store_pid=$!
  port=$(port_of "$work/$name.out") || { cat "$work/$name.err"; fail "the stand-in did not start"; }
  root=http://127.0.0.1:$port
  token=$(curl -sS --max-time 30 -X POST -u "$key:$secret" "$root/oauth2/token" |
    sed -n 's/.*"token":"\([^"]*\)".*/\1/p')
  [ -n "$token" ] || fail "no storage token from the stand-in"
}

stop_pid() {  # stop_pid PID: ends a process this script started, if it still runs
  [ -n "$1" ] && kill "$1" 2>/dev/null && wait "$1" 2>/dev/null
  return 0
}

api() {  # api PATH JSON: an authorised document-store POST; prints the body
  curl -sS --max-time 30 -X POST -H "Authorization: Bearer $token" \
    -H "Content-Type: application/json" --data "$2" "$root$1"
}

# what the sink took in since it was last cleared, as "part bytes xxh128"
# lines (parts) or the checksum of the one direct upload
sink_parts() {
  curl -sS --max-time 30 "$root/_control/sink" |
    sed -n 's/^{"task":"[^"]*","part":\([0-9]*\),"bytes":\([0-9]*\),"xxh128":"\([0-9a-f]*\)"}.*/\1 \2 \3/p'
}
sink_direct() {
  curl -sS --max-time 30 "$root/_control/sink" |
    sed -n 's/^{"id":.*"kind":"direct-upload","length":\([0-9]*\),"xxh128":"\([0-9a-f]*\)"}.*/1 \1 \2/p'
}
clear_sink() { curl -sS --max-time 30 -X DELETE "$root/_control/sink" >/dev/null; }

# signed_part LENGTH: a fresh task for LENGTH bytes and the signed URL of its
# part 1; prints "TASK URL"
signed_part() {
  local task url
  task=$(api "$multi" "{\"name\":\"curl.bin\",\"parentId\":\"$project\",\"parentPath\":\"/test/\",\"length\":$1}" |
    sed -n 's/.*"id":"\([^"]*\)".*/\1/p')
  url=$(api "$multi/signed-url" "{\"id\":\"$task\",\"partNum\":1}" | sed -n 's/.*"data":"\([^"]*\)".*/\1/p')
  [ -n "$url" ] || fail "no part URL for a curl run"
  echo "$task $url"
}

# curl_and_check NAME FILE EXPECT: curl -T of FILE to a fresh part URL under
# bench/measure (figures appended to $work/m-NAME), then the merge, then the
# sink's record against EXPECT
curl_and_check() {
  local name=$1 file=$2 expect=$3 signed task url
  signed=$(signed_part "$(stat -c %s "$file")")
  task=${signed%% *}
  url=${signed#* }
  "$bin/measure" "$work/m-$name" "$limit" curl -sS --fail -o /dev/null -T "$file" "$url" ||
    fail "curl ($name) into the stand-in's sink failed"
  api "$multi/merge" "{\"id\":\"$task\",\"parentId\":\"$project\"}" | grep -q '"status":"success"' ||
    fail "merge after the curl run ($name) failed"
  sink_parts | cmp -s - "$expect" || fail "the sink did not get the file's bytes from curl ($name)"
}

# upload_command PROGRAM posix|windows [LAUNCHER...]: the second uploader,
# which upload_and_check runs when UPLOADER=other: PROGRAM started through
# the launcher's words, given Windows paths (Wine's Z: drive) when windows.
other_command=()
other_paths=posix
upload_command() {
  other_command=("${@:3}" "$1")
  other_paths=$2
}

# A path as the uploader about to run sees it.
uploader_path() {
  if [ "${UPLOADER:-own}" = other ] && [ "$other_paths" = windows ]; then
    echo "Z:${1//\//\\}"
  else
    echo "$1"
  fi
}
# The same, escaped for a JSON string.
json_path() {
  local path
  path=$(uploader_path "$1")
  echo "${path//\\/\\\\}"
}

# upload_and_check NAME ROOTURL FILE PARTSIZE EXPECT [JSON_MEMBERS]: one
# uploader run under bench/measure (figures appended to $work/m-NAME), then
# the result file and the sink's record against EXPECT (a direct upload when
# the file fits in one part). JSON_MEMBERS (",\"key\":value...") are added
# to the configuration. This tree's uploader runs, or with UPLOADER=other the
# one upload_command named.
upload_and_check() {
  local name=$1 rooturl=$2 file=$3 partsize=$4 expect=$5 extra=${6:-}
  local config="$work/$name.json" result="$work/$name.result" command
  rm -f "$result"
  cat >"$config" <<JSON
{"rooturl":"$rooturl","appkey":"$key","appsecret":"$secret","projectid":"$project",
 "targetname":"bench-$name.bin","localfile":"$(json_path "$file")","output":"$(json_path "$result")",
 "partsize":$partsize$extra}
JSON
  command=("$work/bin/corvane-upload")
  [ "${UPLOADER:-own}" = other ] && command=("${other_command[@]}")
  "$bin/measure" "$work/m-$name" "$limit" "${command[@]}" -cfg "$(uploader_path "$config")" \
    >"$work/$name.stdout" 2>"$work/$name.stderr" || fail "corvane-upload ($name) exited non-zero"
  grep -q '"code":"success"' "$result" || fail "upload ($name) failed: $(cat "$result")"
  if [ $((partsize * 1048576)) -ge "$(stat -c %s "$file")" ]; then
    sink_direct | cmp -s - "$expect" || fail "the sink did not get the file's bytes ($name)"
  else
    sink_parts | cmp -s - "$expect" || fail "the sink did not get the file's bytes ($name)"
  fi
  rm -rf "$work/bin/logs"
}

# CPU time of the whole machine as "total steal" jiffies: the share the
# hypervisor took for other guests is reported with the figures.
cpu_jiffies() { awk '/^cpu / {print $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9, $9}' /proc/stat; }
steal_share() {  # steal_share "TOTAL0 STEAL0" "TOTAL1 STEAL1"
  awk -v a="$1" -v b="$2" 'BEGIN {split(a, x, " "); split(b, y, " "); t = y[1] - x[1]
    printf "%.1f%%", t ? 100 * (y[2] - x[2]) / t : 0}'
}

# An awk function, median(list) of a blank-separated list of numbers, to put
# in front of an awk program.
awk_median='
  function median(list,   n, i, j, t, a) {
    n = split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }'
