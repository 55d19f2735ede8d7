#!/usr/bin/env bash
# The "sign" benchmark: CMS signatures per second through the program's API against OpenSSL's
# own CMS_sign in one thread, with the same key, certificate, digest and items: a run with an
# RSA 2048 key, and one with a GOST R 34.10-2012 256-bit key (CryptoPro A) where both sides use
# Debian's gost engine.
#
# The program runs headless from a test-hook build (build/bench-sign) with logging off and one
# scripted "yes" per question; a key session is opened by initkey. Then, round after round, sign
# requests of SIGN_ITEMS items of SIGN_ITEM_BYTES bytes each go one after the other from a small
# C client, a connection per request, and each round is compared with the baseline runs made
# just before and just after it. The baseline program, compiled here, preloads the key and the
# certificate and makes detached, binary, DER SignedData over the same items with the plugin's
# signed attributes (signing time, signing-certificate-v2) and the certificate included.
#
#   tools/bench/sign.sh      environment: SIGN_KEYS ("rsa gost"), SIGN_REQUESTS (50 per round),
#                            SIGN_ITEMS (10), SIGN_ITEM_BYTES (100), SIGN_ROUNDS (101), JOBS
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$root/build/bench-sign"
requests=${SIGN_REQUESTS:-50}
items=${SIGN_ITEMS:-10}
item_bytes=${SIGN_ITEM_BYTES:-100}
rounds=${SIGN_ROUNDS:-101}
keys=${SIGN_KEYS:-rsa gost}
jobs=${JOBS:-4}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_TEST_HOOKS=ON \
  -DDRAVIK_SANITIZE=OFF -DDRAVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target DravikPluginHost npDravikPluginZRT >/dev/null
program="$build/shell/DravikPluginHost"

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-bench-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A key container for each key type, the key with a certificate of a test CA.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" -days 2 \
  -subj "/CN=Dravik bench CA" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n' >"$work/user.ext"
# make_container <name> <genpkey options>: openssl runs with the options in `engine`.
make_container() {
  local container="$work/store/containers/$1"
  shift
  mkdir -p "$container"
  openssl genpkey "${engine[@]}" "$@" -out "$container/key.pem" 2>/dev/null
  chmod 600 "$container/key.pem"
  openssl req "${engine[@]}" -new -key "$container/key.pem" -subj "/CN=Bench signer" \
    -out "$work/user.csr" 2>/dev/null
  openssl x509 "${engine[@]}" -req -in "$work/user.csr" -CA "$work/ca.pem" \
    -CAkey "$work/ca.key" -CAcreateserial -days 2 -extfile "$work/user.ext" \
    -out "$container/cert.pem" 2>/dev/null
}
engine=()
make_container rsa -algorithm RSA -pkeyopt rsa_keygen_bits:2048
engine=(-engine gost)
make_container gost -algorithm gost2012_256 -pkeyopt paramset:A
head -c $((items * item_bytes)) /dev/urandom >"$work/items.bin"

cat >"$work/baseline.c" <<'C'
/* CMS_sign in one thread: detached, binary, DER, signing time and signing-certificate-v2,
   the certificate included, with the key's default digest; prints the signatures made and the
   seconds they took. With a last argument "gost" it first makes the gost engine the default
   for digests, keys and key encodings, as the plugin does. */
#include <openssl/cms.h>
#include <openssl/engine.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double seconds(clockid_t id) {
  struct timespec t;
  clock_gettime(id, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 7 && argc != 8) return 2;
  if (argc == 8) {
    ENGINE* gost = strcmp(argv[7], "gost") == 0 ? ENGINE_by_id("gost") : NULL;
    if (!gost || !ENGINE_init(gost) ||
        !ENGINE_set_default(gost, ENGINE_METHOD_DIGESTS | ENGINE_METHOD_PKEY_METHS |
                                      ENGINE_METHOD_PKEY_ASN1_METHS))
      return 1;
  }
  FILE* f = fopen(argv[1], "r");
  EVP_PKEY* key = f ? PEM_read_PrivateKey(f, NULL, NULL, NULL) : NULL;
  if (f) fclose(f);
  f = fopen(argv[2], "r");
  X509* cert = f ? PEM_read_X509(f, NULL, NULL, NULL) : NULL;
  if (f) fclose(f);
  f = fopen(argv[3], "rb");
  const long items = atol(argv[4]), size = atol(argv[5]);
  unsigned char* data = malloc(items * size);
  if (!key || !cert || !f || fread(data, size, items, f) != (size_t)items) return 1;
  fclose(f);
  const long rounds = atol(argv[6]);
  const double wall = seconds(CLOCK_MONOTONIC), cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
  for (long r = 0; r < rounds; ++r) {
    for (long i = 0; i < items; ++i) {
      BIO* in = BIO_new_mem_buf(data + i * size, (int)size);
      CMS_ContentInfo* cms = CMS_sign(cert, key, NULL, in,
                                      CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES);
      unsigned char* der = NULL;
      if (!cms || i2d_CMS_ContentInfo(cms, &der) <= 0) return 1;
      OPENSSL_free(der);
      CMS_ContentInfo_free(cms);
      BIO_free(in);
    }
  }
  printf("%ld %.6f %.6f\n", rounds * items, seconds(CLOCK_MONOTONIC) - wall,
         seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu);
  return 0;
}
C
cc -O2 -Wno-deprecated-declarations -o "$work/baseline" "$work/baseline.c" -lcrypto

