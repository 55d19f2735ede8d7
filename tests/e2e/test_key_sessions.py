"""Black-box tests of the key sessions in the headless program on a fast clock
(DRAVIK_TEST_CLOCK_SPEED, test-hook builds): the 15-minute key window that use does not
extend, signpreinit inside and outside it, the cleaner's release of an expired engine in the
plugin library, and the stop with live sessions, read from the plugin's call trace
(DRAVIK_PLUGIN_TRACE) and the host log."""

import json
import signal
import time

import pytest

from test_program import pytestmark, sandbox, wait_end, wait_until  # noqa: F401 (fixture, skip mark)
from test_signing_road import REFUSED, call, confirmations, prepared_store, use_store

# One minute of the program's clock per real second.
SPEED = 60


def at_minute(start, minute):
    """Sleeps until `minute` minutes of the program's clock have passed since `start`."""
    delay = start + minute * 60.0 / SPEED - time.monotonic()
    assert delay > 0, f"minute {minute} had passed already"
    time.sleep(delay)


def traced_commands(box):
    """The commands of phase 1 in the plugin's trace, and the entry-point lines."""
    path = box.root / "plugin-trace.jsonl"
    if not path.exists():
        return []
    calls = []
    for line in path.read_text(encoding="utf-8").splitlines():
        record = json.loads(line)
        if "entry" in record:
            calls.append((record["entry"], None, None))
        elif record.get("phase") == 1 and record.get("command"):
            command = record["command"]
            params = command.get("Params") or [{}]
            calls.append((command["Method"], command["ID"], params[0]))
    return calls


def signing_engine(box):
    """The ID of the engine that made the last CMS signature."""
    ids = [engine for method, engine, first in traced_commands(box)
           if method == "ExportCryptoObject" and first.get("DataType") == "61"]
    assert ids, "no signature in the trace"
    return ids[-1]


def released(box, engine):
    """Whether the trace holds the engine's "ClearCash" followed by its "Release"."""
    methods = [method for method, id_, _ in traced_commands(box) if id_ == engine]
    return "ClearCash" in methods and "Release" in methods[methods.index("ClearCash"):]


def start_with_store(box, answers):
    use_store(box)
    box.env["DRAVIK_UI_ANSWERS"] = ";".join(answers)
    box.env["DRAVIK_TEST_CLOCK_SPEED"] = str(SPEED)
    box.env["DRAVIK_PLUGIN_TRACE"] = str(box.root / "plugin-trace.jsonl")
    cert = prepared_store(box)
    box.start_first()
    return cert


def test_key_window_of_fifteen_minutes_neither_use_nor_signpreinit_extends_it(sandbox):
    cert = start_with_store(sandbox, ["yes", "yes", "no", "yes", "yes", "yes"])
    document = {"data": ["QQ=="], "signType": "CAdES_BES"}

    start = time.monotonic()
    status, init = call(sandbox, "initkey", {"X509data": cert, "signType": "", "authData": ""})
    assert status == 200, init
    session = init["data"]["keySessID"]

    # Inside the window signpreinit asks only its own question, whatever the answer, and the
    # refusal takes nothing that the initkey granted.
    at_minute(start, 9)
    status, pre = call(sandbox, "signpreinit", {"keyInfo": {"X509data": cert}, **document})
    assert status == 200, pre
    assert pre["keySessID"] == session
    status, refused = call(sandbox, "signpreinit", {"keyInfo": {"X509data": cert}, **document})
    assert (status, refused) == (401, REFUSED)
    at_minute(start, 11)
    status, signed = call(sandbox, "sign", {"keySessID": session, **document})
    assert status == 200, signed
    engine = signing_engine(sandbox)

    # The window ends 15 minutes after the initkey: the cleaner releases the engine in the
    # library, and the next sign asks for the key first.
    wait_until(lambda: "Releasing expired session certificate object ..." in sandbox.log_text(),
               10, "the cleaner's release")
    wait_until(lambda: released(sandbox, engine), 5, "the engine's release in the trace")
    at_minute(start, 17)
    status, again = call(sandbox, "sign", {"keySessID": session, **document})
    assert status == 200, again

    assert [(routine, answer) for routine, _, answer in confirmations(sandbox)] == [
        ("ConfirmInitKey", "yes"),
        ("ConfirmSignPreInit", "yes"),
        ("ConfirmSignPreInit", "no"),
        ("ConfirmSign", "yes"),
        ("ConfirmInitKey", "yes"),
        ("ConfirmSign", "yes"),
    ]


def test_signpreinit_outside_the_window_opens_it_on_consent_only(sandbox):
    cert = start_with_store(sandbox, ["no", "yes", "yes", "yes"])
    document = {"data": ["QQ=="], "signType": "CAdES_BES"}

    # Refused with no window open: its engine goes, and the session opens no window.
    status, refused = call(sandbox, "signpreinit", {"keyInfo": {"X509data": cert}, **document})
    assert (status, refused) == (401, REFUSED)
    engine = signing_engine_of_init(sandbox)
    wait_until(lambda: released(sandbox, engine), 5, "the refused request's engine released")

    start = time.monotonic()
    status, pre = call(sandbox, "signpreinit", {"keyInfo": {"X509data": cert}, **document})
    assert status == 200, pre
    # Consent opened the window: a sign 10 minutes later asks only to sign.
    at_minute(start, 10)
    status, signed = call(sandbox, "sign", {"keySessID": pre["keySessID"], **document})
    assert status == 200, signed

    assert [(routine, answer) for routine, _, answer in confirmations(sandbox)] == [
        ("ConfirmSignPreInit", "no"),
        ("ConfirmSignPreInit", "yes"),
        ("ConfirmSign", "yes"),
    ]


def signing_engine_of_init(box):
    """The ID of the engine that imported the session's certificate (import 13) last."""
    ids = [engine for method, engine, first in traced_commands(box)
           if method == "ImportCryptoObject" and first.get("DataType") == "13"]
    assert ids, "no key import in the trace"
    return ids[-1]


def test_stop_with_live_sessions_releases_their_engines_in_the_loaded_library(sandbox):
    cert = start_with_store(sandbox, ["yes"])
    process = sandbox.processes[0]
    status, init = call(sandbox, "initkey", {"X509data": cert, "signType": "", "authData": ""})
    assert status == 200, init
    engine = signing_engine(sandbox)

    process.send_signal(signal.SIGTERM)
    status, output = wait_end(process)

    assert status == 0, output
    assert released(sandbox, engine)
    assert "WS_Shutdown" not in [method for method, _, _ in traced_commands(sandbox)]
    log = sandbox.log_text()
    assert "No executor! Library not loaded?" not in log
    assert "Unloaded library" not in log
