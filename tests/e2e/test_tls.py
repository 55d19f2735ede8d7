"""Black-box test of what the HTTPS listener offers: TLS 1.2 only with forward-secret AEAD
suites, chosen in the server's order, and TLS 1.3."""

import socket
import ssl

import pytest

from test_program import TRUSTED_ORIGIN, Sandbox, pytestmark as program_mark

pytestmark = program_mark


@pytest.fixture(scope="module")
def box(tmp_path_factory):
    sandbox = Sandbox(tmp_path_factory.mktemp("tls"))
    sandbox.wait_serving(sandbox.start(), lambda: sandbox.port_answers(sandbox.https_port))
    yield sandbox
    sandbox.stop_all()


def handshake(port, ciphers):
    """Connects with TLS 1.2 and the given suites (TLS 1.3 when `ciphers` is None), asks for
    the version and gives the suite, the protocol and the reply's status line."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if ciphers is None:
        context.minimum_version = ssl.TLSVersion.TLSv1_3
    else:
        context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.set_ciphers(ciphers)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw) as tls:
            tls.sendall(b"GET /api/v1/version HTTP/1.1\r\nOrigin: " + TRUSTED_ORIGIN.encode() +
                        b"\r\n\r\n")
            status = tls.recv(4096).split(b"\r\n", 1)[0]
            return tls.cipher()[0], tls.version(), status


@pytest.mark.parametrize("ciphers, chosen", [
    pytest.param("AES128-GCM-SHA256:AES256-GCM-SHA384", None, id="static RSA refused"),
    pytest.param("AES128-SHA:AES256-SHA256", None, id="static RSA CBC refused"),
    pytest.param("ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES256-SHA384", None,
                 id="ECDHE CBC refused"),
    pytest.param("DHE-RSA-AES128-GCM-SHA256:DHE-RSA-CHACHA20-POLY1305", None,
                 id="finite-field DHE refused"),
    pytest.param("ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256",
                 "ECDHE-RSA-AES128-GCM-SHA256", id="server order over the client's"),
    pytest.param("AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384",
                 "ECDHE-RSA-AES256-GCM-SHA384", id="server order puts ChaCha20 last"),
    pytest.param("ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256",
                 "ECDHE-RSA-CHACHA20-POLY1305", id="ChaCha20 for a client that puts it first"),
    pytest.param(None, "TLS_AES_256_GCM_SHA384", id="TLS 1.3"),
])
def test_https_offers_forward_secret_aead_suites_in_server_order(box, ciphers, chosen):
    if chosen is None:
        with pytest.raises(ssl.SSLError, match="HANDSHAKE_FAILURE|NO_SHARED_CIPHER"):
            handshake(box.https_port, ciphers)
        return
    suite, version, status = handshake(box.https_port, ciphers)
    assert (suite, version, status) == (
        chosen, "TLSv1.2" if ciphers else "TLSv1.3", b"HTTP/1.0 200")
