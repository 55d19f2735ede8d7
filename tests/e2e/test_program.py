"""Black-box tests of the built program: start, the local HTTP server, the single instance
and the stop. The program's path comes from DRAVIK_PROGRAM; every test runs it in private
folders and stops whatever it started."""

import http.client
import os
import signal
import socket
import ssl
import subprocess
import time

import pytest

PROGRAM = os.environ.get("DRAVIK_PROGRAM", "")
TRUSTED_ORIGIN = "http://dravik.localhost"
ANOTHER_INSTANCE = "Another instance is running! Exiting..."
START_TIMEOUT_S = 30.0
STOP_TIMEOUT_S = 10.0

pytestmark = pytest.mark.skipif(
    not os.path.isfile(PROGRAM), reason="DRAVIK_PROGRAM does not name the built program"
)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Sandbox:
    """Private folders, an ini with free ports and a log folder, and the environment."""

    def __init__(self, root):
        self.root = root
        self.logs = root / "logs"
        self.tmp = root / "tmp"
        runtime = root / "run"
        config = root / "config"
        for folder in (root / "home", root / "data", self.tmp, self.logs, runtime):
            folder.mkdir()
        runtime.chmod(0o700)
        self.http_port = free_port()
        self.https_port = free_port()
        while self.https_port == self.http_port:
            self.https_port = free_port()
        self.ini = config / "Dravik" / "DravikPluginZRT" / "DravikPluginHost.ini"
        self.ini.parent.mkdir(parents=True)
        self.ini.write_text(
            f"[Server_HTTP]\nPort={self.http_port}\n"
            f"[Server_HTTPS]\nPort={self.https_port}\n"
            f"[Log]\nFileName={self.logs / 'host.log'}\n",
            encoding="utf-8",
        )
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DRAVIK_UI_ANSWERS")}
        env.update(
            HOME=str(root / "home"),
            XDG_CONFIG_HOME=str(config),
            XDG_DATA_HOME=str(root / "data"),
            XDG_RUNTIME_DIR=str(runtime),
            TMPDIR=str(self.tmp),
            DRAVIK_HEADLESS="1",
            DRAVIK_UI_TRANSCRIPT=str(root / "transcript.txt"),
        )
        self.env = env
        self.processes = []

    def start(self, *params):
        process = subprocess.Popen(
            [PROGRAM, *params], env=self.env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        )
        self.processes.append(process)
        return process

    def run(self, *params, timeout=STOP_TIMEOUT_S):
        """Runs a start to its end; gives its exit status and how long it took."""
        began = time.monotonic()
        process = self.start(*params)
        process.communicate(timeout=timeout)
        return process.returncode, time.monotonic() - began

    def log_files(self):
        return sorted(self.logs.iterdir(), key=lambda p: p.stat().st_mtime_ns)

    def log_text(self):
        return "".join(p.read_text(encoding="utf-8", errors="replace") for p in self.log_files())

    def request(self, method, path, origin=TRUSTED_ORIGIN):
        connection = http_connection(self.http_port)
        try:
            connection.request(method, path, headers={"Origin": origin})
            response = connection.getresponse()
            return response.status, response.getheaders(), response.read()
        finally:
            connection.close()

    def port_answers(self, port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False

    def start_first(self):
        return self.wait_serving(self.start())

    def wait_serving(self, process, answers=None):
        """Waits until the HTTP port answers (by default from here) while the process runs."""
        answers = answers or (lambda: self.port_answers(self.http_port))
        deadline = time.monotonic() + START_TIMEOUT_S
        while not answers():
            if process.poll() is not None:
                output = process.communicate()[0].decode(errors="replace")
                pytest.fail(f"the program ended with {process.returncode} at start:\n{output}")
            if time.monotonic() > deadline:
                pytest.fail("the HTTP port did not answer in time")
            time.sleep(0.1)
        return process

    def stop_all(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.communicate()


@pytest.fixture
def sandbox(tmp_path):
    box = Sandbox(tmp_path)
    yield box
    box.stop_all()


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.1)


def http_connection(port, tls=False, timeout=10):
    """An HTTP connection to the program's port; with `tls`, one that takes the program's own
    certificate without checking it."""
    if not tls:
        return http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=context)


