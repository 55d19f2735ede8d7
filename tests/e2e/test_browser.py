"""Black-box tests with a real browser: the trust step that makes the build's CA trusted in the
user's NSS databases, and headless Chromium, driven over WebDriver, using the built-in test page
of the program. The program runs with its default ports inside a private network namespace,
together with chromedriver, the browser and the test's own HTTP server."""

import concurrent.futures
import ctypes
import http.client
import http.server
import json
import os
import pathlib
import shutil
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.request

import pytest

from test_api_entrance import SUCCESS_PREFIX, project_version
from test_program import PROGRAM

ROOT = pathlib.Path(__file__).resolve().parents[2]
TRUST_SCRIPT = ROOT / "tools" / "trust-ca.sh"
CA_FILE = os.environ.get("DRAVIK_CA_FILE", "")
SERVER_HOST = os.environ.get("DRAVIK_SERVER_HOST", "dravik.localhost")
NICKNAME = "Dravik Local Signing Host CA"
CHROMIUM = shutil.which("chromium") or ""
CHROMEDRIVER = shutil.which("chromedriver") or ""
HTTP_PORT, HTTPS_PORT = 11741, 11742
DRIVER_PORT, OTHER_PORT = 9515, 18080
PAGE_URL = f"https://{SERVER_HOST}:{HTTPS_PORT}/test/CAdES_COM"
PAGE_TITLE = "Dravik Plugin Host: проверка API"
OTHER_ORIGIN = f"http://elsewhere.localhost:{OTHER_PORT}"
REFUSED_BODY = '{ "code" : "3", "text" : "Передан недопустимый Origin" }'
SYSTEMINFO_BODY = '{ "ipAddress" : "127.0.0.1" }'
CHROMIUM_ARGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
]
START_TIMEOUT_S = 30.0
ALERT_TIMEOUT_S = 15.0
CLONE_NEWNET = 0x40000000

pytestmark = [
    pytest.mark.skipif(not os.path.isfile(PROGRAM),
                       reason="DRAVIK_PROGRAM does not name the built program"),
    pytest.mark.skipif(not os.path.isfile(CA_FILE),
                       reason="DRAVIK_CA_FILE does not name the build's CA certificate"),
    pytest.mark.skipif(not shutil.which("certutil"), reason="certutil (libnss3-tools) is missing"),
]


def trust(home, ca_file=CA_FILE):
    env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
    env["HOME"] = str(home)
    return subprocess.run([str(TRUST_SCRIPT), str(ca_file)], env=env, capture_output=True,
                          text=True, timeout=60)


def nss_entries(folder):
    """The trust flags of our nickname's lines in `certutil -L`, and the PEM text under it."""
    listing = subprocess.run(["certutil", "-L", "-d", f"sql:{folder}"], capture_output=True,
                             text=True, check=True).stdout
    flags = [line.split()[-1] for line in listing.splitlines() if line.startswith(NICKNAME)]
    pem = subprocess.run(["certutil", "-L", "-d", f"sql:{folder}", "-n", NICKNAME, "-a"],
                         capture_output=True, text=True).stdout
    return flags, pem.replace("\r", "")


def fingerprint(pem_text):
    return subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256"],
                          input=pem_text, capture_output=True, text=True, check=True).stdout


def make_certificate(folder, name, subject, *extensions, issuer=None):
    """A certificate of a new key, self-signed or issued by (pem, key) `issuer`."""
    key, pem = folder / f"{name}.key", folder / f"{name}.pem"
    command = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
               "-subj", subject, "-days", "2", "-out", str(pem)]
    if issuer:
        command += ["-CA", str(issuer[0]), "-CAkey", str(issuer[1])]
    for extension in extensions:
        command += ["-addext", extension]
    subprocess.run(command, check=True, capture_output=True)
    return pem, key


