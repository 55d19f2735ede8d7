"""Black-box tests of the trust rules with scripted answers: an IPv6 literal is trusted as one
whole host, pages that can never be trusted ("null", control bytes, no host name) are refused
without a question, lines of the ini that name no host stay there, a host ending in a blank is
asked about once, and the replies of the other routes keep their bytes."""

import re
import socket

from test_domain_question import REFUSED_BODY, ini_domains, transcript_lines
from test_program import (TRUSTED_ORIGIN, Sandbox, pytestmark, read_to_end,  # noqa: F401
                          sandbox, wait_end, wait_until)

CONTENT_TYPE = b"Content-Type: text/html; charset=utf-8"


def raw_request(box, head_lines, method=b"OPTIONS", path=b"*"):
    """One HTTP/1.0 request with the given header lines, sent as they are (bytes); gives the
    whole reply."""
    request = method + b" " + path + b" HTTP/1.0\r\n" + b"".join(
        line + b"\r\n" for line in head_lines) + b"\r\n"
    with socket.create_connection(("127.0.0.1", box.http_port), timeout=10) as connection:
        connection.sendall(request)
        return read_to_end(connection)


def status_of(reply):
    return int(reply.split(b"\r\n", 1)[0].split(b" ")[1])


def questions(box):
    return [line.split("\t")[3] for line in transcript_lines(box)]


def asked_about(domain):
    return f'Разрешить и добавить домен "{domain}" в список доверенных?'


def test_yes_to_one_ipv6_literal_trusts_that_literal_only(sandbox):
    sandbox.env["DRAVIK_UI_ANSWERS"] = "yes;no;no"
    sandbox.start_first()

    assert sandbox.request("OPTIONS", "*", origin="http://[::1]:8080")[0] == 200
    assert sandbox.request("OPTIONS", "*", origin="https://[::1]")[0] == 200
    # Neither a mapped IPv4 literal nor another literal sharing a prefix rides on that yes.
    mapped = sandbox.request("OPTIONS", "*", origin="http://[::ffff:cb00:7109]")
    other = sandbox.request("OPTIONS", "*", origin="http://[::2]")

    assert (mapped[0], mapped[2].decode()) == (403, REFUSED_BODY)
    assert other[0] == 403
    asked = questions(sandbox)
    assert len(asked) == 3
    for text, domain in zip(asked, ["[::1]:8080", "[::ffff:cb00:7109]", "[::2]"]):
        assert text.endswith(asked_about(domain))


def test_untrustable_pages_refused_without_question_and_later_yes_kept_after_restart(sandbox):
    ini = sandbox.ini
    ini.write_text(ini.read_text(encoding="utf-8")
                   + '[Server]\nDomains=null;kept.example;"tab\tbed.example";2001:db8::1\n',
                   encoding="utf-8")
    # Any question would be answered yes: only the first may be asked.
    sandbox.env["DRAVIK_UI_ANSWERS"] = "yes;yes;yes;yes;yes;yes;yes;yes;yes;yes"
    first = sandbox.start_first()
    refused = [
        [b"Origin: null"],
        [b"Origin: NULL"],
        [b"Origin: null", b"Referer: " + TRUSTED_ORIGIN.encode() + b"/page"],
        [b"Referer: null"],
        [b"Origin: http://null"],
        [b"Origin: http://lone\rcr.example"],
        [b"Origin: http://lone\nlf.example"],
        [b"Origin: http://tab\tbed.example"],
        [b"Origin: http://del\x7f.example"],
        [b"Referer: http://nul.exa\x00mple/"],
        [b"Origin: http://2001:db8::1"],
        [b"Origin: http://[::1"],
    ]

    for lines in refused:
        reply = raw_request(sandbox, lines)
        assert status_of(reply) == 403, lines
        assert reply.endswith(REFUSED_BODY.encode()), lines
    assert questions(sandbox) == []

    assert sandbox.request("OPTIONS", "*", origin="https://good.example")[0] == 200
    assert sandbox.request("OPTIONS", "*", origin="http://kept.example")[0] == 200
    assert len(questions(sandbox)) == 1
    assert sandbox.run("exit")[0] == 0
    code, output = wait_end(first)
    assert code == 0, output

    domains = ini_domains(sandbox).split(";")
    # A line without a host name is the user's: it stays, and still trusts nothing.
    assert "good.example" in domains and "kept.example" in domains and "2001:db8::1" in domains
    assert not any(d.strip().lower() == "null" or re.search(r"[\x00-\x1f\x7f]", d)
                   for d in domains)
    for text in ("null", "lone", "tab", "del", "nul.example"):
        assert text not in ini_domains(sandbox).lower(), text

    # After a restart with no answers left, the confirmed domain is served without a question.
    sandbox.env["DRAVIK_UI_ANSWERS"] = ""
    sandbox.start_first()
    assert sandbox.request("OPTIONS", "*", origin="https://good.example")[0] == 200
    assert raw_request(sandbox, [b"Origin: null"]).startswith(b"HTTP/1.0 403\r\n")
    assert len(questions(sandbox)) == 1


