"""Black-box test of the plain command channel's limit on the engines that pages hold: every
plugin call is held for a while (the test-hook knob DRAVIK_PLUGIN_DELAY_MS), so that a burst of
engine creations is in flight at once, over both listeners."""

import concurrent.futures
import json

from test_program import (TRUSTED_ORIGIN, http_connection, pytestmark,  # noqa: F401
                          sandbox, wait_until)

CRYPTO = "RIDazodoRodudaRodozuze"
INIT_ENGINE = json.dumps({"ID": "", "Plugin": CRYPTO, "Method": "InitCryptoEngineByType",
                          "Params": [{"sCryptoEngineType": "8"}]})
REFUSAL = '{ "code" : "100", "text" : "Пользователь отказал в доступе к ключам" }'
MAX_ENGINES = 256
PLUGIN_DELAY_MS = 4000


def post(box, command, tls=False):
    connection = http_connection(box.https_port if tls else box.http_port, tls, timeout=120)
    try:
        connection.request("POST", "/", body=command.encode(), headers={"Origin": TRUSTED_ORIGIN})
        response = connection.getresponse()
        return response.status, response.read().decode("utf-8")
    finally:
        connection.close()


def test_engine_creations_in_flight_count_toward_the_limit(sandbox):
    sandbox.env["DRAVIK_PLUGIN_DELAY_MS"] = str(PLUGIN_DELAY_MS)
    sandbox.start_first()
    processed = sandbox.log_text().count("Processing command...")

    with concurrent.futures.ThreadPoolExecutor(MAX_ENGINES) as pool:
        burst = [pool.submit(post, sandbox, INIT_ENGINE, n % 2 == 1) for n in range(MAX_ENGINES)]
        # Every one of them has reached the plugin, and none is answered yet.
        wait_until(lambda: sandbox.log_text().count("Processing command...")
                   >= processed + MAX_ENGINES, 60, "every creation to reach the plugin")
        beyond = post(sandbox, INIT_ENGINE)
        replies = [future.result() for future in burst]

    assert beyond == (401, REFUSAL)
    assert "Plain command refused: too many engines" in sandbox.log_text()
    assert [status for status, _ in replies] == [200] * MAX_ENGINES
    engines = {json.loads(reply)["ID"] for _, reply in replies}
    assert len(engines) == MAX_ENGINES
    # Released, an engine's slot serves the next creation.
    assert post(sandbox, INIT_ENGINE)[0] == 401
    release = {"ID": engines.pop(), "Plugin": CRYPTO, "Method": "Release", "Params": []}
    assert post(sandbox, json.dumps(release))[0] == 200
    assert post(sandbox, INIT_ENGINE)[0] == 200