def ca_subject():
    """The build CA's subject in the form of `openssl req -subj`."""
    return subprocess.run(["openssl", "x509", "-in", CA_FILE, "-noout", "-subject",
                           "-nameopt", "compat"], capture_output=True, text=True,
                          check=True).stdout.strip().removeprefix("subject=")


def test_trust_step_twice_and_after_rebuild_keeps_one_entry_in_every_database(tmp_path):
    home = tmp_path / "home"
    profiles = home / ".mozilla" / "firefox"
    (profiles / "abc.default-esr").mkdir(parents=True)
    (profiles / "profiles.ini").write_text(
        "[Profile0]\nName=default-esr\nIsRelative=1\nPath=abc.default-esr\n", encoding="utf-8")
    databases = [home / ".pki" / "nssdb", profiles / "abc.default-esr"]
    # A rebuild's CA: a new key under the same subject, which NSS files under one nickname.
    rebuilt, _ = make_certificate(tmp_path, "rebuilt", ca_subject(),
                                  "basicConstraints=critical,CA:TRUE,pathlen:0",
                                  "keyUsage=critical,keyCertSign,cRLSign",
                                  f"nameConstraints=critical,permitted;DNS:{SERVER_HOST}")

    for ca_file in (CA_FILE, CA_FILE, rebuilt, CA_FILE):
        result = trust(home, ca_file)
        assert result.returncode == 0, result.stderr

        for folder in databases:
            flags, pem = nss_entries(folder)
            assert flags == ["C,,"], folder
            assert pem.count("-----BEGIN CERTIFICATE") == 1, folder
            assert fingerprint(pem) == fingerprint(pathlib.Path(ca_file).read_text()), folder
    assert (home / ".pki").stat().st_mode & 0o077 == 0


def test_trust_step_refuses_anything_but_one_name_constrained_ca(tmp_path):
    ca_text = pathlib.Path(CA_FILE).read_text()
    plain_ca, plain_key = make_certificate(tmp_path, "plain", "/CN=Unconstrained CA",
                                           "basicConstraints=critical,CA:TRUE")
    leaf, leaf_key = make_certificate(tmp_path, "leaf", f"/CN={SERVER_HOST}",
                                      "basicConstraints=critical,CA:FALSE",
                                      f"nameConstraints=critical,permitted;DNS:{SERVER_HOST}",
                                      issuer=(plain_ca, plain_key))
    cases = {
        "unconstrained CA": plain_ca.read_text(),
        "not a CA": leaf.read_text(),
        "CA and a second certificate": ca_text + plain_ca.read_text(),
        "CA and a private key": ca_text + leaf_key.read_text(),
        "no certificate": "",
    }

    for index, (name, text) in enumerate(cases.items()):
        home = tmp_path / f"home-{index}"
        home.mkdir()
        candidate = tmp_path / "candidate.pem"
        candidate.write_text(text)

        result = trust(home, candidate)

        assert result.returncode != 0, name
        assert not (home / ".pki" / "nssdb").exists(), name


# The browser's world: a network namespace holding the program, chromedriver and our server.


class Namespace:
    """A private network namespace with loopback up; `call` runs a function on a thread of
    this process that has entered it, so the sockets it makes live in the namespace."""

    def __init__(self, name):
        self.name = name
        made = subprocess.run(["ip", "netns", "add", name], capture_output=True, text=True)
        if made.returncode != 0:
            pytest.skip(f"no network namespace can be made: {made.stderr.strip()}")
        self.worker = None
        try:
            subprocess.run(["ip", "netns", "exec", name, "ip", "link", "set", "lo", "up"],
                           check=True, capture_output=True)
            self.worker = concurrent.futures.ThreadPoolExecutor(1, initializer=self._enter)
            self.call(lambda: None)
        except BaseException:
            self.close()
            raise

    def _enter(self):
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open(f"/run/netns/{self.name}", os.O_RDONLY)
        try:
            if libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
        finally:
            os.close(fd)

    def call(self, function, *args):
        return self.worker.submit(function, *args).result()

    def popen(self, command, **options):
        return subprocess.Popen(["ip", "netns", "exec", self.name, *command],
                                stdin=subprocess.DEVNULL, **options)

    def close(self):
        if self.worker:
            self.worker.shutdown()
        subprocess.run(["ip", "netns", "delete", self.name], capture_output=True)


