"""Black-box tests of GOST R 34.10-2012 keys in the headless program of the test-hook build, on
Debian's gost engine: a key made by generatekey for each GOST provider name, its request
certified by a GOST test CA made here with the openssl command line, then signatures from
initkey, signpreinit and sign and their checks through the API.

Every CMS signature the program makes is verified twice: by `openssl cms -verify` under the gost
engine and by node-gost-crypto 1.0.2 run by node (gost_verify.js), which shares no code with
OpenSSL. The test command installs that package under the test build (build/test/node); without
it, or without node, these tests fail and say so."""

import base64
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from test_program import PROGRAM, pytestmark, sandbox  # noqa: F401 (fixture, mark)
from test_signing_road import (AUTH_HEADER, SUCCESS, call, confirmations, openssl, pem,
                               sign_in_one_step_and_in_session, use_store)
from test_signing_road import certify as signing_road_certify

HERE = Path(__file__).resolve().parent
VERIFIER = "node-gost-crypto"
VERIFIER_VERSION = "1.0.2"
CA_CN = "Dravik GOST test CA"
SUBJECT_CN = "Проверка ГОСТ"
BAD_SIGNATURE = ("200", "Подпись не верна [60] (")
CHAIN_ERROR = ("201", "Ошибка при проверке цепочки сертификатов [49] (")


@pytest.fixture(scope="module")
def node_verifier():
    """The node command and the node_modules folder holding the pinned package: by default the
    one under the program's build tree, or DRAVIK_NODE_MODULES."""
    node = shutil.which("node") or shutil.which("nodejs")
    default = Path(PROGRAM).resolve().parent.parent / "node" / "node_modules"
    modules = Path(os.environ.get("DRAVIK_NODE_MODULES") or default)
    install = (f"npm install --prefix {modules.parent} {VERIFIER}@{VERIFIER_VERSION} "
               "(tools/dev.sh test does this)")
    if not node:
        pytest.fail("node is missing: the GOST signatures cannot be verified (Debian package "
                    "nodejs)")
    package = modules / VERIFIER / "package.json"
    if not package.is_file():
        pytest.fail(f"{VERIFIER} is not installed in {modules}: {install}")
    version = json.loads(package.read_text(encoding="utf-8")).get("version")
    if version != VERIFIER_VERSION:
        pytest.fail(f"{modules} holds {VERIFIER} {version}, not {VERIFIER_VERSION}: {install}")
    return node, str(modules)


def engine_openssl(command, *args, **kwargs):
    return openssl(command, "-engine", "gost", *args, **kwargs)


