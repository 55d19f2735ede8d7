"""Black-box tests of the signing road in the headless program of the test-hook build: key
generation with its certificate request, a certificate from a test CA made here with the
openssl command line, a key session that signs CMS signatures which openssl accepts, their
verification, the certificate routes and the system information; and the refusals, scripted
("no") and headless (no answers at all), under which nothing is ever signed.

The scripted presenter answers the questions in order from DRAVIK_UI_ANSWERS and writes each
one to the transcript; DRAVIK_KEYSTORE points the plugin library at a key store of the test."""

import base64
import json
import subprocess
import textwrap

import pytest

from test_api_entrance import exchange, transcript
from test_program import Sandbox, pytestmark, sandbox  # noqa: F401 (fixture, skip mark)

REFUSED = {"code": "100", "text": "Пользователь отказал в доступе к ключам"}
SUCCESS = {"code": 0, "text": "success"}
SUBJECT_CN = "Проверка дороги"
CA_CN = "Dravik road test CA"
AUTH_HEADER = ("User Authorization Data. Certificate Info: SUBJECT {cn}, ISSUER {icn}, "
               "SERIALNUMBER {sn}. Unique authorization key: ")


def openssl(*args, **kwargs):
    return subprocess.run(["openssl", *args], check=True, capture_output=True, **kwargs)


def make_ca(folder):
    """A self-signed test CA; gives the paths of its certificate and key."""
    ca, key = folder / "ca.pem", folder / "ca.key"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out",
            str(ca), "-days", "2", "-subj", f"/CN={CA_CN}")
    return ca, key


def certify(folder, ca, ca_key, request_pem, *options):
    """The CA's certificate for a PEM certificate request, as Base64 of its DER; the options
    go to `openssl x509` (an engine, a digest)."""
    csr, cert, ext = folder / "user.csr", folder / "user.pem", folder / "user.ext"
    csr.write_text(request_pem)
    ext.write_text("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n")
    openssl("x509", *options, "-req", "-in", str(csr), "-CA", str(ca), "-CAkey", str(ca_key),
            "-CAcreateserial", "-days", "2", "-extfile", str(ext), "-out", str(cert))
    der = openssl("x509", "-in", str(cert), "-outform", "DER").stdout
    return base64.b64encode(der).decode("ascii")


def pem(label, b64):
    body = "\n".join(textwrap.wrap(b64, 64))
    return f"-----BEGIN {label}-----\n{body}\n-----END {label}-----\n"


def cms_verifies(folder, ca, signature_b64, content):
    """Whether openssl accepts the detached CMS signature of the content against the CA."""
    sig, data = folder / "sig.der", folder / "content.bin"
    sig.write_bytes(base64.b64decode(signature_b64))
    data.write_bytes(content)
    result = subprocess.run(
        ["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", str(sig), "-content",
         str(data), "-CAfile", str(ca), "-purpose", "any", "-out", "/dev/null"],
        capture_output=True)
    return result.returncode == 0


def prepared_store(box):
    """A key store with one container whose key has a certificate of a test CA; gives the
    certificate as Base64 of its DER."""
    container = box.root / "store" / "containers" / "prepared"
    container.mkdir(parents=True)
    ca, ca_key = make_ca(box.root)
    key = container / "key.pem"
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", str(key))
    key.chmod(0o600)
    request = openssl("req", "-new", "-key", str(key), "-subj", "/CN=Prepared").stdout
    cert = certify(box.root, ca, ca_key, request.decode("ascii"))
    (container / "cert.pem").write_text(pem("CERTIFICATE", cert))
    return cert


def call(box, route, body):
    status, _, reply = exchange(box, "POST", f"/api/v1/{route}", body=json.dumps(body).encode())
    return status, json.loads(reply.decode("utf-8")) if reply else None


def sign_in_one_step_and_in_session(box, cert, session, sign_type, lines):
    """The replies of signpreinit (with the sign type) and of sign in the session (with an
    empty one) for the same data lines; the signpreinit finds the session of the certificate."""
    status, pre = call(box, "signpreinit", {
        "keyInfo": {"X509data": cert}, "signType": sign_type, "data": lines})
    assert status == 200, pre
    assert pre["keySessID"] == session
    status, signed = call(box, "sign", {"keySessID": session, "signType": "", "data": lines})
    assert status == 200, signed
    return pre, signed


def confirmations(box):
    """(routine, question, answer) of each confirmation in the transcript."""
    lines = [line.split("\t") for line in transcript(box).splitlines()]
    return [(fields[1], fields[3], fields[-1]) for fields in lines if fields[0] == "confirm"]


def use_store(box):
    box.env["DRAVIK_KEYSTORE"] = str(box.root / "store")