def wait_for(what, probe, process, timeout=START_TIMEOUT_S):
    deadline = time.monotonic() + timeout
    while not probe():
        if process.poll() is not None:
            pytest.fail(f"{what} ended with {process.returncode} at start")
        if time.monotonic() > deadline:
            pytest.fail(f"{what} did not answer in time")
        time.sleep(0.2)


def answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class OtherSite(http.server.BaseHTTPRequestHandler):
    """A page of an origin that the program does not trust."""

    def do_GET(self):
        body = b"<!DOCTYPE html><html><head><title>elsewhere</title></head><body></body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class WebDriver:
    """The few WebDriver commands the tests use, as plain HTTP calls made in the namespace."""

    def __init__(self, namespace, base):
        self.namespace, self.base, self.session = namespace, base, None

    def command(self, method, path, payload=None):
        def send():
            data = None if payload is None else json.dumps(payload).encode()
            request = urllib.request.Request(self.base + path, data=data, method=method,
                                             headers={"Content-Type": "application/json"})
            try:
                with urllib.request.urlopen(request, timeout=60) as reply:
                    return reply.status, json.load(reply)["value"]
            except urllib.error.HTTPError as error:
                return error.code, json.load(error)["value"]

        return self.namespace.call(send)

    def must(self, method, path, payload=None):
        status, value = self.command(method, path, payload)
        assert status == 200, value
        return value

    def start(self, user_data_dir):
        options = {"binary": CHROMIUM, "args": [*CHROMIUM_ARGS, f"--user-data-dir={user_data_dir}"]}
        value = self.must("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": options,
            "unhandledPromptBehavior": "ignore"}}})
        self.session = f"/session/{value['sessionId']}"

    def stop(self):
        if self.session:
            self.command("DELETE", self.session)

    def open(self, url):
        self.must("POST", self.session + "/url", {"url": url})
        return self.must("GET", self.session + "/title")

    def click_button(self, text):
        found = self.must("POST", self.session + "/element",
                          {"using": "xpath", "value": f"//button[text()='{text}']"})
        self.must("POST", f"{self.session}/element/{next(iter(found.values()))}/click", {})

    def alert_text(self):
        """Waits for an alert box, reads it and closes it."""
        deadline = time.monotonic() + ALERT_TIMEOUT_S
        while True:
            status, value = self.command("GET", self.session + "/alert/text")
            if status == 200:
                self.must("POST", self.session + "/alert/accept", {})
                return value
            assert value.get("error") == "no such alert", value
            assert time.monotonic() < deadline, "no alert box appeared"
            time.sleep(0.2)

    def run_async(self, script):
        return self.must("POST", self.session + "/execute/async", {"script": script, "args": []})


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    if not CHROMIUM or not CHROMEDRIVER:
        pytest.skip("chromium or chromium-driver is missing")
    root = tmp_path_factory.mktemp("browser")
    home, config, data, runtime, tmp = (root / n for n in ("home", "config", "data", "run", "tmp"))
    for folder in (home, data, runtime, tmp):
        folder.mkdir(mode=0o700)
    for _ in range(2):
        result = trust(home)
        assert result.returncode == 0, result.stderr
    assert nss_entries(home / ".pki" / "nssdb")[0] == ["C,,"]
    ini = config / "Dravik" / "DravikPluginZRT" / "DravikPluginHost.ini"
    ini.parent.mkdir(parents=True)
    ini.write_text(f"[Log]\nFileName={root / 'host.log'}\n", encoding="utf-8")
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DRAVIK_UI_ANSWERS")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(config), XDG_DATA_HOME=str(data),
               XDG_RUNTIME_DIR=str(runtime), TMPDIR=str(tmp), DRAVIK_HEADLESS="1",
               DRAVIK_UI_TRANSCRIPT=str(root / "transcript.txt"))

    namespace = Namespace(f"dravik-e2e-{os.getpid()}")
    processes, site, driver = [], None, None
    log = open(root / "processes.log", "wb")
    try:
        for command in ([PROGRAM], [CHROMEDRIVER, f"--port={DRIVER_PORT}"]):
            processes.append(namespace.popen(command, env=env, stdout=log, stderr=log))
        wait_for("the program", lambda: namespace.call(answers, HTTPS_PORT), processes[0])
        wait_for("chromedriver", lambda: namespace.call(answers, DRIVER_PORT), processes[1])
        site = namespace.call(http.server.ThreadingHTTPServer, ("127.0.0.1", OTHER_PORT), OtherSite)
        threading.Thread(target=site.serve_forever, daemon=True).start()
        driver = WebDriver(namespace, f"http://127.0.0.1:{DRIVER_PORT}")
        driver.start(root / "chromium-profile")
        yield namespace, driver, root
    finally:
        if driver:
            driver.stop()
        if site:
            site.shutdown()
            site.server_close()
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        log.close()
        namespace.close()