cat >"$work/requests.c" <<'C'
/* Sends one request file to 127.0.0.1:<port> over a new connection per request, the next one
   after the previous reply has ended, and checks that each reply is a 200 holding <items>
   signed items; a client this small keeps its own cost out of the program's rate. Prints the
   seconds from the first connection to the end of the last reply: like the baseline, it
   leaves its own start and end out of the time. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long count(const char* text, const char* word) {
  long n = 0;
  for (const char* at = strstr(text, word); at; at = strstr(at + 1, word)) ++n;
  return n;
}

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  FILE* f = fopen(argv[2], "rb");
  if (!f) return 1;
  static char request[1 << 20], reply[1 << 22];
  const size_t size = fread(request, 1, sizeof request, f);
  fclose(f);
  const long requests = atol(argv[3]), items = atol(argv[4]);
  struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[1]))};
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long r = 0; r < requests; ++r) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0 || connect(s, (struct sockaddr*)&to, sizeof to) != 0) return 1;
    for (size_t sent = 0; sent < size;) {
      const ssize_t n = send(s, request + sent, size - sent, 0);
      if (n <= 0) return 1;
      sent += (size_t)n;
    }
    size_t got = 0;
    for (ssize_t n; (n = recv(s, reply + got, sizeof reply - 1 - got, 0)) > 0;) got += (size_t)n;
    close(s);
    reply[got] = 0;
    if (strncmp(reply + 8, " 200\r\n", 6) != 0 || count(reply, "\"signType\"") != items ||
        strstr(reply, "\"data\" : \"\"")) {
      fprintf(stderr, "a sign request answered without its signatures: %.200s\n", reply);
      return 1;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%.6f\n", (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
  return 0;
}
C
cc -O2 -o "$work/requests" "$work/requests.c"

cat >"$work/drive.py" <<'PY'
"""Starts the program and opens a key session with initkey; then, round after round, times a
run of the baseline, a run of sign requests and the baseline again. Prints a line per round:
the signatures, wall seconds and program CPU seconds of the requests, then the same of each
baseline run."""
import base64, json, os, socket, subprocess, sys, time

program, work, container = sys.argv[1:4]
requests, items, size, rounds = map(int, sys.argv[4:8])
baseline = sys.argv[8:]

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]

http_port, https_port = free_port(), free_port()
for name in ("home", "config", "data", "tmp", "run"):
    os.makedirs(os.path.join(work, name), exist_ok=True)
os.chmod(os.path.join(work, "run"), 0o700)
ini = os.path.join(work, "config", "Dravik", "DravikPluginZRT", "DravikPluginHost.ini")
os.makedirs(os.path.dirname(ini), exist_ok=True)
with open(ini, "w") as f:
    f.write(f"[Server_HTTP]\nPort={http_port}\n[Server_HTTPS]\nPort={https_port}\n")
env = {k: v for k, v in os.environ.items()
       if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DRAVIK_PLUGIN_TRACE")}
env.update(HOME=f"{work}/home", XDG_CONFIG_HOME=f"{work}/config", XDG_DATA_HOME=f"{work}/data",
           XDG_RUNTIME_DIR=f"{work}/run", TMPDIR=f"{work}/tmp", DRAVIK_HEADLESS="1",
           DRAVIK_KEYSTORE=f"{work}/store",
           DRAVIK_UI_ANSWERS=";".join(["yes"] * (requests * rounds + 2)))
process = subprocess.Popen([program], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

def call(route, body):
    payload = json.dumps(body).encode()
    head = (f"POST /api/v1/{route} HTTP/1.0\r\nOrigin: http://dravik.localhost\r\n"
            f"Content-Length: {len(payload)}\r\n\r\n").encode()
    with socket.create_connection(("127.0.0.1", http_port), timeout=60) as connection:
        connection.sendall(head + payload)
        reply = b""
        while chunk := connection.recv(65536):
            reply += chunk
    status_line, _, rest = reply.partition(b"\r\n")
    status = int(status_line.split()[1])
    body_text = rest.partition(b"\r\n\r\n")[2]
    if status != 200:
        raise SystemExit(f"{route} answered {status}: {body_text[:200]!r}")
    return json.loads(body_text)

def cpu_seconds():
    """The CPU time of all the program's threads, to the nanosecond."""
    total = 0
    for task in os.listdir(f"/proc/{process.pid}/task"):
        try:
            with open(f"/proc/{process.pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total / 1e9

def run_baseline():
    return subprocess.run(baseline, check=True, capture_output=True, text=True).stdout.split()

try:
    deadline = time.monotonic() + 60
    while True:
        try:
            socket.create_connection(("127.0.0.1", http_port), timeout=0.5).close()
            break
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("the program did not start")
            time.sleep(0.1)
    with open(f"{work}/store/containers/{container}/cert.pem") as f:
        pem = "".join(line.strip() for line in f if "-----" not in line)
    session = call("initkey", {"X509data": pem, "signType": "CAdES_BES", "authData": ""})
    sid = session["data"]["keySessID"]
    with open(f"{work}/items.bin", "rb") as f:
        blob = f.read()
    lines = [base64.b64encode(blob[i * size:(i + 1) * size]).decode() for i in range(items)]
    body = {"keySessID": sid, "signType": "CAdES_BES", "data": lines}
    signed = call("sign", body)  # warm-up, and the check of what a reply holds
    if len(signed["data"]) != items or not all(item["data"] for item in signed["data"]):
        raise SystemExit("a sign request answered without its signatures")
    payload = json.dumps(body).encode()
    with open(f"{work}/request.http", "wb") as f:
        f.write((f"POST /api/v1/sign HTTP/1.0\r\nOrigin: http://dravik.localhost\r\n"
                 f"Content-Length: {len(payload)}\r\n\r\n").encode() + payload)
    client = [f"{work}/requests", str(http_port), f"{work}/request.http", str(requests),
              str(items)]
    # The machine is shared and its speed drifts: each run of requests is compared with the
    # baseline runs just before and just after it.
    before = run_baseline()
    for _ in range(rounds):
        cpu = cpu_seconds()
        wall = float(subprocess.run(client, check=True, stdout=subprocess.PIPE, text=True).stdout)
        api = [requests * items, wall, cpu_seconds() - cpu]
        after = run_baseline()
        print(*api, *before, *after, flush=True)
        before = after
finally:
    process.terminate()
    process.wait(timeout=30)
PY

# The medians over the rounds: of each side's rate and CPU time per signature, and of the
# overheads, each round's against the mean of its two baseline runs; with the quartiles of
# the overhead by rate, which show how much the machine drifted.
cat >"$work/summary.py" <<'PY'
import statistics, sys
rounds = [list(map(float, line.split())) for line in open(sys.argv[1])]
items, size, key = sys.argv[2:5]
def median(values):
    return statistics.median(values)
api_rate = [n / wall for n, wall, *_ in rounds]
api_cpu = [cpu / n * 1e6 for n, _, cpu, *_ in rounds]
base_rate = [(r[3] + r[6]) / (r[4] + r[7]) for r in rounds]
base_cpu = [(r[5] + r[8]) / (r[3] + r[6]) * 1e6 for r in rounds]
by_rate = [(b / a - 1) * 100 for a, b in zip(api_rate, base_rate)]
by_cpu = [(a / b - 1) * 100 for a, b in zip(api_cpu, base_cpu)]
low, _, high = statistics.quantiles(by_rate, n=4)
print(f"sign: {items} items of {size} bytes per request, {key}, one request at a time")
print(f"sign: API       {median(api_rate):8.0f} signatures/s  "
      f"({median(api_cpu):6.1f} us CPU of the program per signature)")
print(f"sign: CMS_sign  {median(base_rate):8.0f} signatures/s  "
      f"({median(base_cpu):6.1f} us CPU per signature)")
print(f"sign: overhead  {median(by_rate):+7.1f}% by rate, {median(by_cpu):+7.1f}% by CPU per "
      f"signature (medians of {len(rounds)} rounds; by rate, half the rounds from {low:+.1f}% "
      f"to {high:+.1f}%)")
PY

# One run per key type: the program is started afresh, its key session opened on that key.
for key in $keys; do
  case "$key" in
    rsa) label="RSA 2048" engine_argument=() ;;
    gost) label="GOST R 34.10-2012 256 bits" engine_argument=(gost) ;;
    *) echo "sign: unknown key type $key (rsa, gost)" >&2; exit 2 ;;
  esac
  container="$work/store/containers/$key"
  python3 "$work/drive.py" "$program" "$work" "$key" "$requests" "$items" "$item_bytes" \
    "$rounds" "$work/baseline" "$container/key.pem" "$container/cert.pem" "$work/items.bin" \
    "$items" "$item_bytes" "$requests" "${engine_argument[@]}" >"$work/rounds-$key"
  python3 "$work/summary.py" "$work/rounds-$key" "$items" "$item_bytes" "$label"
done
