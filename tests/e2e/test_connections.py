"""Black-box tests of the listeners under faults and load: a task limit, a descriptor limit and
large bodies. They read the program's memory and CPU time, which a sanitizer's bookkeeping
would hide, so they run only in the optimised build."""

import concurrent.futures
import http.client
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from test_program import (PROGRAM, TRUSTED_ORIGIN, Sandbox, http_connection, read_to_end,
                          sandbox, wait_until)  # noqa: F401 (sandbox: a fixture)
from test_program import pytestmark as program_mark

pytestmark = [program_mark, pytest.mark.optimised]

VERSION_COMMAND = (b'{ "ID" : "", "Plugin" : "RURazur", "Method" : "GetProperty", '
                   b'"Params" : [{ "Version" : "" }] }')
MIB = 1024 * 1024
BODY_BOUND = 256 * MIB  # the bytes of requests in flight across connections
OUT_OF_MEMORY = "ThttpThread.Execute: Exception EOutOfMemory: Out of memory"


def status_field(pid, name):
    """A "Name:   value kB" line of /proc/<pid>/status, in bytes (or as a number)."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(name + ":"):
            parts = line.split()
            return int(parts[1]) * (1024 if parts[-1] == "kB" else 1)
    raise AssertionError(f"no {name} in /proc/{pid}/status")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def get_version(port, tls=False, timeout=10):
    connection = http_connection(port, tls, timeout)
    try:
        connection.request("GET", "/api/v1/version", headers={"Origin": TRUSTED_ORIGIN})
        response = connection.getresponse()
        response.read()
        return response.status
    finally:
        connection.close()


def serves_within(port, seconds, tls=False):
    deadline = time.monotonic() + seconds
    while True:
        try:
            if get_version(port, tls, timeout=2) == 200:
                return True
        except OSError:
            pass
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)


def without_log(box):
    """Rewrites the sandbox's ini without the log: large bodies would otherwise be logged."""
    ini = next((box.root / "config").rglob("DravikPluginHost.ini"))
    ini.write_text(f"[Server_HTTP]\nPort={box.http_port}\n"
                   f"[Server_HTTPS]\nPort={box.https_port}\n", encoding="utf-8")


@pytest.fixture
def quiet_sandbox(tmp_path):
    box = Sandbox(tmp_path)
    without_log(box)
    yield box
    box.stop_all()


def start_limited(box, *limit):
    """Starts the program under prlimit and waits for its HTTP port."""
    # prlimit execs the program in place, so the process is the program's.
    return start_under(box, "prlimit", *limit, "--")


