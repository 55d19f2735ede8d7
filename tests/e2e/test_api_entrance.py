"""Black-box tests of the signing API's entrance in the headless program: the version route's
exact reply, the built-in test page, the 423 refusal while an update is held in progress (the
test-hook switch DRAVIK_TEST_UPDATE_IN_PROGRESS) and the stop route."""

import pathlib
import re
import socket

from test_program import (  # noqa: F401 (fixture, skip mark)
    TRUSTED_ORIGIN,
    Sandbox,
    pytestmark,
    read_to_end,
    sandbox,
    wait_end,
)

SUCCESS_PREFIX = '{ "error" : { "code" : 0, "text" : "success" }, "data" : '
CONTENT_TYPE = b"Content-Type: text/html; charset=utf-8"
UPDATE_BODY = '{ "code" : "7", "text" : "Сервис заблокирован, идет процесс обновления" }'
REFUSED_BODY = '{ "code" : "3", "text" : "Передан недопустимый Origin" }'
UPDATE_NOTE = "Подождите, идет процесс обновления сервиса."
NOTE_CAPTION = "Dravik Plugin Host [ZRT] - Информация"
# The page's base is the server's own HTTPS address (the default host of the build).
PAGE_BASE = '<base href="https://dravik.localhost:11742/">'


def project_version():
    """The program's file version: the project's version in the top-level CMakeLists.txt."""
    top = pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt"
    match = re.search(r"project\(Dravik VERSION ([0-9.]+)", top.read_text(encoding="utf-8"))
    assert match, "no project version in CMakeLists.txt"
    return match.group(1)


def exchange(box, method, path, origin=TRUSTED_ORIGIN, body=b""):
    """One raw HTTP/1.0 request; gives the status, the header lines and the body as bytes."""
    lines = [f"{method} {path} HTTP/1.0", f"Content-Length: {len(body)}"]
    if origin is not None:
        lines.append(f"Origin: {origin}")
    request = ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8") + body
    with socket.create_connection(("127.0.0.1", box.http_port), timeout=10) as connection:
        connection.sendall(request)
        reply = read_to_end(connection)
    head, _, content = reply.partition(b"\r\n\r\n")
    status_line, *header_lines = head.split(b"\r\n")
    return int(status_line.split()[1]), header_lines, content


def transcript(box):
    path = box.root / "transcript.txt"
    return path.read_text(encoding="utf-8") if path.exists() else ""


def test_version_route_trusted_origin_answers_the_program_version_exactly(sandbox):
    sandbox.start_first()

    for path in ("/api/v1/version", "/sapi/v1/version"):
        status, headers, body = exchange(sandbox, "GET", path)

        assert status == 200, path
        assert body.decode("utf-8") == f'{SUCCESS_PREFIX}"{project_version()}" }}'
        assert f"Access-Control-Allow-Origin: {TRUSTED_ORIGIN}".encode() in headers
        assert b"Access-Control-Allow-Headers: content-type, x-compress" in headers
        assert headers.count(CONTENT_TYPE) == 1


def test_test_page_any_caller_answers_the_page_that_no_site_may_frame(sandbox):
    sandbox.start_first()

    for origin in (None, "http://evil.example"):
        status, headers, body = exchange(sandbox, "GET", "/test/CAdES_COM", origin=origin)

        assert status == 200
        names = [line.split(b":", 1)[0] for line in headers]
        assert names == [b"Content-Type", b"X-Frame-Options", b"Content-Security-Policy",
                         b"Content-Type", b"Content-length", b"Connection", b"Date", b"Server"]
        assert headers[:4] == [CONTENT_TYPE, b"X-Frame-Options: DENY",
                               b"Content-Security-Policy: frame-ancestors 'none'", CONTENT_TYPE]
        assert body.startswith(b"\xef\xbb\xbf<!DOCTYPE html>")
        page = body.decode("utf-8")
        assert PAGE_BASE in page
        assert page.count("<button") == 14


def test_update_in_progress_api_answers_423_after_the_note_and_page_still_served(sandbox):
    sandbox.env["DRAVIK_TEST_UPDATE_IN_PROGRESS"] = "1"
    process = sandbox.start_first()

    status, _, body = exchange(sandbox, "GET", "/api/v1/version")
    stop_status, _, _ = exchange(sandbox, "POST", "/sapi/v1/stop")
    page_status, _, page = exchange(sandbox, "GET", "/test/CAdES_COM", origin=None)

    assert status == 423
    assert body.decode("utf-8") == UPDATE_BODY
    assert stop_status == 423
    assert process.poll() is None
    notes = [line for line in transcript(sandbox).splitlines() if UPDATE_NOTE in line]
    assert len(notes) == 2
    assert notes[0].startswith(f"message\tinformation\t{NOTE_CAPTION}\t")
    assert page_status == 200
    assert PAGE_BASE in page.decode("utf-8")


def test_stop_route_untrusted_refused_trusted_answers_empty_200_and_program_ends(sandbox):
    process = sandbox.start_first()

    refused = exchange(sandbox, "POST", "/sapi/v1/stop", origin="http://evil.example")
    assert refused[0] == 403
    assert refused[2].decode("utf-8") == REFUSED_BODY
    assert process.poll() is None

    status, headers, body = exchange(sandbox, "POST", "/sapi/v1/stop", body=b"{}")

    assert status == 200
    assert body == b""
    assert headers.count(CONTENT_TYPE) == 1
    code, output = wait_end(process)
    assert code == 0, output
