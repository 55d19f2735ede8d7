#!/usr/bin/env bash
# The connections benchmark: the program's listeners against nginx on the same machine.
#
# Builds a release of the program, starts it headless in private folders on free ports (logging
# off) and nginx on other free ports with the same fixed replies, then runs the same wrk load
# against both, alternating program and nginx, a new connection per request:
#   GET /api/v1/version over HTTP, the OPTIONS pre-flight over HTTP, GET /api/v1/version over
#   HTTPS (a full RSA-2048 handshake per request; no tickets, no session cache on either side).
# Prints the medians and the ratios program/nginx. Then, within the idle window, holds 1000
# plain connections with an unfinished request line and 1000 TLS connections that sent nothing,
# and prints a trusted request's latency and the program's private memory (RssAnon).
#
# Environment: BENCH_DURATION (seconds per wrk run, 5), BENCH_ROUNDS (runs per server and
# load, 5), BENCH_BUILD_DIR (build/bench), BENCH_IDLE_PLAIN / BENCH_IDLE_TLS (1000 each).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
here="$root/tools/bench"
duration=${BENCH_DURATION:-5}
rounds=${BENCH_ROUNDS:-5}
build=${BENCH_BUILD_DIR:-$root/build/bench}
idle_plain=${BENCH_IDLE_PLAIN:-1000}
idle_tls=${BENCH_IDLE_TLS:-1000}
wrk_load=(-t4 -c16 "-d${duration}s")