def read_to_end(connection):
    """Everything the program sends on a connection until it closes it."""
    reply = b""
    while chunk := connection.recv(65536):
        reply += chunk
    return reply


def wait_end(process, timeout=STOP_TIMEOUT_S):
    try:
        output = process.communicate(timeout=timeout)[0]
    except subprocess.TimeoutExpired:
        pytest.fail(f"the program did not end within {timeout} s")
    return process.returncode, output.decode(errors="replace")


def test_server_unknown_path_trusted_origin_answers_404_with_error_body(sandbox):
    sandbox.start_first()

    status, _, body = sandbox.request("GET", "/no/such/route")

    assert status == 404
    assert body.decode("utf-8") == '{ "code" : "1", "text" : "Метод API отсутствует" }'


def test_server_options_star_trusted_origin_answers_200_with_cors_lines(sandbox):
    sandbox.start_first()

    status, headers, _ = sandbox.request("OPTIONS", "*")

    assert status == 200
    lines = {name.lower(): value for name, value in headers}
    assert lines.get("access-control-allow-origin") == TRUSTED_ORIGIN
    assert lines.get("access-control-allow-headers") == "content-type, x-compress"


def test_second_start_another_instance_runs_ends_at_once_without_listeners(sandbox):
    sandbox.start_first()
    first_logs = set(sandbox.log_files())

    status, elapsed = sandbox.run()

    assert status == 0
    assert elapsed < 1.0
    second_logs = [p for p in sandbox.log_files() if p not in first_logs]
    assert len(second_logs) == 1
    text = second_logs[0].read_text(encoding="utf-8")
    assert ANOTHER_INSTANCE in text
    # Its record follows the web server's start-up reports, and no listener was started.
    assert text.index("dravik.localhost") < text.index(ANOTHER_INSTANCE)
    assert "Starting HTTP" not in text
    assert sandbox.request("OPTIONS", "*")[0] == 200


def test_second_start_exit_with_capital_letter_leaves_first_running(sandbox):
    first = sandbox.start_first()

    status, _ = sandbox.run("Exit")
    time.sleep(1.5)  # a few polls of the instance channel

    assert status == 0
    assert first.poll() is None
    assert sandbox.request("OPTIONS", "*")[0] == 200


@pytest.mark.parametrize(
    "stop",
    ["exit parameter", signal.SIGTERM, signal.SIGINT, signal.SIGHUP],
    ids=["exit-parameter", "SIGTERM", "SIGINT", "SIGHUP"],
)
def test_first_instance_stop_request_ends_cleanly_and_clears_temporary_files(sandbox, stop):
    first = sandbox.start_first()
    # The HTTPS listener writes its TLS files before it starts.
    assert any(sandbox.tmp.iterdir())

    if stop == "exit parameter":
        assert sandbox.run("exit")[0] == 0
    else:
        first.send_signal(stop)
    status, output = wait_end(first)

    assert status == 0, output
    assert "Temporary files cleared!" in sandbox.log_text()
    assert list(sandbox.tmp.iterdir()) == []
    assert not sandbox.port_answers(sandbox.http_port)
    assert not sandbox.port_answers(sandbox.https_port)


def test_killed_instance_left_socket_next_start_serves(sandbox):
    first = sandbox.start_first()
    first.kill()
    first.wait()
    # Its instance channel stays behind in the runtime folder.
    assert any(name.startswith("tuniqueinstance_")
               for name in os.listdir(sandbox.env["XDG_RUNTIME_DIR"]))

    second = sandbox.start_first()

    assert sandbox.request("OPTIONS", "*")[0] == 200
    assert sandbox.run("exit")[0] == 0
    assert wait_end(second)[0] == 0


def test_display_that_cannot_be_opened_runs_headless_and_serves(sandbox):
    del sandbox.env["DRAVIK_HEADLESS"]
    sandbox.env["DISPLAY"] = ":60999"
    first = sandbox.start_first()

    assert sandbox.request("OPTIONS", "*")[0] == 200
    assert "The display :60999 cannot be opened: running without windows" in sandbox.log_text()
    assert sandbox.run("exit")[0] == 0
    assert wait_end(first)[0] == 0