def make_gost_ca(folder, name):
    """A self-signed GOST R 34.10-2012 256-bit CA on CryptoPro A; its certificate and key."""
    ca, key = folder / f"{name}.pem", folder / f"{name}.key"
    engine_openssl("genpkey", "-algorithm", "gost2012_256", "-pkeyopt", "paramset:A",
                   "-out", str(key))
    engine_openssl("req", "-x509", "-new", "-key", str(key), "-md_gost12_256", "-days", "2",
                   "-subj", f"/CN={name} {CA_CN}", "-out", str(ca),
                   "-addext", "basicConstraints=critical,CA:TRUE",
                   "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return ca, key


def described_request(folder, request_pem):
    """openssl's text of a certificate request, its self-signature checked."""
    csr = folder / "user.csr"
    csr.write_text(request_pem)
    result = engine_openssl("req", "-in", str(csr), "-noout", "-text", "-verify", text=True)
    return result.stderr + result.stdout


def certify(folder, ca, ca_key, request_pem):
    """The GOST CA's certificate for the request: the path of its DER, and its Base64."""
    cert = signing_road_certify(folder, ca, ca_key, request_pem, "-engine", "gost",
                                "-md_gost12_256")
    der = folder / "user.der"
    der.write_bytes(base64.b64decode(cert))
    return der, cert


def verdicts(verifier, folder, ca, cert_der, mode, signature_b64, content):
    """What openssl (for CMS) and node-gost-crypto say of a signature of the content by the
    certificate's key: "verified", or their reasons."""
    sig, data = folder / "signature.bin", folder / "content.bin"
    sig.write_bytes(base64.b64decode(signature_b64))
    data.write_bytes(content)
    said = []
    if mode == "cms":
        result = subprocess.run(
            ["openssl", "cms", "-engine", "gost", "-verify", "-binary", "-inform", "DER",
             "-in", str(sig), "-content", str(data), "-CAfile", str(ca), "-purpose", "any",
             "-out", "/dev/null"], capture_output=True, text=True)
        said.append("verified" if result.returncode == 0 else result.stderr.strip())
    node, modules = verifier
    result = subprocess.run([node, str(HERE / "gost_verify.js"), modules, mode, str(sig),
                             str(data), str(cert_der)], capture_output=True, text=True)
    said.append(result.stdout.strip() or result.stderr.strip())
    return said


def b64(data):
    return base64.b64encode(data).decode("ascii")


@pytest.mark.parametrize("provider, key_algorithm, parameter_set, digest", [
    pytest.param("Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
                 "GOST R 34.10-2012 with 256 bit modulus",
                 "id-GostR3410-2001-CryptoPro-A-ParamSet", "GOST R 34.11-2012 (256 bit)",
                 id="256"),
    pytest.param("Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider",
                 "GOST R 34.10-2012 with 512 bit modulus",
                 "GOST R 34.10-2012 (512 bit) ParamSet A", "GOST R 34.11-2012 (512 bit)",
                 id="512"),
])
def test_gost_key_from_generation_to_verified_signatures(sandbox, node_verifier, provider,
                                                        key_algorithm, parameter_set, digest):
    use_store(sandbox)
    sandbox.env["DRAVIK_UI_ANSWERS"] = "yes;yes;yes;yes;yes"
    sandbox.start_first()
    folder = sandbox.root
    ca, ca_key = make_gost_ca(folder, "issuer")

    # The provider name alone chooses the key: the RSA request type and length are not read.
    status, generated = call(sandbox, "generatekey", {
        "subject": [{"commonName": SUBJECT_CN, "country": "RU"}], "keyAlg": "RSA",
        "keyLength": "2048", "containerName": "gost", "cryptoProvider": provider,
        "keyUsageTypes": "DIGITAL_SIGNATURE,NON_REPUDIATION"})
    assert status == 200, generated
    assert generated["error"] == SUCCESS
    request = pem("CERTIFICATE REQUEST", generated["data"]["request"])
    described = described_request(folder, request)
    assert "self-signature verify OK" in described
    assert f"Public Key Algorithm: {key_algorithm}\n" in described
    assert f"Parameter set: {parameter_set}\n" in described
    assert f"Signature Algorithm: GOST R 34.10-2012 with {digest}\n" in described
    cert_der, cert = certify(folder, ca, ca_key, request)

    def both_verify(mode, signature, content):
        expected = ["verified"] * (2 if mode == "cms" else 1)
        assert verdicts(node_verifier, folder, ca, cert_der, mode, signature, content) == expected

    # The session's authorisation data, and documents signed in one step and in the session.
    auth = bytes(range(100))
    status, init = call(sandbox, "initkey", {
        "X509data": cert, "signType": "CAdES_BES", "authData": b64(auth)})
    assert status == 200, init
    session = init["data"]["keySessID"]
    status, info = call(sandbox, "certinfo", {"keySessID": session})
    assert status == 200, info
    header = AUTH_HEADER.format(cn=SUBJECT_CN, icn=f"issuer {CA_CN}",
                                sn=info["data"]["serialNumber"])
    both_verify("cms", init["data"]["signData"], header.encode("cp1251") + auth)

    documents = [b"first document", "второй документ".encode("utf-8")]
    lines = [b64(d) for d in documents]
    pre, signed = sign_in_one_step_and_in_session(sandbox, cert, session, "CAdES_BES", lines)
    for reply in (pre, signed):
        assert [item["signType"] for item in reply["data"]] == ["CAdES_BES"] * 2
        for item, document in zip(reply["data"], documents):
            both_verify("cms", item["data"], document)

    # The raw signature: s then r, each big-endian, as the gost engine writes it.
    status, plain = call(sandbox, "sign", {"keySessID": session, "signType": "PLAIN",
                                           "data": lines[:1]})
    assert status == 200, plain
    assert plain["data"][0]["signType"] == "PLAIN"
    plain_signature = plain["data"][0]["data"]
    both_verify("raw", plain_signature, documents[0])

    # The program's own verdicts: its signatures, over changed content, and with a chain that
    # does not hold the signer's issuer.
    stranger, _ = make_gost_ca(folder, "stranger")
    cms_signature = signed["data"][0]["data"]
    changed = b64(b"changed document")
    for sign_type, signature, content, cas, expected in [
        ("CAdES_BES", cms_signature, lines[0], [ca], None),
        ("PLAIN", plain_signature, lines[0], [ca], None),
        ("CAdES_BES", cms_signature, changed, [ca], BAD_SIGNATURE),
        ("PLAIN", plain_signature, changed, [ca], BAD_SIGNATURE),
        ("CAdES_BES", cms_signature, lines[0], [stranger], CHAIN_ERROR),
    ]:
        status, verdict = call(sandbox, "check", {
            "providerInfo": {}, "certificate": cert if sign_type == "PLAIN" else "",
            "data": [content], "CRLs": [], "certificatesCA": [path.read_text() for path in cas],
            "signedData": [{"signType": sign_type, "data": signature}], "checkFlags": ""})
        assert status == 200, verdict
        case = (sign_type, content == changed, cas[0].stem)
        if expected is None:
            assert verdict == {"error": SUCCESS, "data": ""}, case
        else:
            assert (verdict["code"], verdict["text"][:len(expected[1])]) == expected, case

    assert [(routine, answer) for routine, _, answer in confirmations(sandbox)] == [
        ("ConfirmGenerateKey", "yes"), ("ConfirmInitKey", "yes"),
        ("ConfirmSignPreInit", "yes"), ("ConfirmSign", "yes"), ("ConfirmSign", "yes")]