def test_signing_road_key_to_verified_signature(sandbox):
    use_store(sandbox)
    sandbox.env["DRAVIK_UI_ANSWERS"] = "yes;yes;yes;yes"
    sandbox.start_first()
    ca, ca_key = make_ca(sandbox.root)

    # A key pair and its certificate request, after the user's consent.
    status, generated = call(sandbox, "generatekey", {
        "subject": [{"commonName": SUBJECT_CN, "country": "RU"}], "keyAlg": "RSA",
        "keyLength": "2048", "containerName": "road", "cryptoProvider": "",
        "keyUsageTypes": "DIGITAL_SIGNATURE,NON_REPUDIATION"})
    assert status == 200, generated
    assert generated["error"] == SUCCESS
    assert generated["data"]["containerName"] == "road"
    request_b64 = generated["data"]["request"]
    assert "\n" not in request_b64 and "-" not in request_b64
    assert (sandbox.root / "store" / "containers" / "road" / "key.pem").exists()
    cert = certify(sandbox.root, ca, ca_key, pem("CERTIFICATE REQUEST", request_b64))

    # A key session of that certificate (the library attaches it to the container), whose
    # authorisation data is signed.
    auth = bytes(range(100))
    status, init = call(sandbox, "initkey", {
        "X509data": cert, "signType": "CAdES_BES", "authData": base64.b64encode(auth).decode()})
    assert status == 200, init
    session = init["data"]["keySessID"]
    assert (sandbox.root / "store" / "containers" / "road" / "cert.pem").exists()

    # The session's certificate.
    status, info = call(sandbox, "certinfo", {"keySessID": session})
    assert status == 200, info
    described = info["data"]
    assert described["subject"]["commonName"] == SUBJECT_CN
    assert described["issuer"]["commonName"] == CA_CN
    assert described["body"] == cert
    header = AUTH_HEADER.format(cn=SUBJECT_CN, icn=CA_CN, sn=described["serialNumber"])
    assert cms_verifies(sandbox.root, ca, init["data"]["signData"], header.encode("cp1251") + auth)

    # Documents signed in one step and in the session.
    documents = [b"first document", "второй документ".encode("utf-8")]
    lines = [base64.b64encode(d).decode() for d in documents]
    pre, signed = sign_in_one_step_and_in_session(sandbox, cert, session, "cades_t", lines)
    # The sign type's canonical name; an empty one is CAdES_BES.
    for reply, sign_type in ((pre, "CAdES_T"), (signed, "CAdES_BES")):
        assert len(reply["data"]) == 2
        for item, document in zip(reply["data"], documents):
            assert item["signType"] == sign_type
            assert cms_verifies(sandbox.root, ca, item["data"], document)

    # The program verifies its own signature and refuses a tampered content.
    check = {"providerInfo": {}, "certificate": "", "data": [lines[0]], "CRLs": [],
             "certificatesCA": [ca.read_text()],
             "signedData": [{"signType": "CAdES_BES", "data": signed["data"][0]["data"]}],
             "checkFlags": ""}
    status, verified = call(sandbox, "check", check)
    assert (status, verified) == (200, {"error": SUCCESS, "data": ""})
    check["data"] = [base64.b64encode(b"tampered document").decode()]
    status, tampered = call(sandbox, "check", check)
    assert status == 200
    assert tampered["code"] == "200"
    assert tampered["text"].startswith("Подпись не верна [60] (")

    # The search finds the container's certificate.
    status, found = call(sandbox, "findcertificates", {"certificates": []})
    assert status == 200, found
    assert [c["body"] for c in found["certificates"]] == [cert]

    assert confirmations(sandbox) == [
        ("ConfirmGenerateKey", "Веб сайт dravik.localhost запрашивает доступ к операции "
         "«Генерация ключей»", "yes"),
        ("ConfirmInitKey", "Разрешить Интернет-приложению\\r\\nиспользовать ключ?", "yes"),
        ("ConfirmSignPreInit", "Разрешить Интернет-приложению использовать\\r\\nключ и "
         "выполнить подпись 2 документов?", "yes"),
        ("ConfirmSign", "Количество подписываемых документов: 2", "yes"),
    ]


def test_systeminfo_loopback_answers_the_system_without_a_question(sandbox):
    sandbox.start_first()

    status, info = call(sandbox, "systeminfo", {"ipAddress": "127.0.0.1"})

    assert status == 200, info
    assert info["error"] == SUCCESS
    assert info["data"]["OS"] == "Linux"
    assert info["data"]["OSVersion"].startswith("Linux ")
    assert info["data"]["ipAddrees"] == "127.0.0.1"
    assert info["data"]["macAddrees"] == ""
    assert confirmations(sandbox) == []


@pytest.mark.parametrize("answers", ["no;no;no", None], ids=["refused", "headless"])
def test_refused_or_unanswered_questions_answer_401_code_100_and_sign_nothing(sandbox, answers):
    use_store(sandbox)
    if answers is not None:
        sandbox.env["DRAVIK_UI_ANSWERS"] = answers
    cert = prepared_store(sandbox)
    sandbox.start_first()

    replies = [
        call(sandbox, "initkey", {"X509data": cert, "signType": "", "authData": ""}),
        call(sandbox, "signpreinit", {"keyInfo": {"X509data": cert}, "data": ["QQ=="]}),
        call(sandbox, "generatekey", {
            "subject": [{"commonName": "Nobody"}], "keyAlg": "EC", "keyLength": "",
            "containerName": "refused", "cryptoProvider": "", "keyUsageTypes": ""}),
    ]

    assert replies == [(401, REFUSED)] * 3
    assert [answer for _, _, answer in confirmations(sandbox)] == ["no"] * 3
    assert sorted(p.name for p in (sandbox.root / "store" / "containers").iterdir()) == [
        "prepared"]
    # The refused signpreinit opened a session without handing it out: a later initkey of
    # the same certificate asks for the key again, and is refused.
    status, again = call(sandbox, "initkey", {"X509data": cert, "signType": "", "authData": ""})
    assert (status, again) == (401, REFUSED)
