"""Black-box tests of inputs from outside the program: the key containers of outside clients
that run under the compatibility layer in a prefix of their own, and an enciphered PEM block
sent by a page while the program runs on a terminal."""

import base64
import fcntl
import json
import os
import select
import shutil
import struct
import subprocess
import termios
import time

import pytest

from test_api_entrance import exchange
from test_program import pytestmark, sandbox  # noqa: F401 (fixture, skip mark)


def openssl(*args):
    return subprocess.run(["openssl", *args], check=True, capture_output=True).stdout


def self_signed_der(folder, name):
    """A self-signed certificate made with the openssl command line, as DER bytes."""
    key, cert = folder / f"{name}.key.pem", folder / f"{name}.cert.pem"
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", str(key), "-out", str(cert), "-days", "2", "-subj", f"/CN={name}")
    return openssl("x509", "-in", str(cert), "-outform", "DER")


def pem(label, der):
    body = base64.b64encode(der).decode("ascii")
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    return f"-----BEGIN {label}-----\n" + "\n".join(lines) + f"\n-----END {label}-----\n"


def call(box, route, body):
    status, _, reply = exchange(box, "POST", f"/api/v1/{route}", body=json.dumps(body).encode())
    return status, json.loads(reply.decode("utf-8")) if reply else None


class FakeClient:
    """A process that looks like RMClient running under the compatibility layer: its program
    file is a loader named "wine", its first argument the client's own program path."""

    def __init__(self, root, prefix):
        loader = root / "layer" / "wine"
        loader.parent.mkdir(exist_ok=True)
        shutil.copy("/bin/sleep", loader)
        self.loader = loader
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "WINEPREFIX": str(prefix)}
        self.process = None

    def start(self, program, cwd):
        self.process = subprocess.Popen([program, "300"], executable=str(self.loader),
                                        env=self.env, cwd=str(cwd))
        # Wait until the process runs the loader, not Python's fork of the test.
        link = f"/proc/{self.process.pid}/exe"
        deadline = time.monotonic() + 5
        while os.path.realpath(link) != str(self.loader.resolve()):
            assert time.monotonic() < deadline, "the fake client did not start"
            time.sleep(0.02)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def compatibility_prefix(box):
    """An empty compatibility prefix whose drive C: is its drive_c."""
    prefix = box.root / "client-prefix"
    (prefix / "drive_c").mkdir(parents=True)
    (prefix / "dosdevices").mkdir()
    (prefix / "dosdevices" / "c:").symlink_to("../drive_c")
    return prefix


def client_prefix(box):
    """A compatibility prefix of the client's: drive C: is its drive_c, where RMClient keeps
    its configuration (CP1251, an upper-case section name) and files whose names differ in
    letter case from those its configuration gives."""
    prefix = compatibility_prefix(box)
    install = prefix / "drive_c" / "RMClient"
    keys = install / "keys"
    (install / "LC").mkdir(parents=True)
    keys.mkdir()
    main, second = self_signed_der(box.root, "Main"), self_signed_der(box.root, "Second")
    (keys / "main.cer").write_bytes(main)
    (keys / "second.pem").write_text(pem("CERTIFICATE", second))
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-outform",
            "DER", "-out", str(keys / "user.key"))
    (install / "LC" / "Подпись.ini").write_bytes(
        "[ПОДПИСЬ]\r\n"
        "Main_PSEDIR(17)=C:\\rmclient\\KEYS\r\n"
        "Main_CERT(16)=C:\\rmclient\\KEYS\\Main.CER\r\n"
        "Second_PSEDIR(17)=keys\r\n"
        "Second_CERT(16)=\\rmclient\\Keys\\Second.PEM\r\n"
        "Key_PSEDIR(17)=keys\r\n"
        "Key_CERT(16)=keys\\user.key\r\n".encode("cp1251"))
    return prefix, install, main, second


@pytest.mark.parametrize("started_by", ["full path", "relative name"])
def test_key_containers_of_a_client_in_its_own_prefix_answer_only_certificates(sandbox,
                                                                            started_by):
    sandbox.env.pop("WINEPREFIX", None)
    prefix, install, main, second = client_prefix(sandbox)
    client = FakeClient(sandbox.root, prefix)
    try:
        if started_by == "full path":
            client.start("C:\\RMClient\\rmclient.exe", sandbox.root)
        else:
            client.start("rmclient.exe", install)
        sandbox.start_first()

        status, reply = call(sandbox, "keycontainers/sft", {})
    finally:
        client.stop()

    assert status == 200, reply
    assert reply["error"] == {"code": 0, "text": "success"}
    drive = f"{prefix}/dosdevices/c:"
    listed = [(person["name"], person["keyContainers"][0]["containerInfo"]["certPath"],
               person["keyContainers"][0]["X509data"]) for person in reply["data"]["persons"]]
    assert listed == [
        ("Main", f"{drive}/rmclient/KEYS/Main.CER", base64.b64encode(main).decode()),
        ("Second", f"{drive}/rmclient/Keys/Second.PEM", base64.b64encode(second).decode()),
        ("Key", f"{drive}/RMClient/keys/user.key", ""),
    ]


def interpro_prefix(box, general):
    """A compatibility prefix in which InterPro is installed in C:\\InterPro, its interpro.ini
    holding the [General] lines given."""
    prefix = compatibility_prefix(box)
    install = prefix / "drive_c" / "InterPro"
    install.mkdir()
    (install / "interpro.ini").write_bytes(("[General]\r\n" + general).encode("cp1251"))
    return prefix, install