log() { echo "connections: $*" >&2; }
die() {
  log "$*"
  exit 1
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_tools() {
  local missing=() p
  for p in nginx wrk curl openssl python3; do
    command -v "$p" >/dev/null 2>&1 || [ -x "/usr/sbin/$p" ] || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  log "installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}

install_tools
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

log "building a release in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRAVIK_TEST_HOOKS=OFF \
  -DDRAVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j4 >/dev/null
program="$build/shell/DravikPluginHost"
[ -x "$program" ] || die "the build made no $program"
server_name=$(sed -n 's/^DRAVIK_SERVER_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
server_name=${server_name:-dravik.localhost}
origin="http://$server_name"

# ----- Everything below runs in a private folder and is stopped on exit -----

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-bench.XXXXXX")
chmod 0755 "$work" # nginx's workers run as another user when started by root
program_pid=""
nginx_pid=""
helper_pid=""

stop_process() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_process "$helper_pid"
  stop_process "$program_pid"
  stop_process "$nginx_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

read -r http_port https_port nginx_http_port nginx_https_port < <(python3 - <<'EOF'
import socket
probes, ports = [], []
while len(ports) < 4:
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    probes.append(probe)
    port = probe.getsockname()[1]
    if port not in ports:
        ports.append(port)
print(*ports)
EOF
)

# The program, headless, in private folders; no [Log] section, so logging is off.
mkdir -p "$work/home" "$work/data" "$work/tmp" "$work/run" "$work/config/Dravik/DravikPluginZRT"
chmod 0700 "$work/run"
printf '[Server_HTTP]\nPort=%s\n[Server_HTTPS]\nPort=%s\n' "$http_port" "$https_port" \
  >"$work/config/Dravik/DravikPluginZRT/DravikPluginHost.ini"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u DRAVIK_UI_ANSWERS \
  HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
  XDG_RUNTIME_DIR="$work/run" TMPDIR="$work/tmp" DRAVIK_HEADLESS=1 \
  "$program" </dev/null >"$work/program.out" 2>&1 &
program_pid=$!

# A GET that must answer 200; prints the status line, the headers and the body.
fetch() { # method url
  curl -sS -k -i --max-time 10 -X "$1" -H "Origin: $origin" -H "Connection: close" "$2"
}

wait_serving() { # url name pid
  for _ in $(seq 300); do
    kill -0 "$3" 2>/dev/null || {
      cat "$work/program.out" >&2 || true
      die "$2 ended at start"
    }
    if [ "$(curl -sk -o /dev/null -w '%{http_code}' --max-time 2 -H "Origin: $origin" "$1")" = 200 ]
    then
      return 0
    fi
    sleep 0.1
  done
  die "$2 did not answer $1 with 200 within 30 s"
}

wait_serving "http://127.0.0.1:$http_port/api/v1/version" program "$program_pid"
wait_serving "https://127.0.0.1:$https_port/api/v1/version" program "$program_pid"

# The replies nginx must give: the program's own status, body and headers.
reply_body() { fetch "$@" | sed '1,/^\r\?$/d'; }
reply_header() { # method url name
  fetch "$1" "$2" | sed '/^\r\?$/q' | tr -d '\r' | sed -n "s/^$3: //Ip" | head -n 1
}
reply_status() { fetch "$@" | head -n 1 | tr -d '\r' | awk '{print $2}'; }
version_url="http://127.0.0.1:$http_port/api/v1/version"
options_url="http://127.0.0.1:$http_port/api/v1/version"
[ "$(reply_status GET "$version_url")" = 200 ] || die "GET /api/v1/version did not answer 200"
[ "$(reply_status OPTIONS "$options_url")" = 200 ] || die "OPTIONS did not answer 200"
version_body=$(reply_body GET "$version_url")
options_body=$(reply_body OPTIONS "$options_url")
version_type=$(reply_header GET "$version_url" Content-Type)
options_type=$(reply_header OPTIONS "$options_url" Content-Type)
allow_origin=$(reply_header OPTIONS "$options_url" Access-Control-Allow-Origin)
allow_headers=$(reply_header OPTIONS "$options_url" Access-Control-Allow-Headers)

# nginx's quoted strings take \\ and \' as escapes and expand $name, so the body must hold no $.
nginx_text() {
  case "$1" in *'$'*) die "a reply body holds '\$', which nginx would expand" ;; esac
  printf "'%s'" "$(printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e "s/'/\\\\'/g")"
}
nginx_header() { # name value
  [ -n "$2" ] && printf '      add_header %s %s always;\n' "$1" "$(nginx_text "$2")"
  return 0
}

mkdir -p "$work/nginx/logs"
# The same shape of TLS material as the program's: an RSA-2048 server key and certificate
# issued by an EC P-256 CA, sent with the CA, so that both servers cost the client alike.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj "/CN=bench CA" -addext "basicConstraints=critical,CA:TRUE" \
  -keyout "$work/nginx/ca.key" -out "$work/nginx/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=$server_name" -keyout "$work/nginx/key.pem" \
  -out "$work/nginx/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:%s\n' "$server_name" >"$work/nginx/server.ext"
openssl x509 -req -in "$work/nginx/server.csr" -CA "$work/nginx/ca.pem" \
  -CAkey "$work/nginx/ca.key" -CAcreateserial -days 2 -extfile "$work/nginx/server.ext" \
  -out "$work/nginx/server.pem" 2>/dev/null
cat "$work/nginx/server.pem" "$work/nginx/ca.pem" >"$work/nginx/cert.pem"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  server {
    listen 127.0.0.1:$nginx_http_port;
    listen 127.0.0.1:$nginx_https_port ssl;
    server_name $server_name;
    ssl_certificate $work/nginx/cert.pem;
    ssl_certificate_key $work/nginx/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_tickets off;
    ssl_session_cache off;
    location = /api/v1/version {
      if (\$request_method = OPTIONS) { rewrite ^ /options-reply last; }
$(nginx_header Access-Control-Allow-Origin "$allow_origin")
$(nginx_header Access-Control-Allow-Headers "$allow_headers")
      default_type $(nginx_text "${version_type:-text/plain}");
      return 200 $(nginx_text "$version_body");
    }
    location = /options-reply {
      internal;
$(nginx_header Access-Control-Allow-Origin "$allow_origin")
$(nginx_header Access-Control-Allow-Headers "$allow_headers")
      default_type $(nginx_text "${options_type:-text/plain}");
      return 200 $(nginx_text "$options_body");
    }
  }
}
EOF
"$nginx_bin" -p "$work/nginx" -e "$work/nginx/logs/error.log" -c "$work/nginx/nginx.conf" \
  -g 'daemon off;' &
nginx_pid=$!
wait_serving "http://127.0.0.1:$nginx_http_port/api/v1/version" nginx "$nginx_pid"
wait_serving "https://127.0.0.1:$nginx_https_port/api/v1/version" nginx "$nginx_pid"
body_size() { curl -s -o /dev/null -w '%{size_download}' -X "$1" -H "Origin: $origin" "$2"; }
check_url="http://127.0.0.1:$nginx_http_port/api/v1/version"
for method in GET OPTIONS; do
  [ "$(reply_status "$method" "$check_url")" = 200 ] || die "nginx's $method is not 200"
  [ "$(body_size "$method" "$check_url")" = "$(body_size "$method" "$version_url")" ] ||
    die "nginx's $method body differs from the program's"
done
[ "$(reply_body GET "$check_url")" = "$version_body" ] || die "nginx's GET body differs"
[ "$(reply_body OPTIONS "$check_url")" = "$options_body" ] || die "nginx's OPTIONS body differs"

tls_summary() { # port
  openssl s_client -connect "127.0.0.1:$1" -servername "$server_name" </dev/null 2>/dev/null |
    awk '/^New, /{p=$2" "$5; gsub(",", "", p)} /^Server Temp Key:/{sub(/^Server Temp Key: /, ""); x=$0}
         /Server public key is/{k=$5" bit"} END{print p", key "k", exchange "x}'
}

# ----- Throughput -----

cat >"$work/options.lua" <<'EOF'
wrk.method = "OPTIONS"
wrk.headers["Access-Control-Request-Method"] = "POST"
wrk.headers["Access-Control-Request-Headers"] = "content-type"
EOF

# Runs one wrk load; prints the rate of replies with status 2xx per second (a refusal is not
# a request served). Socket errors and other replies are reported on stderr.
run_wrk() { # label url [wrk options...]
  local label=$1 url=$2 out rate
  shift 2
  out=$(wrk "${wrk_load[@]}" -H "Connection: close" -H "Origin: $origin" "$@" "$url" 2>&1) ||
    die "wrk failed against $url: $out"
  rate=$(awk '
    / requests in / { n = $1; t = $4; f = 1
                      if (t ~ /ms,?$/) f = 0.001; else if (t ~ /m,?$/) f = 60
                      sub(/[a-z,]+$/, "", t); t *= f }
    /^ *Non-2xx or 3xx responses:/ { n -= $NF }
    END { if (t > 0) printf "%.1f\n", n / t }' <<<"$out")
  [ -n "$rate" ] || die "no rate in wrk's output for $url: $out"
  if grep -qE 'Non-2xx|Socket errors' <<<"$out"; then
    log "$label: $(grep -E 'Non-2xx|Socket errors' <<<"$out" | tr -s ' ' | paste -sd';')"
  fi
  echo "$rate"
}

spread() { printf '%s\n' "$@" | sort -g | awk 'NR==1{lo=$1} {hi=$1} END{printf "%.0f-%.0f", lo, hi}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

loads=(version options https)
declare -A title target program_url nginx_url extra
title[version]="GET /api/v1/version, HTTP"
title[options]="OPTIONS pre-flight, HTTP"
title[https]="GET /api/v1/version, HTTPS"
target[version]=0.8
target[options]=0.8
target[https]=0.9
program_url[version]="http://127.0.0.1:$http_port/api/v1/version"
program_url[options]="http://127.0.0.1:$http_port/api/v1/version"
program_url[https]="https://127.0.0.1:$https_port/api/v1/version"
nginx_url[version]="http://127.0.0.1:$nginx_http_port/api/v1/version"
nginx_url[options]="http://127.0.0.1:$nginx_http_port/api/v1/version"
nginx_url[https]="https://127.0.0.1:$nginx_https_port/api/v1/version"
extra[version]=""
extra[options]="-s $work/options.lua"
extra[https]=""

echo "connections: wrk ${wrk_load[*]}, \"Connection: close\" (a new connection per request)," \
  "$rounds runs each, program and nginx alternating; medians in requests/s"
echo "  TLS: program $(tls_summary "$https_port"); nginx $(tls_summary "$nginx_https_port")"
for load in "${loads[@]}"; do
  program_rates=()
  nginx_rates=()
  read -r -a options <<<"${extra[$load]}"
  for _ in $(seq "$rounds"); do
    program_rates+=("$(run_wrk "program ${title[$load]}" "${program_url[$load]}" "${options[@]}")")
    sleep 1
    nginx_rates+=("$(run_wrk "nginx ${title[$load]}" "${nginx_url[$load]}" "${options[@]}")")
    sleep 1
  done
  p=$(median "${program_rates[@]}")
  n=$(median "${nginx_rates[@]}")
  awk -v t="${title[$load]}" -v p="$p" -v n="$n" -v g="${target[$load]}" 'BEGIN {
    r = (n > 0) ? p / n : 0
    printf "  %-28s program %9.0f  nginx %9.0f  ratio %.2fx  (target >= %.1fx: %s)\n",
           t, p, n, r, g, (r >= g) ? "met" : "not met"
  }'
  echo "    runs: program $(spread "${program_rates[@]}"), nginx $(spread "${nginx_rates[@]}")"
done

# ----- Idle connections -----

# In the background, so that a signal ends the run at once and the trap stops the helper.
python3 "$here/idle_connections.py" --pid "$program_pid" \
  --http-port "$http_port" --https-port "$https_port" --server-name "$server_name" \
  --origin "$origin" --plain "$idle_plain" --tls "$idle_tls" >"$work/idle.txt" &
helper_pid=$!
wait "$helper_pid" || die "the idle connections could not be held"
helper_pid=""
value() { sed -n "s/^$1: //p" "$work/idle.txt"; }
limit=$(awk '/^Max open files/{print $4}' "/proc/$program_pid/limits")
echo "connections: $idle_plain plain connections holding an unfinished request line and" \
  "$idle_tls TLS connections idle after the handshake (opened in $(value open_seconds) s;" \
  "still open at the end: plain $(value plain_alive), TLS $(value tls_alive);" \
  "the program's descriptor limit: $limit)"
awk -v l="$(value latency_ms)" -v w="$(value latency_worst_ms)" -v b="$(value base_latency_ms)" \
  -v m="$(value rss_anon_kib)" -v bm="$(value base_rss_anon_kib)" 'BEGIN {
  printf "  trusted request latency      %6.1f ms (worst %.1f; %.1f ms without them)  (target < 100 ms: %s)\n",
         l, w, b, (l < 100) ? "met" : "not met"
  printf "  program private memory       %6.1f MB (RssAnon; %.1f MB without them)  (target < 100 MB: %s)\n",
         m * 1.024 / 1000, bm * 1.024 / 1000, (m * 1.024 / 1000 < 100) ? "met" : "not met"
}'
grep '^warning:' "$work/idle.txt" | sed 's/^/  /' || true
