#!/usr/bin/env python3
"""Holds idle connections open against the program and measures it meanwhile.

Opens the TLS connections first (each completes its handshake and then sends nothing), then the
plain ones (each sends the start of a request line and nothing more), all within the server's
idle window. With them held it measures the latency of trusted requests, each on a new
connection, and reads the server's private memory (RssAnon) from /proc. Before closing it
checks how many of the held connections the server kept open. Prints "key: value" lines."""

import argparse
import concurrent.futures
import http.client
import os
import resource
import select
import socket
import ssl
import statistics
import sys
import time

PARTIAL_REQUEST_LINE = b"GET /api/v1/vers"


def rss_anon_kib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    raise RuntimeError(f"no RssAnon for process {pid}")


def raise_descriptor_limit(needed):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < needed:
        if hard != resource.RLIM_INFINITY and hard < needed:
            sys.exit(f"the descriptor limit's hard value {hard} is below the {needed} needed")
        resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))


def request_latency_ms(host, port, path, origin):
    """One trusted GET on a new connection, to the end of the reply; returns milliseconds."""
    began = time.monotonic()
    connection = http.client.HTTPConnection(host, port, timeout=30)
    try:
        connection.request("GET", path, headers={"Origin": origin, "Connection": "close"})
        response = connection.getresponse()
        response.read()
        if response.status != 200:
            raise RuntimeError(f"GET {path} answered {response.status}")
    finally:
        connection.close()
    return (time.monotonic() - began) * 1000.0


def median_latency_ms(args):
    samples = []
    for _ in range(args.samples):
        samples.append(request_latency_ms(args.host, args.http_port, args.path, args.origin))
        time.sleep(0.05)
    return statistics.median(samples), max(samples)


def open_tls(args, context, count):
    """Completes the handshakes from several threads at once, so that they take a few seconds
    of the idle window rather than most of it."""

    def handshake(_):
        raw = socket.create_connection((args.host, args.https_port), timeout=30)
        try:
            return context.wrap_socket(raw, server_hostname=args.server_name)
        except Exception:
            raw.close()
            raise

    held = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.handshake_threads) as pool:
        futures = [pool.submit(handshake, n) for n in range(count)]
        failure = None
        for future in futures:
            try:
                held.append(future.result())
            except Exception as error:  # keep the others to close them
                failure = failure or error
    if failure:
        for connection in held:
            connection.close()
        raise failure
    return held


def open_plain(args, count):
    held = []
    for _ in range(count):
        connection = socket.create_connection((args.host, args.http_port), timeout=30)
        connection.sendall(PARTIAL_REQUEST_LINE)
        held.append(connection)
    return held


def is_open(connection):
    """True while the server has neither closed nor answered the connection. A TLS record that
    carries no application data (a session ticket) leaves it open."""
    poller = select.poll()
    poller.register(connection, select.POLLIN)
    events = poller.poll(0)
    if not events:
        return True
    if events[0][1] & (select.POLLERR | select.POLLHUP | select.POLLNVAL):
        return False
    if not isinstance(connection, ssl.SSLSocket):
        return False
    connection.setblocking(False)
    try:
        connection.recv(1)
    except ssl.SSLWantReadError:
        return True
    except OSError:
        return False
    finally:
        connection.setblocking(True)
    return False


def still_open(connections):
    return sum(1 for connection in connections if is_open(connection))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--https-port", type=int, required=True)
    parser.add_argument("--server-name", required=True, help="TLS server name (SNI)")
    parser.add_argument("--origin", required=True, help="an Origin the server trusts")
    parser.add_argument("--path", default="/api/v1/version")
    parser.add_argument("--plain", type=int, default=1000)
    parser.add_argument("--tls", type=int, default=1000)
    parser.add_argument("--samples", type=int, default=7)
    parser.add_argument("--handshake-threads", type=int, default=8)
    parser.add_argument("--idle-window", type=float, default=20.0)
    args = parser.parse_args()

    raise_descriptor_limit(args.plain + args.tls + 256)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE

    # The figures without held connections, for comparison.
    base_latency, _ = median_latency_ms(args)
    base_rss = rss_anon_kib(args.pid)

    tls, plain = [], []
    try:
        first_opened = time.monotonic()
        tls = open_tls(args, context, args.tls)
        plain = open_plain(args, args.plain)
        opened = time.monotonic() - first_opened

        latency, worst = median_latency_ms(args)
        rss = rss_anon_kib(args.pid)
        tls_alive = still_open(tls)
        plain_alive = still_open(plain)
        elapsed = time.monotonic() - first_opened
    finally:
        for connection in tls + plain:
            connection.close()

    print(f"base_latency_ms: {base_latency:.1f}")
    print(f"base_rss_anon_kib: {base_rss}")
    print(f"open_seconds: {opened:.1f}")
    print(f"latency_ms: {latency:.1f}")
    print(f"latency_worst_ms: {worst:.1f}")
    print(f"rss_anon_kib: {rss}")
    print(f"tls_alive: {tls_alive}/{args.tls}")
    print(f"plain_alive: {plain_alive}/{args.plain}")
    print(f"elapsed_seconds: {elapsed:.1f}")
    if elapsed >= args.idle_window:
        print(f"warning: the measurement ended {elapsed:.1f} s after the first connection, "
              f"past the {args.idle_window:.0f} s idle window")


if __name__ == "__main__":
    main()