def cnf(*contexts, number=None):
    """A configuration file's text: its contexts as (name, certificate) pairs, all with a key
    store; the context number as given, else theirs."""
    text = f"[SSL]\r\nContextsNumber={len(contexts) if number is None else number}\r\n"
    for k, (name, certificate) in enumerate(contexts, 1):
        text += f"[SSLContext{k}]\r\nName={name}\r\nUsePSE=1\r\nCertificate={certificate}\r\n"
    return text.encode("cp1251")


def list_with_interpro(box, prefix):
    client = FakeClient(box.root, prefix)
    try:
        client.start("C:\\InterPro\\intpro.exe", box.root)
        box.start_first()
        return call(box, "keycontainers/sft", {})
    finally:
        client.stop()


def test_key_containers_every_file_context_and_certificate_is_listed(sandbox):
    prefix, install = interpro_prefix(sandbox, "Other=1\r\n")
    der = self_signed_der(sandbox.root, "Padded")
    # A certificate followed by padding, far past the few kilobytes of one.
    (install / "padded.pem").write_text(pem("CERTIFICATE", der) + "\n" * 100_000)
    contexts = [("Padded", "C:\\InterPro\\padded.pem")]
    contexts += [(f"P{k}", "") for k in range(2, 301)]
    (install / "main.cnf").write_bytes(cnf(*contexts))
    for n in range(69):
        (install / f"other{n}.cnf").write_bytes(cnf((f"Other{n}", "")))

    status, reply = list_with_interpro(sandbox, prefix)

    assert status == 200, reply
    persons = reply["data"]["persons"]
    assert len(persons) == 300 + 69
    padded = [p for p in persons if p["name"] == "Padded"]
    assert [p["keyContainers"][0]["X509data"] for p in padded] == [
        base64.b64encode(der).decode()]
    assert "ReadConfig - ContextsNumber=300\n" in sandbox.log_text()


def test_key_containers_certificate_that_cannot_be_read_answers_500_with_the_error(sandbox):
    prefix, install = interpro_prefix(sandbox, "")
    (install / "certs" / "main.cer").mkdir(parents=True)  # a folder where the file should be
    (install / "main.cnf").write_bytes(cnf(("Main", "certs\\main.cer")))

    status, reply = list_with_interpro(sandbox, prefix)

    assert status == 500, reply
    folder = prefix / "dosdevices" / "c:" / "InterPro" / "certs" / "main.cer"
    assert reply["code"] == "99"
    assert reply["text"].endswith(f'EFOpenError: Cannot open file "{folder}". Is a directory)')


@pytest.mark.parametrize("selected, listed", [
    ("sub\\d", ["In sub"]),  # C:\InterPro\Sub\D.CNF, found without letter case
    ("sub\\..\\..\\escape", None),  # nothing outside the install folder
    ("\\escape", None),
])
def test_key_containers_selected_configuration_in_a_sub_folder(sandbox, selected, listed):
    prefix, install = interpro_prefix(sandbox, f"SelectConfig=0\r\nSelectedConfig={selected}\r\n")
    (install / "Sub").mkdir()
    (install / "Sub" / "D.CNF").write_bytes(cnf(("In sub", "")))
    (install.parent / "escape.cnf").write_bytes(cnf(("Outside", "")))

    status, reply = list_with_interpro(sandbox, prefix)

    assert status == 200, reply
    if listed is None:
        assert reply["error"]["text"] == "TInterProConfig.Initialize FAILED!"
        assert "FindInterProCfg - Config file not found " in sandbox.log_text()
    else:
        assert reply["error"]["text"] == "success"
        assert [p["name"] for p in reply["data"]["persons"]] == listed


def enciphered_certificate_block():
    """A certificate block enciphered under a pass phrase, as a page can send it."""
    body = base64.b64encode(bytes(range(64)) * 4).decode("ascii")
    return ("-----BEGIN CERTIFICATE-----\n"
            "Proc-Type: 4,ENCRYPTED\n"
            "DEK-Info: AES-256-CBC,00112233445566778899AABBCCDDEEFF\n\n"
            + "\n".join(body[i:i + 64] for i in range(0, len(body), 64))
            + "\n-----END CERTIFICATE-----\n")


def start_on_terminal(box, terminal):
    """Starts the program with the pseudo-terminal as its controlling terminal and stdin."""
    def own_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    output = open(box.root / "output.txt", "wb")
    process = subprocess.Popen([os.environ["DRAVIK_PROGRAM"]], env=box.env, stdin=terminal,
                               stdout=output, stderr=output, preexec_fn=own_terminal)
    output.close()
    box.processes.append(process)
    deadline = time.monotonic() + 30
    while not box.port_answers(box.http_port):
        assert process.poll() is None, "the program ended at start"
        assert time.monotonic() < deadline, "the HTTP port did not answer in time"
        time.sleep(0.1)


def test_initkey_enciphered_pem_on_a_terminal_answers_without_touching_it(sandbox):
    master, terminal = os.openpty()
    try:
        attributes = termios.tcgetattr(terminal)
        attributes[3] &= ~termios.ECHO  # what the user types is not echoed back to the test
        termios.tcsetattr(terminal, termios.TCSANOW, attributes)
        start_on_terminal(sandbox, terminal)
        typed = b"the next line the user types\n"
        os.write(master, typed)

        # The request's socket time-out guards against a program waiting on the terminal.
        status, reply = call(sandbox, "initkey", {
            "X509data": enciphered_certificate_block(), "signType": "", "authData": ""})

        written = b""
        while select.select([master], [], [], 0.5)[0]:
            chunk = os.read(master, 4096)
            if not chunk:
                break
            written += chunk
        waiting = struct.unpack("i", fcntl.ioctl(terminal, termios.FIONREAD, b"\0\0\0\0"))[0]
    finally:
        os.close(master)
        os.close(terminal)

    assert status != 200 or reply.get("error", {}).get("code") != 0, reply
    assert written == b""
    assert waiting == len(typed)
