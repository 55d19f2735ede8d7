"""Black-box test of the MAC address that the system information answers for an IPv4 address,
in a network namespace of the test's own: a wired (veth) adapter that carries the default route
and two labelled addresses, a bridge, and a tunnel without a hardware address; the bridge's and
the tunnel's routes are the kernel's own, of metric 0.

A second namespace holds a VPN's half route (0.0.0.0/1) of a lower metric than the default
route's: the adapter without a MAC address of its own takes the half route's adapter's.

The program runs inside the namespace through `ip netns exec`, which also shows it the
namespace's /sys; the test reaches its port by moving its own thread into the namespace for each
connection. Making a namespace needs root and a tunnel needs /dev/net/tun: the test is skipped,
with the reason, where either is missing."""

import contextlib
import ctypes
import json
import os
import shutil
import subprocess
import uuid

import pytest

from test_program import PROGRAM, pytestmark, sandbox  # noqa: F401
from test_signing_road import call

CLONE_NEWNET = 0x40000000
LIBC = ctypes.CDLL(None, use_errno=True)

WIRED, BRIDGE, TUNNEL = "wired0", "wired0br", "tun0"
# The wired adapter's addresses and their labels. A label is free text that need only begin
# with its interface's name, so the last one names the bridge.
WIRED_ADDRESSES = [
    ("192.168.50.10/24", None),
    ("192.168.50.11/24", f"{WIRED}:1"),
    ("192.168.60.10/24", f"{BRIDGE}:1"),
]
BRIDGE_ADDRESS = "172.17.0.1/16"  # a container bridge's
TUNNEL_ADDRESS = "10.8.0.2/24"  # a VPN tunnel's


def ip(namespace, *args):
    return subprocess.run(["ip", "-n", namespace, *args], capture_output=True, text=True)


def setns(fd):
    if LIBC.setns(fd, CLONE_NEWNET) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))


@contextlib.contextmanager
def inside(namespace):
    """Runs the block's connections in the namespace: sockets keep the namespace they were made
    in, so the thread moves back at the end."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
    target = os.open(f"/run/netns/{namespace}", os.O_RDONLY | os.O_CLOEXEC)
    try:
        setns(target)
        try:
            yield
        finally:
            setns(own)
    finally:
        os.close(target)
        os.close(own)


@pytest.fixture
def namespace():
    if os.geteuid() != 0:
        pytest.skip("making a network namespace needs root")
    if shutil.which("ip") is None:
        pytest.skip("the ip tool is missing")
    if not os.path.exists("/dev/net/tun"):
        pytest.skip("/dev/net/tun is missing")
    name = f"dravik-mac-{uuid.uuid4().hex[:8]}"
    made = subprocess.run(["ip", "netns", "add", name], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"no network namespace can be made: {made.stderr.strip()}")
    try:
        yield name
    finally:
        subprocess.run(["ip", "netns", "del", name], capture_output=True)


def build_network(ns):
    steps = [
        ("link", "set", "lo", "up"),
        ("link", "add", WIRED, "type", "veth", "peer", "name", f"{WIRED}p"),
        ("link", "set", WIRED, "up"),
        ("link", "set", f"{WIRED}p", "up"),
        *[("addr", "add", address, "dev", WIRED, *(("label", label) if label else ()))
          for address, label in WIRED_ADDRESSES],
        ("route", "add", "default", "via", "192.168.50.1", "dev", WIRED, "metric", "100"),
        ("link", "add", BRIDGE, "type", "bridge"),
        ("link", "set", BRIDGE, "up"),
        ("addr", "add", BRIDGE_ADDRESS, "dev", BRIDGE),
    ]
    for step in steps:
        done = ip(ns, *step)
        assert done.returncode == 0, f"ip {' '.join(step)}: {done.stderr}"
    tunnel = ip(ns, "tuntap", "add", "dev", TUNNEL, "mode", "tun")
    if tunnel.returncode != 0:
        pytest.skip(f"no tun device can be made: {tunnel.stderr.strip()}")
    for step in (("link", "set", TUNNEL, "up"), ("addr", "add", TUNNEL_ADDRESS, "dev", TUNNEL)):
        done = ip(ns, *step)
        assert done.returncode == 0, f"ip {' '.join(step)}: {done.stderr}"


def mac_text(ns, device):
    """The device's current address in the program's form: 00-1A-2B-3C-4D-5E."""
    shown = ip(ns, "-j", "link", "show", "dev", device)
    assert shown.returncode == 0, shown.stderr
    return json.loads(shown.stdout)[0]["address"].upper().replace(":", "-")


def start_inside(box, ns):
    process = subprocess.Popen(
        ["ip", "netns", "exec", ns, PROGRAM], env=box.env, stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    box.processes.append(process)

    def answers():
        with inside(ns):
            return box.port_answers(box.http_port)

    return box.wait_serving(process, answers)


def test_systeminfo_each_address_answers_its_own_adapter_tunnel_the_default_routes(
        sandbox, namespace):
    build_network(namespace)
    wired, bridge = mac_text(namespace, WIRED), mac_text(namespace, BRIDGE)
    assert wired != bridge
    start_inside(sandbox, namespace)
    expected = {address.split("/")[0]: wired for address, _ in WIRED_ADDRESSES}
    expected.update({BRIDGE_ADDRESS.split("/")[0]: bridge, TUNNEL_ADDRESS.split("/")[0]: wired})

    answered = {}
    for address in expected:
        with inside(namespace):
            status, info = call(sandbox, "systeminfo", {"ipAddress": address})
        assert status == 200, info
        assert info["data"]["ipAddrees"] == address
        answered[address] = info["data"]["macAddrees"]

    assert answered == expected, f"{WIRED} {wired}, {BRIDGE} {bridge}"


def test_systeminfo_adapter_without_mac_takes_the_lowest_metric_route_to_0_whatever_its_mask(
        sandbox, namespace):
    half_mac = "02:ee:00:00:00:09"
    steps = [
        ("link", "set", "lo", "up"),
        ("link", "add", "va0", "type", "veth", "peer", "name", "va0p"),
        ("link", "set", "va0", "up"),
        ("link", "set", "va0p", "up"),
        ("addr", "add", "192.168.70.10/24", "dev", "va0"),
        ("route", "add", "default", "via", "192.168.70.1", "dev", "va0", "metric", "100"),
        ("tuntap", "add", "dev", "tap9", "mode", "tap"),
        ("link", "set", "tap9", "address", half_mac),
        ("link", "set", "tap9", "up"),
        ("route", "add", "0.0.0.0/1", "dev", "tap9", "metric", "5"),
        ("tuntap", "add", "dev", TUNNEL, "mode", "tun"),
        ("link", "set", TUNNEL, "up"),
        ("addr", "add", "10.2.0.1/32", "dev", TUNNEL),
    ]
    for step in steps:
        done = ip(namespace, *step)
        if done.returncode != 0 and step[0] == "tuntap":
            pytest.skip(f"no tun or tap device can be made: {done.stderr.strip()}")
        assert done.returncode == 0, f"ip {' '.join(step)}: {done.stderr}"
    start_inside(sandbox, namespace)

    with inside(namespace):
        status, info = call(sandbox, "systeminfo", {"ipAddress": "10.2.0.1"})

    assert status == 200, info
    assert info["data"]["macAddrees"] == "02-EE-00-00-00-09", f"va0 {mac_text(namespace, 'va0')}"
