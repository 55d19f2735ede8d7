"""Black-box tests of the program's window and tray icon on a virtual X display, with a
window manager (openbox) and a tray host (trayer). Skipped where those programs are missing."""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import time

import pytest

from test_api_entrance import exchange
from test_program import PROGRAM, STOP_TIMEOUT_S, Sandbox, wait_end

TOOLS = ("Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xwd", "wmctrl")
WINDOW_TITLE = "Dravik Plugin Host [ZRT]"
IDLE_TIME_S = 2
UNTRUSTED_ORIGIN = "https://pages.elsewhere.example"
DEFAULT_HTTP_PORT = 11741
DEFAULT_HTTPS_PORT = 11742

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

    def image(self, window):
        """A window's pixels as rows of (r, g, b)."""
        data = self.tool("xwd", "-silent", "-id", str(window)).stdout
        header = struct.unpack(">25I", data[:100])
        header_size, width, height = header[0], header[4], header[5]
        byte_order, bits_per_pixel, bytes_per_line = header[7], header[11], header[12]
        colours = header[19]
        assert bits_per_pixel == 32
        pixels = data[header_size + 12 * colours:]
        rows = []
        for y in range(height):
            row = pixels[y * bytes_per_line:(y * bytes_per_line) + 4 * width]
            rows.append([(row[4 * x + 2], row[4 * x + 1], row[4 * x]) if byte_order == 0
                         else (row[4 * x + 1], row[4 * x + 2], row[4 * x + 3])
                         for x in range(width)])
        return rows

    def red_share(self, window):
        """The share of clearly red pixels in a window's image."""
        rows = self.image(window)
        red = sum(1 for row in rows for r, g, b in row if r > 170 and g < 90 and b < 90)
        return red / float(len(rows) * len(rows[0]))

    def windows_on_screen(self):
        """The program's viewable windows other than its tray icon."""
        return [w for w, width, height in self.program_windows() if width > 64 or height > 64]

    def colours(self, window):
        """The number of distinct colours in a window's image: an unpainted window has one."""
        return len({pixel for row in self.image(window) for pixel in row})

    def minimise_button(self, window):
        """The centre of the minimise button on the title bar of the window's frame: openbox's
        default theme puts it third from the right, before the maximise and close buttons."""
        tree = self.tool("xwininfo", "-tree", "-id", str(window)).stdout.decode()
        frame = re.search(r"Parent window id: (0x[0-9a-f]+)", tree).group(1)
        text = self.tool("xwininfo", "-id", frame).stdout.decode()
        x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", text).group(1))
        y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", text).group(1))
        width = int(re.search(r"Width: (\d+)", text).group(1))
        return x + width - 44, y + 11

    def click(self, x, y, window=None):
        where = ["--window", str(window)] if window else []
        self.tool("xdotool", "mousemove", *where, str(x), str(y), "click", "1")

    def main_window(self):
        for window, width, height in self.program_windows():
            if (width, height) == (300, 400):
                return window
        return None

    def tabs_key_changes_window(self):
        """Whether Ctrl+Alt+D changes the shown window's image (it shows hidden tabs)."""
        window = self.main_window()
        self.tool("xdotool", "windowactivate", "--sync", str(window))
        time.sleep(0.3)
        before = self.image(window)
        self.tool("xdotool", "key", "ctrl+alt+d")
        time.sleep(0.5)
        after = self.image(window)
        changed = sum(1 for a, b in zip(before, after) for p, q in zip(a, b) if p != q)
        return changed > 0.02 * len(before) * len(before[0])

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


def set_idle_time(box, seconds):
    ini = box.root / "config" / "Dravik" / "DravikPluginZRT" / "DravikPluginHost.ini"
    ini.write_text(ini.read_text(encoding="utf-8") + f"[Server]\nIdleTime={seconds}\n",
                   encoding="utf-8")


def use_default_ports(box):
    """Leaves the ports at their defaults, so that the settings hold no change; skips the test
    when something else listens there."""
    if box.port_answers(DEFAULT_HTTP_PORT) or box.port_answers(DEFAULT_HTTPS_PORT):
        pytest.skip("the default ports are taken")
    ini = box.root / "config" / "Dravik" / "DravikPluginZRT" / "DravikPluginHost.ini"
    ini.write_text(f"[Log]\nFileName={box.logs / 'host.log'}\n", encoding="utf-8")
    box.http_port, box.https_port = DEFAULT_HTTP_PORT, DEFAULT_HTTPS_PORT


@pytest.fixture
def gui_sandbox(tmp_path, desktop):
    box = Sandbox(tmp_path)
    del box.env["DRAVIK_HEADLESS"]
    box.env["DISPLAY"] = desktop.display
    yield box
    box.stop_all()


def test_gui_tray_icon_follows_connections_and_later_start_brings_window(gui_sandbox, desktop):
    set_idle_time(gui_sandbox, IDLE_TIME_S)
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
    use_default_ports(gui_sandbox)
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
    # The failed start step showed the tabs already: Ctrl+Alt+D changes nothing.
    assert not desktop.tabs_key_changes_window()
    # No connection ever came: the error icon stays in the tray for good.
    time.sleep(IDLE_TIME_S + 1.5)
    assert desktop.tray_icon() is not None

    subprocess.run([program, "exit"], env=gui_sandbox.env, timeout=STOP_TIMEOUT_S,
                   capture_output=True)
    status, output = wait_end(process)
    assert status == 0, output