def direct_reply(namespace, method, path, origin, body=""):
    """The same request sent by the test itself, for what the browser cannot show."""

    def send():
        connection = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=10)
        try:
            connection.request(method, path, body=body.encode(), headers={"Origin": origin})
            reply = connection.getresponse()
            return reply.status, reply.getheaders(), reply.read().decode("utf-8")
        finally:
            connection.close()

    return namespace.call(send)


def transcript(root):
    path = root / "transcript.txt"
    return path.read_text(encoding="utf-8").splitlines() if path.exists() else []


def test_browser_test_page_buttons_show_the_program_replies_in_alert_boxes(world):
    namespace, driver, _ = world

    assert driver.open(PAGE_URL) == PAGE_TITLE

    driver.click_button("GET /api/v1/version")
    assert driver.alert_text() == f'{SUCCESS_PREFIX}"{project_version()}" }}'

    driver.click_button("POST /api/v1/systeminfo")
    shown = driver.alert_text()
    _, _, expected = direct_reply(namespace, "POST", "/api/v1/systeminfo",
                                  f"https://{SERVER_HOST}:{HTTPS_PORT}", SYSTEMINFO_BODY)
    assert shown == expected
    assert json.loads(shown)["data"]["ipAddrees"] == "127.0.0.1"


def test_browser_page_of_another_origin_gets_no_readable_reply_and_nothing_is_allowed(world):
    namespace, driver, root = world

    assert driver.open(OTHER_ORIGIN + "/") == "elsewhere"
    for method, path, body in (("GET", "/api/v1/version", None),
                               ("POST", "/api/v1/systeminfo", SYSTEMINFO_BODY)):
        outcome = driver.run_async(f"""
            const done = arguments[arguments.length - 1];
            fetch("https://{SERVER_HOST}:{HTTPS_PORT}{path}",
                  {{method: "{method}", body: {json.dumps(body)},
                   headers: {{"Content-Type": "text/plain"}}}})
              .then(reply => reply.text().then(text => done("read " + reply.status + " " + text)),
                    error => done("refused " + error.name));""")

        assert outcome == "refused TypeError", path

    # The program was asked about the other origin and refused it: 403 without CORS lines.
    questions = transcript(root)
    assert any(OTHER_ORIGIN in line for line in questions), questions
    status, headers, body = direct_reply(namespace, "GET", "/api/v1/version", OTHER_ORIGIN)
    assert (status, body) == (403, REFUSED_BODY)
    assert not [name for name, _ in headers if name.lower().startswith("access-control-")]
    assert all(line.endswith("\tno") for line in transcript(root)), transcript(root)
