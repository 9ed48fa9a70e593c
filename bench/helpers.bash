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

# A command (and its arguments) that the measured runs go under, such as a
# tracer; none when empty.
run_under=()

# curl_and_check NAME FILE EXPECT [BASE]: curl -T of FILE to a fresh part URL
# under bench/measure (figures appended to $work/m-NAME), then the merge,
# then the sink's record against EXPECT. BASE ("http://127.0.0.1:PORT"), when
# given, takes the place of the URL's scheme, host and port.
curl_and_check() {
  local name=$1 file=$2 expect=$3 base=${4:-} signed task url
  signed=$(signed_part "$(stat -c %s "$file")")
  task=${signed%% *}
  url=${signed#* }
  if [ -n "$base" ]; then
    url=${url#*://}
    url=$base/${url#*/}
  fi
  "$bin/measure" "$work/m-$name" "$limit" "${run_under[@]}" curl -sS --fail -o /dev/null -T "$file" "$url" ||
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

# The uploader that upload_and_check runs (its logs go beside it); the
# scripts copy the build's into $work/bin.
uploader=""

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
  local program=${uploader:-$work/bin/corvane-upload}
  command=("${run_under[@]}" "$program")
  [ "${UPLOADER:-own}" = other ] && command=("${other_command[@]}")
  "$bin/measure" "$work/m-$name" "$limit" "${command[@]}" -cfg "$(uploader_path "$config")" \
    >"$work/$name.stdout" 2>"$work/$name.stderr" || fail "corvane-upload ($name) exited non-zero"
  grep -q '"code":"success"' "$result" || fail "upload ($name) failed: $(cat "$result")"
  if [ $((partsize * 1048576)) -ge "$(stat -c %s "$file")" ]; then
    sink_direct | cmp -s - "$expect" || fail "the sink did not get the file's bytes ($name)"
  else
    sink_parts | cmp -s - "$expect" || fail "the sink did not get the file's bytes ($name)"
  fi
  rm -rf "$(dirname "$program")/logs"
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

# ---- HTTPS: a throwaway certificate authority and a TLS front ----
#
# The stand-in speaks plain HTTP. For HTTPS runs nginx terminates TLS in
# front of its sink and passes each request on over a kept-alive HTTP/1.1
# upstream connection without buffering the body, so the sink does exactly
# the work it does over plain HTTP and all the decryption is the front's.
# The front's certificate comes from a certificate authority made for the
# run, which the system's store trusts only while the run lasts: the
# uploader and curl verify it as they would any server's.

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# ensure_packages PACKAGE...: installs those that are missing. Where the
# system has no rule of its own about starting services on installation,
# one that forbids it holds for the installation, so that no server of a
# package (nginx's own, on every address) starts meanwhile.
ensure_packages() {
  local missing=() p guard=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    guard=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | as_root tee "$guard" >/dev/null
    as_root chmod 755 "$guard"
  fi
  local status=0
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null &&
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      "${missing[@]}" >/dev/null || status=$?
  [ -n "$guard" ] && as_root rm -f "$guard"
  [ "$status" -eq 0 ] || fail "could not install ${missing[*]}"
}

# make_tls_ca: a certificate authority and a server certificate for
# 127.0.0.1 (and localhost) signed by it, in $work/tls; RSA 2048, as most
# public servers still use.
make_tls_ca() {
  local dir=$work/tls
  mkdir -p "$dir"
  {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$dir/ca.key" -out "$dir/ca.crt" \
      -subj "/CN=corvane-upload benchmark CA $(date +%s)-$$" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" &&
      openssl req -newkey rsa:2048 -nodes -keyout "$dir/server.key" -out "$dir/server.csr" \
        -subj "/CN=127.0.0.1" &&
      printf '%s\n' "subjectAltName=IP:127.0.0.1,DNS:localhost" "basicConstraints=CA:FALSE" \
        "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" \
        >"$dir/server.ext" &&
      openssl x509 -req -days 2 -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
        -CAcreateserial -extfile "$dir/server.ext" -out "$dir/server.crt"
  } >"$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log"; fail "could not make the certificates"; }
}

# trust_ca / untrust_ca: the run's certificate authority in the system's
# store (/usr/local/share/ca-certificates, update-ca-certificates) and out of
# it again; untrust_ca belongs in the script's exit trap.
trusted_ca=""
trust_ca() {
  trusted_ca=/usr/local/share/ca-certificates/corvane-bench-$$.crt
  as_root install -m 644 "$work/tls/ca.crt" "$trusted_ca"
  as_root update-ca-certificates >"$work/tls/update.log" 2>&1 ||
    { cat "$work/tls/update.log"; fail "update-ca-certificates failed"; }
  openssl verify -CAfile "$ca_bundle" "$work/tls/server.crt" >/dev/null 2>&1 ||
    fail "the system's CA bundle $ca_bundle does not vouch for the run's certificate"
}
untrust_ca() {
  [ -n "$trusted_ca" ] || return 0
  local pem link
  pem=$(basename "$trusted_ca" .crt).pem
  as_root rm -f "$trusted_ca"
  # update-ca-certificates leaves the links of a removed local certificate
  # in the CA directory (its name and its hashed name) when nothing else
  # changed: they go here.
  for link in /etc/ssl/certs/*; do
    [ -L "$link" ] || continue
    case $(readlink "$link") in
      "$trusted_ca" | "$pem" | "/etc/ssl/certs/$pem") as_root rm -f "$link" ;;
    esac
  done
  as_root update-ca-certificates >/dev/null 2>&1 || echo "bench: update-ca-certificates failed" >&2
  trusted_ca=""
}
# The CA bundle libcurl reads by default (Debian's, built from the store).
ca_bundle=/etc/ssl/certs/ca-certificates.crt

# start_tls_front NAME PORT UPSTREAM_PORT: nginx with one worker on
# 127.0.0.1:PORT (TLS 1.3 only) in front of 127.0.0.1:UPSTREAM_PORT, and its
# status page on another port; false when it did not start (PORT taken).
# Sets front_pid (the master), front_worker (its one worker) and
# front_status (the status page's URL).
start_tls_front() {
  local name=$1 port=$2 upstream=$3 dir=$work/$1 status_port
  status_port=$((30000 + RANDOM % 2000))
  mkdir -p "$dir/tmp"
  cat >"$dir/nginx.conf" <<NGINX
$([ "$(id -u)" -eq 0 ] && echo "user root;")
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  log_format connections '\$connection \$connection_requests \$request_method \$status \$request_length';
  upstream sink {
    server 127.0.0.1:$upstream;
    keepalive 32;
  }
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/tls/server.crt;
    ssl_certificate_key $work/tls/server.key;
    ssl_protocols TLSv1.3;
    ssl_session_cache shared:front:1m;
    keepalive_requests 100000;
    keepalive_timeout 60s;
    access_log $dir/access.log connections;
    client_max_body_size 0;
    client_body_buffer_size 1m;
    client_body_timeout 120s;
    proxy_request_buffering off;
    proxy_buffering off;
    proxy_http_version 1.1;
    proxy_set_header Connection "";
    proxy_set_header Expect "";
    proxy_set_header Host \$http_host;
    proxy_send_timeout 120s;
    proxy_read_timeout 120s;
    location / { proxy_pass http://sink; }
  }
  server {
    listen 127.0.0.1:$status_port;
    location / { stub_status; }
  }
}
NGINX
  nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" >"$dir/nginx.out" 2>&1 &
  front_pid=$!
  front_status=http://127.0.0.1:$status_port/
  for _ in $(seq 100); do
    if curl -s --max-time 5 -o /dev/null "$front_status"; then
      front_worker=$(pgrep -P "$front_pid" | head -1)
      [ -n "$front_worker" ] && return 0
    fi
    kill -0 "$front_pid" 2>/dev/null || break
    sleep 0.05
  done
  stop_pid "$front_pid"
  front_pid=""
  return 1
}

# "CONNECTIONS REQUESTS" the front accepted between two calls: the first
# call (no argument) prints its counts so far, the second (given what the
# first printed) the difference, less the first query's own connection and
# request (each query counts itself).
front_counts() {
  curl -sS --max-time 30 "$front_status" |
    awk -v since="${1:-}" 'NR == 3 {
      if (since == "") { print $1, $3; exit }
      split(since, s, " "); print $1 - s[1] - 1, $3 - s[2] - 1 }'
}

# user+system CPU seconds a running process (all its threads) has used
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{sub(/.*\) /, ""); printf "%.3f\n", ($12 + $13) / hz}' "/proc/$1/stat"
}