def test_gui_default_settings_tabs_hidden_until_ctrl_alt_d(gui_sandbox, desktop):
    use_default_ports(gui_sandbox)
    first = gui_sandbox.start_first()
    wait_for(lambda: not desktop.main_window_shown(), 10, "the window hidden after the start")
    assert gui_sandbox.run("show")[0] == 0
    wait_for(desktop.main_window_shown, 5, "the window after a later start")

    assert desktop.tabs_key_changes_window()
    # The key shows the tabs and never hides them.
    assert not desktop.tabs_key_changes_window()

    assert gui_sandbox.run("exit")[0] == 0
    assert wait_end(first)[0] == 0


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


@pytest.mark.parametrize("how", ["xdotool", "title bar button"])
def test_gui_minimising_hides_to_tray_and_later_start_shows_window_painted(gui_sandbox, desktop,
                                                                          how):
    first = gui_sandbox.start_first()
    wait_for(lambda: not desktop.main_window_shown(), 10, "the window hidden after the start")
    assert gui_sandbox.run("show")[0] == 0
    window = wait_for(desktop.main_window, 5, "the window after a later start")
    time.sleep(0.5)

    if how == "xdotool":
        desktop.tool("xdotool", "windowminimize", str(window))
    else:
        desktop.click(*desktop.minimise_button(window))

    wait_for(lambda: not desktop.windows_on_screen(), 5, "no window of the program on the screen")
    # An unpainted frame used to come back once the window was hidden.
    time.sleep(1)
    assert not desktop.windows_on_screen()
    # The program knows the window is hidden: a later start shows it again, painted.
    assert gui_sandbox.run("show")[0] == 0
    window = wait_for(desktop.main_window, 5, "the window after the next start")
    time.sleep(0.5)
    assert desktop.colours(window) > 16

    assert gui_sandbox.run("exit")[0] == 0
    assert wait_end(first)[0] == 0


def test_gui_http_port_taken_shows_error_icon_and_later_start_shows_tabs(gui_sandbox, desktop):
    use_default_ports(gui_sandbox)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
        taken.bind(("127.0.0.1", DEFAULT_HTTP_PORT))
        taken.listen()
        process = gui_sandbox.start()

        # Default settings and no connection: only the error state shows an icon.
        icon = wait_for(desktop.tray_icon, 10, "the error icon")
        assert desktop.red_share(icon) > 0.05
        wait_for(lambda: not desktop.main_window_shown(), 10, "the window hidden after the start")

        assert gui_sandbox.run("show")[0] == 0
        wait_for(desktop.main_window_shown, 5, "the window after a later start")
        # The failed start showed the tabs already: Ctrl+Alt+D changes nothing.
        assert not desktop.tabs_key_changes_window()

        assert gui_sandbox.run("exit")[0] == 0
        status, output = wait_end(process)
    assert status == 0, output
    assert "Socket error (98)" in gui_sandbox.log_text()


def test_gui_idle_time_changed_on_settings_page_is_in_ini_after_restart(gui_sandbox, desktop):
    ini = gui_sandbox.root / "config" / "Dravik" / "DravikPluginZRT" / "DravikPluginHost.ini"
    # Its own ports make the settings non-default, so the tabs are shown.
    first = gui_sandbox.start_first()
    wait_for(lambda: not desktop.main_window_shown(), 10, "the window hidden after the start")
    assert gui_sandbox.run("show")[0] == 0
    window = wait_for(desktop.main_window, 5, "the window after a later start")
    desktop.tool("xdotool", "windowactivate", "--sync", str(window))
    desktop.click(85, 12, window)  # the tab "Настройки"
    time.sleep(0.3)
    desktop.click(175, 364, window)  # the idle-time field
    desktop.tool("xdotool", "key", "ctrl+a")
    desktop.tool("xdotool", "type", "45")
    desktop.tool("xdotool", "key", "Return")
    time.sleep(0.5)
    assert gui_sandbox.run("exit")[0] == 0
    assert wait_end(first)[0] == 0

    second = gui_sandbox.start_first()
    assert gui_sandbox.run("exit")[0] == 0
    assert wait_end(second)[0] == 0
    assert re.search(r"^IdleTime=45$", ini.read_text(encoding="utf-8"), re.MULTILINE)


def test_gui_unanswered_confirmation_refuses_itself_after_thirty_seconds(gui_sandbox, desktop):
    # Thirty seconds of the program's clock pass in one real second.
    gui_sandbox.env["DRAVIK_TEST_CLOCK_SPEED"] = "30"
    first = gui_sandbox.start_first()
    replies = []

    def generate():
        body = json.dumps({"subject": [{"commonName": "Nobody"}], "keyAlg": "EC", "keyLength": "",
                           "containerName": "unasked", "cryptoProvider": "",
                           "keyUsageTypes": ""}).encode()
        replies.append(exchange(gui_sandbox, "POST", "/api/v1/generatekey", body=body))

    asking = threading.Thread(target=generate, daemon=True)
    asking.start()
    wait_for(desktop.dialogs, 10, "the confirmation window")
    asking.join(timeout=20)

    assert replies, "no reply to the unanswered question"
    status, _, body = replies[0]
    assert (status, json.loads(body.decode("utf-8"))) == (
        401, {"code": "100", "text": "Пользователь отказал в доступе к ключам"})
    wait_for(lambda: not desktop.dialogs(), 5, "the window gone")
    assert gui_sandbox.run("exit")[0] == 0
    assert wait_end(first)[0] == 0
