"""Under a virtual X display with the windowed face: a burst of requests from new domains
opens at most one question box, the others are refused at once, trusted pages go on being
served, and "exit" ends the program while the question is open."""

import http.client
import threading
import time

from test_gui import desktop, gui_sandbox, pytestmark, wait_for  # noqa: F401 (fixtures, marks)
from test_program import wait_end

NEW_DOMAINS = [f"site{i:02}.example" for i in range(20)]


def test_gui_twenty_new_domains_at_once_one_question_box_others_refused(gui_sandbox, desktop):
    first = gui_sandbox.start_first()
    answers = {}
    lock = threading.Lock()

    go = threading.Barrier(len(NEW_DOMAINS))

    def ask(domain):
        go.wait(timeout=10)
        try:
            status = gui_sandbox.request("OPTIONS", "*", origin=f"https://{domain}")[0]
        except (OSError, http.client.HTTPException):
            status = "closed"
        with lock:
            answers[domain] = status

    threads = [threading.Thread(target=ask, args=(d,), daemon=True) for d in NEW_DOMAINS]
    for thread in threads:
        thread.start()
    wait_for(desktop.dialogs, 10, "the domain question")

    boxes = []

    def refused_but_one():
        boxes.append(len(desktop.dialogs()))
        with lock:
            return len(answers) == len(NEW_DOMAINS) - 1

    wait_for(refused_but_one, 15, "every request but the asked one answered")
    for _ in range(5):
        boxes.append(len(desktop.dialogs()))
        time.sleep(0.2)

    assert max(boxes) == 1
    with lock:
        assert sorted(answers.values()) == [403] * (len(NEW_DOMAINS) - 1)
        (asked,) = set(NEW_DOMAINS) - set(answers)
    log = gui_sandbox.log_text()
    for domain in answers:
        assert f"Trusted domain CANCELED: {domain}" in log
    # The open question holds no one else up: a trusted page is served meanwhile.
    assert gui_sandbox.request("OPTIONS", "*")[0] == 200
    assert len(desktop.dialogs()) == 1

    assert gui_sandbox.run("exit")[0] == 0
    status, output = wait_end(first)

    assert status == 0, output
    for thread in threads:
        thread.join(timeout=5)
    assert answers[asked] in (403, "closed")
    assert f"Trusted domain ADDED: {asked}" not in gui_sandbox.log_text()
