"""Black-box tests of the program's window and tray icon on a virtual X display, with a
window manager (openbox) and a tray host (trayer). Skipped where those programs are missing."""

import os
import re
import shutil
import struct
import subprocess
import threading
import time

import pytest

from test_program import PROGRAM, STOP_TIMEOUT_S, Sandbox, wait_end

TOOLS = ("Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xwd", "wmctrl")
WINDOW_TITLE = "Dravik Plugin Host [ZRT]"
IDLE_TIME_S = 2
UNTRUSTED_ORIGIN = "https://pages.elsewhere.example"

pytestmark = [
    pytest.mark.skipif(not os.path.isfile(PROGRAM), reason="DRAVIK_PROGRAM does not name the program"),
    pytest.mark.skipif(any(shutil.which(t) is None for t in TOOLS),
                       reason="needs " + ", ".join(TOOLS)),
]


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    pytest.fail(f"timed out after {timeout} s waiting for {what}")


class Desktop:
    """A virtual display with a window manager and a tray host in the top right corner."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.processes = [subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            number = reader.readline().strip()
        if not number:
            self.stop()
            pytest.fail("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.spawn(["openbox"])
        self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                    "--width", "120", "--height", "24"])
        wait_for(lambda: self.search("--classname", "trayer"), 10, "the tray host")

    def spawn(self, command):
        self.processes.append(subprocess.Popen(
            command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def tool(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, timeout=10)

    def search(self, *criteria):
        found = self.tool("xdotool", "search", *criteria)
        return [int(w) for w in found.stdout.split()]

    def info(self, window):
        text = self.tool("xwininfo", "-id", str(window)).stdout.decode(errors="replace")
        viewable = "Map State: IsViewable" in text
        width = int(re.search(r"Width: (\d+)", text).group(1)) if "Width:" in text else 0
        height = int(re.search(r"Height: (\d+)", text).group(1)) if "Height:" in text else 0
        return viewable, width, height

    def program_windows(self):
        """The program's viewable windows as (id, width, height)."""
        shown = []
        for window in self.search("--classname", "DravikPluginHost"):
            viewable, width, height = self.info(window)
            if viewable:
                shown.append((window, width, height))
        return shown

    def main_window_shown(self):
        return any(w == 300 and h == 400 for _, w, h in self.program_windows())

    def tray_icon(self):
        """The window of the program's tray icon while it is in the tray, else None."""
        for window, width, height in self.program_windows():
            if 1 < width <= 64 and 1 < height <= 64:
                return window
        return None

    def dialogs(self):
        return [w for w, width, height in self.program_windows()
                if (width, height) != (300, 400) and width > 64]

    def red_share(self, window):
        """The share of clearly red pixels in a window's image."""
        data = self.tool("xwd", "-silent", "-id", str(window)).stdout
        header = struct.unpack(">25I", data[:100])
        header_size, width, height = header[0], header[4], header[5]
        byte_order, bits_per_pixel, bytes_per_line = header[7], header[11], header[12]
        colours = header[19]
        assert bits_per_pixel == 32
        pixels = data[header_size + 12 * colours:]
        red = 0
        for y in range(height):
            row = pixels[y * bytes_per_line:(y * bytes_per_line) + 4 * width]
            for x in range(width):
                b0, b1, b2, b3 = row[4 * x:4 * x + 4]
                r, g, b = (b2, b1, b0) if byte_order == 0 else (b1, b2, b3)
                if r > 170 and g < 90 and b < 90:
                    red += 1
        return red / float(width * height)

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.fixture
def desktop():
    screen = Desktop()
    yield screen
    screen.stop()


@pytest.fixture
def gui_sandbox(tmp_path, desktop):
    box = Sandbox(tmp_path)
    del box.env["DRAVIK_HEADLESS"]
    box.env["DISPLAY"] = desktop.display
    ini = tmp_path / "config" / "Dravik" / "DravikPluginZRT" / "DravikPluginHost.ini"
    ini.write_text(ini.read_text(encoding="utf-8") + f"[Server]\nIdleTime={IDLE_TIME_S}\n",
                   encoding="utf-8")
    yield box
    box.stop_all()


def test_gui_tray_icon_follows_connections_and_later_start_brings_window(gui_sandbox, desktop):
    first = gui_sandbox.start_first()
    # Off the screen while starting, then hidden to the tray.
    wait_for(lambda: not desktop.main_window_shown(), 10, "the window hidden after the start")
    # The probe of the port was a connection too: its icon goes after the idle time.
    time.sleep(1.5)
    wait_for(lambda: desktop.tray_icon() is None, IDLE_TIME_S + 5, "the icon hidden after idling")
    assert not desktop.main_window_shown()

    assert gui_sandbox.request("OPTIONS", "*")[0] == 200
    icon = wait_for(desktop.tray_icon, 3, "the tray icon after a request")
    assert desktop.red_share(icon) < 0.02
    wait_for(lambda: desktop.tray_icon() is None, IDLE_TIME_S + 5, "the icon hidden after idling")

    assert gui_sandbox.run("show")[0] == 0
    wait_for(desktop.main_window_shown, 5, "the window after a later start")
    # The close box only hides the window; the program goes on serving.
    desktop.tool("wmctrl", "-c", WINDOW_TITLE)
    wait_for(lambda: not desktop.main_window_shown(), 5, "the window hidden by its close box")
    assert first.poll() is None
    assert gui_sandbox.request("OPTIONS", "*")[0] == 200

    assert gui_sandbox.run("exit")[0] == 0
    status, output = wait_end(first)
    assert status == 0, output


def test_gui_plugin_library_missing_shows_error_icon_and_window_opens(gui_sandbox, desktop, tmp_path):
    # The program alone in a folder, without its plugin library beside it.
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy2(PROGRAM, alone / "DravikPluginHost")
    program = str(alone / "DravikPluginHost")
    process = subprocess.Popen([program], env=gui_sandbox.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    gui_sandbox.processes.append(process)

    icon = wait_for(desktop.tray_icon, 10, "the error icon")
    assert desktop.red_share(icon) > 0.05
    time.sleep(1.5)
    assert not desktop.main_window_shown()

    subprocess.run([program, "show"], env=gui_sandbox.env, timeout=STOP_TIMEOUT_S,
                   capture_output=True)
    wait_for(desktop.main_window_shown, 5, "the window after a later start")
    # No connection ever came: the error icon stays in the tray for good.
    time.sleep(IDLE_TIME_S + 1.5)
    assert desktop.tray_icon() is not None

    subprocess.run([program, "exit"], env=gui_sandbox.env, timeout=STOP_TIMEOUT_S,
                   capture_output=True)
    status, output = wait_end(process)
    assert status == 0, output


def test_gui_stop_while_domain_question_is_open_ends_within_seconds(gui_sandbox, desktop):
    first = gui_sandbox.start_first()
    answers = []

    def ask():
        try:
            answers.append(gui_sandbox.request("OPTIONS", "*", origin=UNTRUSTED_ORIGIN)[0])
        except OSError:
            answers.append("closed")

    asking = threading.Thread(target=ask, daemon=True)
    asking.start()
    wait_for(desktop.dialogs, 5, "the domain question")

    began = time.monotonic()
    assert gui_sandbox.run("exit")[0] == 0
    status, output = wait_end(first)
    elapsed = time.monotonic() - began

    assert status == 0, output
    assert elapsed < 5.0
    asking.join(timeout=5)
    # The question was never answered: the page is refused, or its connection closed.
    assert answers and answers[0] in (403, "closed")
