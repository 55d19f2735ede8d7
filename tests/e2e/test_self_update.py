"""Black-box tests of the self-update in the headless program: the test-hook switches
DRAVIK_TEST_UPDATE_URL and DRAVIK_TEST_UPDATE_CA point the update check at a local HTTPS
endpoint made here with a CA of the test; the installer is a script that writes down how it
was started, stamped with a version block."""

import http.server
import ssl
import subprocess
import threading
import time
import zlib

import pytest

from test_api_entrance import exchange, project_version, transcript
from test_program import Sandbox, pytestmark, sandbox, wait_until  # noqa: F401 (fixture, skip mark)

MANIFEST_PATH = "/win-download/DravikPluginUpdateManifest.json"
INSTALLER_PATH = "/win-download/DravikPluginSetupZRT.exe"
UPDATE_BODY = '{ "code" : "7", "text" : "Сервис заблокирован, идет процесс обновления" }'
WAIT_S = 20.0


def version_block(entries):
    """The version block of platform/VersionBlock.h for the entries (plain ASCII values)."""
    payload = ";".join(f"{key}={value}" for key, value in entries.items())
    crc = zlib.crc32(payload.encode("ascii")) & 0xFFFFFFFF
    return "{DravikVersion" + f"Block:1:{len(payload):08X}:{crc:08X}:{payload}" + "}"


def newer(version):
    parts = [int(p) for p in version.split(".")] + [0] * 4
    parts = parts[:4]
    parts[3] += 1
    return ".".join(str(p) for p in parts)


def make_tls(folder):
    """A test CA and a certificate for 127.0.0.1 issued by it; gives (ca, cert, key) paths."""
    ca_key, ca, key, csr, cert = (folder / n for n in ("ca.key", "ca.pem", "srv.key", "srv.csr",
                                                         "srv.pem"))
    ext = folder / "srv.ext"
    ext.write_text("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(ca_key), "-out",
            str(ca), "-days", "2", "-subj", "/CN=Dravik update test CA")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out", str(csr),
            "-subj", "/CN=127.0.0.1")
    openssl("x509", "-req", "-in", str(csr), "-CA", str(ca), "-CAkey", str(ca_key),
            "-CAcreateserial", "-out", str(cert), "-days", "2", "-extfile", str(ext))
    return ca, cert, key


class UpdateEndpoint:
    """An HTTPS server on a free loopback port that serves the scripted files by path and
    records the paths asked for."""

    def __init__(self, folder):
        self.ca, cert, key = make_tls(folder)
        self.files = {}
        self.requests = []
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                endpoint.requests.append(self.path)
                status, body = endpoint.files.get(self.path, (404, b"not here"))
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(str(cert), str(key))
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return f"https://127.0.0.1:{self.server.server_address[1]}"

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def endpoint(tmp_path):
    folder = tmp_path / "endpoint"
    folder.mkdir()
    server = UpdateEndpoint(folder)
    yield server
    server.close()


def point_at(box, server):
    box.env["DRAVIK_TEST_UPDATE_URL"] = server.url
    box.env["DRAVIK_TEST_UPDATE_CA"] = str(server.ca)


def wait_for(condition, what):
    wait_until(condition, WAIT_S, what)


def test_newer_release_installer_started_unattended_and_api_refused_with_423(sandbox, endpoint):
    release = newer(project_version())
    marker = sandbox.root / "installer-ran.txt"
    script = (f'#!/bin/sh\nprintf "%s|" "$@" > "{marker}.part"\npwd >> "{marker}.part"\n'
              f'mv "{marker}.part" "{marker}"\n')
    installer = script + "# " + version_block({"FileVersion": release}) + "\n"
    endpoint.files[MANIFEST_PATH] = (200, ('{ "minimalDravikPluginVersion" : "%s" }'
                                           % release).encode())
    endpoint.files[INSTALLER_PATH] = (200, installer.encode())
    point_at(sandbox, endpoint)
    sandbox.start_first()

    wait_for(marker.exists, "the installer's start")

    assert marker.read_text() == f"--mode|unattended|--unattendedmodeui|none|{sandbox.tmp}\n"
    saved = sandbox.tmp / "DravikPluginSetupZRT00000.tmp"
    assert saved.read_bytes() == installer.encode()
    assert saved.stat().st_mode & 0o777 == 0o700
    assert endpoint.requests == [MANIFEST_PATH, INSTALLER_PATH]
    log = sandbox.log_text()
    assert f"AutoUpdate: manifest version: {release}" in log
    assert f"AutoUpdate: installer downloaded: {saved}" in log
    status, _, body = exchange(sandbox, "GET", "/api/v1/version")
    assert status == 423
    assert body.decode("utf-8") == UPDATE_BODY


@pytest.mark.parametrize(
    "manifest, record, shown",
    [
        ((404, b"not here"), "AutoUpdate: Error downloading manifest: 404", False),
        ((200, b"<html>maintenance</html>"),
         "AutoUpdate: Error parsing manifest: <html>maintenance</html>", True),
    ],
    ids=["manifest-404", "manifest-html"],
)
def test_failed_check_logged_flag_cleared_and_only_a_parse_error_shown(
        sandbox, endpoint, manifest, record, shown):
    endpoint.files[MANIFEST_PATH] = manifest
    point_at(sandbox, endpoint)
    sandbox.start_first()

    wait_for(lambda: record in sandbox.log_text(), "the failed check's record")
    time.sleep(0.5)

    status, _, _ = exchange(sandbox, "GET", "/api/v1/version")
    assert status == 200
    assert endpoint.requests == [MANIFEST_PATH]
    errors = [line for line in transcript(sandbox).splitlines()
              if "Ошибки возникли при разборе манифеста обновления." in line]
    assert len(errors) == (1 if shown else 0)


def test_same_version_no_installer_asked_for(sandbox, endpoint):
    endpoint.files[MANIFEST_PATH] = (200, ('{ "minimalDravikPluginVersion" : "%s" }'
                                           % project_version()).encode())
    point_at(sandbox, endpoint)
    sandbox.start_first()

    wait_for(lambda: "AutoUpdate: manifest version:" in sandbox.log_text(), "the check")
    time.sleep(0.5)

    assert endpoint.requests == [MANIFEST_PATH]
    assert exchange(sandbox, "GET", "/api/v1/version")[0] == 200
    assert not list(sandbox.tmp.glob("DravikPluginSetupZRT*"))