def start_under(box, *wrapper):
    """Starts the program through a wrapper that execs it and waits for its HTTP port."""
    command = [*wrapper, PROGRAM]
    process = subprocess.Popen(command, env=box.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    box.processes.append(process)
    if not serves_within(box.http_port, 30):
        pytest.fail("the program did not serve after its start")
    return process


def test_descriptor_limit_idle_connections_cost_no_cpu_and_service_comes_back(quiet_sandbox):
    box = quiet_sandbox
    process = start_limited(box, "--nofile=128:128")
    clients = []
    try:
        for _ in range(200):
            client = socket.create_connection(("127.0.0.1", box.http_port), timeout=5)
            client.sendall(b"GET /api/v1/vers")
            clients.append(client)
        time.sleep(0.5)
        before = cpu_seconds(process.pid)
        time.sleep(3)
        spent = cpu_seconds(process.pid) - before

        assert spent < 0.3, f"{spent:.2f} s of CPU time in 3 s with the descriptors used up"
        assert process.poll() is None
    finally:
        for client in clients:
            client.close()
    assert serves_within(box.http_port, 10)
    assert serves_within(box.https_port, 10, tls=True)


def test_clients_that_stop_reading_hold_up_no_one(quiet_sandbox):
    box = quiet_sandbox
    box.start_first()
    # More stalled clients than the program has loops: each asks for the test page through a
    # receive buffer too small for it and never reads.
    stalled = []
    try:
        for _ in range((os.cpu_count() or 1) + 2):
            client = socket.socket()
            client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
            client.connect(("127.0.0.1", box.http_port))
            client.sendall(b"GET /test/CAdES_COM HTTP/1.0\r\n\r\n")
            stalled.append(client)
        time.sleep(0.5)
        # Well below the ten seconds a close would wait for each of them.
        for _ in range(20):
            assert get_version(box.http_port, timeout=3) == 200
    finally:
        for client in stalled:
            client.close()


def systeminfo_request(size):
    """A trusted page's systeminfo request whose reply echoes an address of `size` bytes: a
    large reply that needs no plugin call."""
    body = b'{ "ipAddress" : "' + b"1" * size + b'" }'
    return (b"POST /api/v1/systeminfo HTTP/1.0\r\nOrigin: " + TRUSTED_ORIGIN.encode() +
            b"\r\nContent-Length: %d\r\n\r\n" % len(body) + body)


def reader_of(port, request):
    """A client that sent its request and reads its reply through a small receive buffer
    only when the test says so."""
    client = socket.socket()
    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    client.settimeout(10)
    client.connect(("127.0.0.1", port))
    client.sendall(request)
    return client


def reply_of(client, timeout):
    client.settimeout(timeout)
    return read_to_end(client)


def test_stalled_readers_on_every_loop_hold_up_no_request_and_no_stop(quiet_sandbox):
    box = quiet_sandbox
    # Two processors, so two loops.
    cpus = sorted(os.sched_getaffinity(0))[:2]
    process = start_under(box, "taskset", "-c", ",".join(map(str, cpus)))
    # Connections the loops have taken, their requests not finished yet.
    waiting = []
    for _ in range(8):
        client = socket.create_connection(("127.0.0.1", box.http_port), timeout=5)
        client.sendall(b"GET /api/v1/version HTTP/1.0\r\nOrigin: " + TRUSTED_ORIGIN.encode() +
                       b"\r\n")
        waiting.append(client)
    # As many clients as loops that never read an 8 MiB reply.
    stalled = [reader_of(box.http_port, systeminfo_request(8 * MIB)) for _ in cpus]
    try:
        time.sleep(1)

        assert get_version(box.http_port, timeout=5) == 200
        for client in waiting:
            client.sendall(b"\r\n")
            assert reply_of(client, 5).startswith(b"HTTP/1.0 200\r\n")
        for client in stalled:
            assert client.recv(16).startswith(b"HTTP/1.0 200\r\n")
        began = time.monotonic()
        process.terminate()
        process.communicate(timeout=5)
        assert time.monotonic() - began < 5
    finally:
        for client in waiting + stalled:
            client.close()


def test_slow_readers_of_large_replies_leave_a_trusted_request_answered(quiet_sandbox):
    box = quiet_sandbox
    box.start_first()
    # Larger than the socket buffers take (about 2.8 MB on loopback for such a reader).
    request = systeminfo_request(3 * MIB)
    readers = []
    try:
        for _ in range(300):
            readers.append(reader_of(box.http_port, request))
        # Each takes a little of its reply every second, far too slowly to finish.
        for client in readers:
            client.setblocking(False)
        taken = [b""] * len(readers)
        for _ in range(3):
            for i, client in enumerate(readers):
                try:
                    taken[i] += client.recv(4096)
                except BlockingIOError:
                    pass
            time.sleep(1)

        assert get_version(box.http_port, timeout=5) == 200
        assert all(head.startswith(b"HTTP/1.0 200\r\n") for head in taken)
    finally:
        for client in readers:
            client.close()


def begin_body(port, size):
    """Opens a POST of `size` bytes from an untrusted page and sends all of it but its last byte."""
    client = socket.create_connection(("127.0.0.1", port), timeout=60)
    client.sendall(b"POST / HTTP/1.1\r\nOrigin: https://evil.example\r\n"
                   b"Content-Length: %d\r\n\r\n" % size)
    chunk = b"x" * MIB
    for _ in range(size // MIB - 1):
        client.sendall(chunk)
    client.sendall(chunk[:-1])
    return client


def end_body(client):
    """Sends the last byte of a body begun; the status, or None when the server closed."""
    with client:
        try:
            client.sendall(b"x")
            reply = client.recv(64)
        except OSError:
            return None
    return reply.split(b"\r\n", 1)[0].decode() if reply else None


def post_body(port, size):
    try:
        return end_body(begin_body(port, size))
    except OSError:
        return None


def wait_until_read(port):
    """Waits until the program has read every byte sent on the connections to `port`."""
    hex_port = f"{port:04X}"

    def queued():
        for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
            fields = line.split()
            ends = (fields[1].split(":")[1], fields[2].split(":")[1])
            if hex_port in ends and fields[3] == "01":  # established
                yield sum(int(n, 16) for n in fields[4].split(":"))

    wait_until(lambda: not any(queued()), 30, "the bodies to be read")


@pytest.mark.parametrize("logged", [False, True], ids=["log off", "log on"])
def test_eight_large_bodies_are_bounded_and_their_memory_is_released(tmp_path, logged):
    box = Sandbox(tmp_path)
    if not logged:
        without_log(box)
    try:
        replies = eight_large_bodies(box)
    finally:
        box.stop_all()
    if logged:
        # Every body read whole is in the log.
        assert box.log_text().count("Value: Data:") == replies.count("HTTP/1.0 403")


def eight_large_bodies(box):
    process = box.start_first()
    for _ in range(3):
        get_version(box.http_port)
    idle = status_field(process.pid, "RssAnon")

    # Three bodies held whole but for their last byte, as much as the bound leaves room for
    # beside their headers; five more at once.
    held = [begin_body(box.http_port, 64 * MIB) for _ in range(3)]
    wait_until_read(box.http_port)
    with concurrent.futures.ThreadPoolExecutor(5) as pool:
        replies = list(pool.map(lambda _: post_body(box.http_port, 64 * MIB), range(5)))
    replies = [end_body(client) for client in held] + replies

    # Those that fit the bound are read and refused as the untrusted page they are; the
    # others are closed unanswered.
    assert replies == ["HTTP/1.0 403"] * 3 + [None] * 5
    peak = status_field(process.pid, "VmHWM")
    assert peak < BODY_BOUND + 128 * MIB, f"peak {peak / MIB:.0f} MiB"
    deadline = time.monotonic() + 5
    while status_field(process.pid, "RssAnon") > idle + 64 * MIB:
        assert time.monotonic() < deadline, (
            f"RssAnon {status_field(process.pid, 'RssAnon') / MIB:.0f} MiB, "
            f"idle {idle / MIB:.0f} MiB")
        time.sleep(0.2)
    assert get_version(box.http_port) == 200
    return replies


def test_header_lines_past_the_header_block_bound_are_not_held(sandbox):
    box = sandbox  # logging on
    process = box.start_first()
    line = b"X-Fill: " + b"a" * (64 * 1024 - 10) + b"\r\n"

    def send_headers(_):
        with socket.create_connection(("127.0.0.1", box.http_port), timeout=30) as client:
            try:
                client.sendall(b"GET /api/v1/version HTTP/1.1\r\n")
                for _ in range(1000):
                    client.sendall(line)
            except OSError:
                return b""  # closed by the server while sending
            client.settimeout(3)
            try:
                return client.recv(64)
            except OSError:
                return b""

    with concurrent.futures.ThreadPoolExecutor(6) as pool:
        clients = [pool.submit(send_headers, i) for i in range(6)]
        rss = 0
        while not all(c.done() for c in clients):
            rss = max(rss, status_field(process.pid, "RssAnon"))
            time.sleep(0.05)
        replies = [c.result() for c in clients]

    assert max(rss, status_field(process.pid, "RssAnon")) < 100 * 1000 * 1000, f"{rss / MIB:.0f} MiB"
    assert replies == [b""] * 6
    wait_until(lambda: box.log_text().count(OUT_OF_MEMORY) == 6, 10, "six out-of-memory records")
    assert get_version(box.http_port) == 200


def test_bodies_announced_and_trickled_leave_a_small_trusted_body_served(quiet_sandbox):
    box = quiet_sandbox
    box.start_first()
    tricklers = []
    try:
        for _ in range(4):
            client = socket.create_connection(("127.0.0.1", box.http_port), timeout=10)
            client.sendall(b"POST / HTTP/1.1\r\nOrigin: https://evil.example\r\n"
                           b"Content-Length: %d\r\n\r\n" % (64 * MIB))
            tricklers.append(client)
        for _ in range(2):
            time.sleep(2)
            for client in tricklers:
                client.sendall(b"x")

        connection = http.client.HTTPConnection("127.0.0.1", box.http_port, timeout=10)
        try:
            connection.request("POST", "/", body=VERSION_COMMAND,
                               headers={"Origin": TRUSTED_ORIGIN})
            response = connection.getresponse()
            assert response.status == 200
            assert b"\"Result\"" in response.read()
        finally:
            connection.close()
    finally:
        for client in tricklers:
            client.close()


def unprivileged_user():
    if os.geteuid() != 0:
        return None, "needs root to switch to an unprivileged user with a task limit"
    if not shutil.which("setpriv") or not shutil.which("prlimit"):
        return None, "setpriv or prlimit is missing"
    # The task limit counts every process of the user, so take an id that no process runs
    # under (not "nobody": services such as nginx's workers may run as it).
    used = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                used.add(os.stat(f"/proc/{entry}").st_uid)
            except OSError:
                pass
    known = {entry.pw_uid for entry in pwd.getpwall()}
    for uid in range(61000, 65000):
        if uid not in used and uid not in known:
            return uid, ""
    return None, "no unused user id"


def test_burst_beyond_the_task_limit_leaves_both_listeners_serving(tmp_path):
    uid, reason = unprivileged_user()
    if uid is None:
        pytest.skip(reason)
    # The unprivileged user needs a folder it owns, with copies of the program and plugin.
    base = Path(tempfile.mkdtemp(prefix="dravik-tasks-"))
    box = None
    try:
        base.chmod(0o755)
        folder = base / "bin"
        folder.mkdir()
        program = folder / os.path.basename(PROGRAM)
        shutil.copy2(PROGRAM, program)
        plugin = Path(PROGRAM).parent / "npDravikPluginZRT.so"
        shutil.copy2(plugin, folder / plugin.name)
        (base / "box").mkdir()
        box = Sandbox(base / "box")
        without_log(box)
        log = base / "box" / "logs" / "host.log"
        ini = next((box.root / "config").rglob("DravikPluginHost.ini"))
        ini.write_text(ini.read_text() + f"[Log]\nFileName={log}\n", encoding="utf-8")
        for path in [base, *base.rglob("*")]:
            os.chown(path, uid, uid)
        box.env["DRAVIK_PLUGIN_DELAY_MS"] = "1500"

        def start(limit):
            command = ["prlimit", f"--nproc={limit}:{limit}", "--", "setpriv",
                       f"--reuid={uid}", f"--regid={uid}", "--clear-groups", str(program)]
            started = subprocess.Popen(command, env=box.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            box.processes.append(started)
            return started

        # The threads the program needs at rest, then a limit a few above them.
        probe = start(10000)
        try:
            assert serves_within(box.http_port, 30), "the program did not start as that user"
            time.sleep(1)
            resting = status_field(probe.pid, "Threads")
        finally:
            probe.terminate()
            probe.communicate(timeout=15)
        process = start(resting + 4)
        assert serves_within(box.http_port, 30)

        def hold(_):
            connection = http.client.HTTPConnection("127.0.0.1", box.http_port, timeout=120)
            try:
                connection.request("POST", "/", body=VERSION_COMMAND,
                                   headers={"Origin": TRUSTED_ORIGIN})
                response = connection.getresponse()
                response.read()
                return response.status
            except OSError:
                return None
            finally:
                connection.close()

        with concurrent.futures.ThreadPoolExecutor(40) as pool:
            statuses = list(pool.map(hold, range(40)))

        assert process.poll() is None
        # Requests beyond the workers the limit allows waited for a free one.
        assert statuses.count(200) == len(statuses), statuses
        # The limit was reached: a worker could not be created.
        assert "Connection not accepted: " in box.log_text()
        assert serves_within(box.http_port, 10)
        assert serves_within(box.https_port, 10, tls=True)
    finally:
        if box:
            box.stop_all()
        shutil.rmtree(base, ignore_errors=True)