def test_lines_without_a_host_name_stay_in_the_ini_after_start_and_save(sandbox):
    lines = ["a.example:1:2", "host[1]", "[::1]:80", "[2001:db8::1"]
    ini = sandbox.ini
    ini.write_text(ini.read_text(encoding="utf-8") + f"[Server]\nDomains={';'.join(lines)}\n",
                   encoding="utf-8")
    sandbox.env["DRAVIK_UI_ANSWERS"] = "yes"
    first = sandbox.start_first()
    # The start saves the settings once the listeners run: the built-in domains come back.
    wait_until(lambda: "dravik-bank.example" in ini_domains(sandbox), 10,
               "the settings to be saved at start")
    assert ini_domains(sandbox).split(";")[-4:] == lines

    # A yes saves the list again; the lines without a host still trust nothing.
    assert sandbox.request("OPTIONS", "*", origin="http://new.example")[0] == 200
    for page in ("http://a.example:1:2", "http://host[1]", "http://[2001:db8::1"):
        assert raw_request(sandbox, [b"Origin: " + page.encode()]).startswith(b"HTTP/1.0 403")
    assert sandbox.run("exit")[0] == 0
    assert wait_end(first)[0] == 0

    assert ini_domains(sandbox).split(";")[-5:] == lines + ["new.example"]
    assert len(questions(sandbox)) == 1


def test_host_ending_in_a_blank_asked_once_and_saved_once_without_it(sandbox):
    sandbox.env["DRAVIK_UI_ANSWERS"] = "yes;yes;yes"
    first = sandbox.start_first()

    for _ in range(3):
        reply = raw_request(sandbox, [b"Origin: https://evil.example /x"])
        assert status_of(reply) == 200, reply
    assert sandbox.run("exit")[0] == 0
    assert wait_end(first)[0] == 0

    asked = questions(sandbox)
    assert len(asked) == 1 and asked[0].endswith(asked_about("evil.example")), asked
    assert "Trusted domain ADDED: evil.example\n" in sandbox.log_text()
    assert [d for d in ini_domains(sandbox).split(";") if "evil" in d] == ["evil.example"]


def test_other_routes_reply_bytes_are_unchanged(sandbox):
    sandbox.start_first()
    origin = TRUSTED_ORIGIN.encode()
    cors = (b"Access-Control-Allow-Origin: " + origin + b"\r\n"
            b"Access-Control-Allow-Headers: content-type, x-compress\r\n")
    cases = [
        (b"OPTIONS", b"*", [b"Origin: " + origin],
         b"HTTP/1.0 200\r\n" + cors + CONTENT_TYPE + b"\r\nContent-length: 0\r\n", b""),
        (b"OPTIONS", b"*", [b"Origin: null"],
         b"HTTP/1.0 403\r\n" + CONTENT_TYPE + b"\r\nContent-length: "
         + str(len(REFUSED_BODY.encode())).encode() + b"\r\n", REFUSED_BODY.encode()),
        (b"GET", b"/no/such/route", [b"Origin: " + origin],
         b"HTTP/1.0 404\r\n" + CONTENT_TYPE + b"\r\nContent-length: "
         + str(len('{ "code" : "1", "text" : "Метод API отсутствует" }'.encode())).encode()
         + b"\r\n", '{ "code" : "1", "text" : "Метод API отсутствует" }'.encode()),
    ]
    for method, path, lines, head, body in cases:
        reply = raw_request(sandbox, lines, method, path)

        assert re.fullmatch(re.escape(head) + rb"Connection: close\r\nDate: [^\r\n]+\r\n"
                            rb"Server: [^\r\n]+\r\n\r\n" + re.escape(body), reply), reply
