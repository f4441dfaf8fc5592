#!/usr/bin/python3
"""The whole program as a person meets it.

Serves the sample directory with the demo's web server (lighttpd) and FTP
server (scripts/serve-ftp), runs the program on a virtual X display (Xvfb),
drives it with keyboard and mouse through xdotool, and checks what a person
would see: the pixels of the screen (a squad's logo where it belongs, the
status line, the list), the titles of message boxes, and the directory file
that the FTP upload left in the served folder. Every step leaves a screenshot.

Usage:
  run_e2e.py --source SRC --out DIR --loopback-program P --offline-program P
  run_e2e.py --source SRC --out DIR --smoke PROGRAM

The first form runs the whole walk-through with a program built for a
directory at http://127.0.0.1:WEB_PORT/ and an FTP account at
127.0.0.1:FTP_PORT, then the offline start with a program whose directory
host is not on loopback. The second starts PROGRAM (an installed copy built
for the same loopback addresses), waits for the list and opens one squad.

Nothing leaves the machine. Each stage runs in a network namespace of its own
(unshare -rn): the online stages bring up that namespace's loopback interface
and nothing else, so the fixed ports meet no other program; the offline stage
has no interface up at all, not even loopback, so its program cannot start a
load (and could not send anything if it tried). A stage refuses to run when it
finds itself outside a fresh namespace or sees any other interface.

Exit status: 0 passed, 1 failed, 77 skipped (a tool or user namespaces are
missing on this machine).

Runs with Debian's /usr/bin/python3 and its standard library only.
"""

import argparse
import contextlib
import ctypes
import fcntl
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

SKIP = 77
TITLE = "Qor Corvanet v1.0"
FTP_USER = "corvanet"
FTP_PASSWORD = "squadup"

# How long to wait for anything a person would wait for. Generous: the
# machine running the suite may be busy with two builds at once.
PATIENCE = 30.0


class Failure(Exception):
    """A check that failed: what a person would have seen differs."""


def log(message):
    print(f"e2e: {message}", flush=True)


# --------------------------------------------------------------------------
# Processes

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # A child must not outlive this script, however it ends (ctest's time-out
    # kills it without a chance to clean up).
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _stop_with_parent():
    # For a stage run by this script: it stops its own children and removes
    # its scratch folder on SIGTERM.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


class Processes:
    """Every process this script starts, stopped by its id in reverse order."""

    def __init__(self):
        self._running = []

    def start(self, name, argv, **kwargs):
        process = subprocess.Popen(argv, preexec_fn=_die_with_parent, **kwargs)
        self._running.append((name, process))
        return process

    def stop(self, process, grace=5.0):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._running = [(n, p) for n, p in self._running if p is not process]

    def stop_all(self):
        for _, process in reversed(list(self._running)):
            self.stop(process)


def wait_for(what, condition, patience=PATIENCE, interval=0.2):
    """Polls condition() until it returns something true, and returns that.

    Raises Failure naming `what` when it has not happened within `patience`
    seconds. A wait, never a timing check: patience only bounds a hang.
    """
    deadline = time.monotonic() + patience
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not seen within {patience:.0f} s")
        time.sleep(interval)


# --------------------------------------------------------------------------
# The network namespace

_SIOCGIFFLAGS = 0x8913
_SIOCSIFFLAGS = 0x8914
_IFF_UP = 0x1


def _interface_flags(sock, name):
    request = struct.pack("16sh", name.encode(), 0)
    return struct.unpack("16sh", fcntl.ioctl(sock, _SIOCGIFFLAGS, request))[1]


def check_namespace(outer_netns, loopback_up):
    """Makes sure this process sits in a private namespace with nothing but lo.

    Brings lo up when loopback_up, and otherwise insists that it is down.
    """
    if os.readlink("/proc/self/ns/net") == outer_netns:
        raise Failure("not inside a network namespace of its own; refusing to run")
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"]:
        raise Failure(f"the namespace has interfaces {names}; refusing to run")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        flags = _interface_flags(sock, "lo")
        if loopback_up:
            request = struct.pack("16sh", b"lo", flags | _IFF_UP)
            fcntl.ioctl(sock, _SIOCSIFFLAGS, request)
        elif flags & _IFF_UP:
            raise Failure("loopback is up in the offline namespace; refusing to run")


# --------------------------------------------------------------------------
# Screens

def _read_ppm(data):
    # P6, width, height, maxval 255, one whitespace, then RGB bytes.
    match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not match or match.group(3) != b"255":
        raise Failure("the screen grabber did not deliver an 8-bit PPM image")
    width, height = int(match.group(1)), int(match.group(2))
    pixels = data[match.end():match.end() + width * height * 3]
    if len(pixels) != width * height * 3:
        raise Failure("the screen grabber delivered a short image")
    return width, height, pixels


class Picture:
    """An RGB image, 8 bits a channel: a screenshot or a decoded logo."""

    def __init__(self, data):
        self.width, self.height, self.pixels = _read_ppm(data)
        self.ppm = data

    @classmethod
    def of_file(cls, path):
        # ImageMagick's own convert: /usr/local may hold a stand-in.
        data = subprocess.run(["/usr/bin/convert", path, "-depth", "8", "ppm:-"],
                              check=True, capture_output=True, timeout=30).stdout
        return cls(data)

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def area(self, box):
        """The bytes of a rectangle (x, y, width, height), row by row."""
        x, y, w, h = box
        rows = []
        for row in range(y, y + h):
            i = (row * self.width + x) * 3
            rows.append(self.pixels[i:i + w * 3])
        return b"".join(rows)

    def save(self, path, box=None):
        argv = ["/usr/bin/convert", "ppm:-"]
        if box:
            x, y, w, h = box
            argv += ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
        subprocess.run(argv + [f"png:{path}"], input=self.ppm, check=True, timeout=30)

    def find(self, other, box, tolerance=24, mean_tolerance=6.0):
        """Where `other` is shown inside the rectangle box, as (x, y), or None.

        A candidate must match a few spread-out anchor pixels within
        `tolerance` per channel, then the whole picture within
        `mean_tolerance` on average: the program and ImageMagick decode a
        JPEG with the same library, but need not round alike.
        """
        bx, by, bw, bh = box
        ow, oh = other.width, other.height
        if ow > bw or oh > bh:
            return None
        anchors = [(ax * ow // 6, ay * oh // 6) for ay in (1, 3, 5) for ax in (1, 3, 5)]
        anchors = [(ax, ay, other.pixel(ax, ay)) for ax, ay in anchors]
        first_x, first_y, (r0, g0, b0) = anchors[0]
        pixels, width = self.pixels, self.width
        for y in range(by, by + bh - oh + 1):
            row = ((y + first_y) * width + first_x) * 3
            for x in range(bx, bx + bw - ow + 1):
                i = row + x * 3
                if (abs(pixels[i] - r0) > tolerance or abs(pixels[i + 1] - g0) > tolerance
                        or abs(pixels[i + 2] - b0) > tolerance):
                    continue
                if all(max(abs(a - b) for a, b in zip(self.pixel(x + ax, y + ay), colour)) <= tolerance
                       for ax, ay, colour in anchors[1:]):
                    if self._mean_difference(other, x, y) <= mean_tolerance:
                        return x, y
        return None

    def _mean_difference(self, other, x, y):
        total = 0
        line = other.width * 3
        for row in range(other.height):
            i = ((y + row) * self.width + x) * 3
            mine = self.pixels[i:i + line]
            theirs = other.pixels[row * line:(row + 1) * line]
            total += sum(abs(a - b) for a, b in zip(mine, theirs))
        return total / (other.width * other.height * 3)


class Display:
    """A virtual X display and the xdotool and screenshot calls made on it."""

    def __init__(self, processes, tmp):
        read_end, write_end = os.pipe()
        # -displayfd: Xvfb picks a free display number and writes it once it
        # accepts clients. Unix socket only; X needs no network.
        self._xvfb = processes.start(
            "Xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                     "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(tmp, "xvfb.log"), "wb"))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            ready, _, _ = select.select([pipe], [], [], PATIENCE)
            number = pipe.readline().strip() if ready else ""
        if not number.isdigit():
            raise Failure("Xvfb did not start (see xvfb.log)")
        self.name = f":{number}"
        self.env = dict(os.environ, DISPLAY=self.name)

    def run(self, *argv, timeout=PATIENCE, check=True):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise Failure(f"{' '.join(argv)} failed: {result.stderr.strip()}")
        return result.stdout

    def windows(self, name):
        """Ids of the visible windows whose name matches the regular expression."""
        out = self.run("xdotool", "search", "--onlyvisible", "--name", name, check=False)
        return [int(w) for w in out.split()]

    def all_windows(self):
        """Ids of every visible top-level window of the program.

        By class: a borderless window may carry its name only where xdotool
        does not look.
        """
        out = self.run("xdotool", "search", "--onlyvisible", "--class", ".", check=False)
        return {int(w) for w in out.split()}

    def wait_window(self, name, what):
        found = wait_for(what, lambda: self.windows(name))
        if len(found) != 1:
            raise Failure(f"{what}: {len(found)} windows named {name!r}")
        return found[0]

    def geometry(self, window):
        out = self.run("xdotool", "getwindowgeometry", "--shell", str(window))
        values = dict(line.split("=", 1) for line in out.split())
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def focus(self, window):
        # No window manager runs, so nothing hands out the keyboard focus.
        self.run("xdotool", "windowfocus", "--sync", str(window))

    def key(self, *keys):
        self.run("xdotool", "key", "--delay", "80", *keys)

    def type(self, text):
        self.run("xdotool", "type", "--delay", "30", text)

    def click(self, window, x, y):
        """Clicks at (x, y) relative to the window's top-left corner."""
        self.run("xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1")

    def shot(self):
        data = subprocess.run(["/usr/bin/import", "-window", "root", "-depth", "8", "ppm:-"],
                              env=self.env, check=True, capture_output=True, timeout=PATIENCE).stdout
        return Picture(data)


# --------------------------------------------------------------------------
# Servers

class WebServer:
    """lighttpd on 127.0.0.1, set up as scripts/demo sets it up, plus an access log."""

    def __init__(self, processes, root, port, tmp):
        self._processes = processes
        self._port = port
        self._process = None
        self.access_log = os.path.join(tmp, "access.log")
        with open(os.path.join(tmp, "status-404.html"), "w") as page:
            page.write("Not found.\n")
        self._config = os.path.join(tmp, "lighttpd.conf")
        # No stat cache: the directory file is replaced by FTP uploads and
        # loaded again at once. A plain-text 404 body, so that a missing squad
        # page never parses as a document.
        with open(self._config, "w") as config:
            config.write(f"""\
server.document-root = "{root}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{tmp}/lighttpd.log"
server.errorfile-prefix = "{tmp}/status-"
server.stat-cache-engine = "disable"
server.max-keep-alive-requests = 0
server.modules += ("mod_accesslog")
accesslog.filename = "{self.access_log}"
mimetype.assign = (
    ".xml" => "text/xml",
    ".jpg" => "image/jpeg",
    ".jpeg" => "image/jpeg",
    "" => "application/octet-stream"
)
""")

    def start(self):
        self._process = self._processes.start("lighttpd", ["lighttpd", "-D", "-f", self._config],
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("the web server", lambda: port_open(self._port), interval=0.1)

    def stop(self):
        self._processes.stop(self._process)
        self._process = None

    def requests(self, path):
        """Status codes of the requests for path logged so far, in order."""
        if not os.path.exists(self.access_log):
            return []
        codes = []
        with open(self.access_log, errors="replace") as lines:
            for line in lines:
                match = re.search(r'"GET (\S+) HTTP/[\d.]+" (\d+)', line)
                if match and match.group(1) == path:
                    codes.append(int(match.group(2)))
        return codes


def port_open(port):
    with socket.socket() as sock:
        return sock.connect_ex(("127.0.0.1", port)) == 0


def start_ftp_server(processes, source, root, port, tmp):
    out_path = os.path.join(tmp, "ftp.out")
    with open(out_path, "w") as out:
        processes.start("serve-ftp", ["/usr/bin/python3", os.path.join(source, "scripts", "serve-ftp"),
                                      root, str(port), FTP_USER, FTP_PASSWORD],
                        stdout=out, stderr=open(os.path.join(tmp, "ftp.log"), "wb"))
    wait_for("the FTP server", lambda: "listening" in open(out_path).read(), interval=0.1)


def serve_data(source, www, server):
    subprocess.run([os.path.join(source, "scripts", "serve-data"), www, server], check=True, timeout=60)


def directory_entries(path):
    """The (nick, web) pairs of a squad directory file, in document order.

    None while the file does not parse: an upload may be writing it.
    """
    try:
        root = ElementTree.parse(path).getroot()
    except (ElementTree.ParseError, OSError):
        return None
    return [(entry.get("nick"), entry.get("web")) for entry in root]


# --------------------------------------------------------------------------
# The program's window, as seen on the screen

class MainWindow:
    """Where things are in the main window, found from its geometry and pixels.

    Only coarse facts of the layout are assumed: the squad list and the tree
    fill the left pane below the tool bar and have a white background; the
    detail pages fill the right pane; the status line is the bottom strip.
    """

    def __init__(self, display, window):
        self.display = display
        self.window = window
        self.x, self.y, self.width, self.height = display.geometry(window)
        self.left_probe_x = self.x + 100
        self.right = (self.x + 290, self.y + 60, self.width - 300, self.height - 100)
        self.status = (self.x + 2, self.y + self.height - 20, 240, 17)
        self.list_top = None

    def left_top(self, shot):
        """The first row of the left pane, or None when it shows no page.

        The pane is white, but its first row may carry the bluish tint of the
        current item (the list has the keyboard focus) or of a selection;
        the window's own greys never lean to blue.
        """
        for y in range(self.y + 30, self.y + 120):
            pixel = shot.pixel(self.left_probe_x, y)
            if pixel == (255, 255, 255) or pixel[2] - pixel[0] > 8:
                return y
        return None

    def left_pane_shown(self, shot):
        top = self.left_top(shot)
        if top is not None and self.list_top is None:
            self.list_top = top
        return top is not None

    def right_pane_blank(self, shot):
        _, _, w, h = self.right
        area = shot.area(self.right)
        first = area[:3]
        return area == first * (w * h)

    def toolbar(self, shot):
        return shot.area((self.x, self.y + 20, 320, self.list_top - self.y - 24))

    def whole(self):
        return (self.x, self.y, self.width, self.height)

    def list_area(self):
        # The left side of the list only: message boxes may cover the rest.
        return (self.x + 2, self.list_top, 120, 400)

    def click_row(self, row):
        """Clicks the row-th visible row (from 0) of the list or the tree."""
        # Rows are about 13 pixels high with this font; aim at the middle.
        self.display.click(self.window, 60, self.list_top - self.y + 6 + 13 * row)


class Logos:
    def __init__(self, www):
        self._www = www
        self._cache = {}

    def __getitem__(self, name):
        if name not in self._cache:
            self._cache[name] = Picture.of_file(os.path.join(self._www, "logos", name + ".jpg"))
        return self._cache[name]


# --------------------------------------------------------------------------
# The stages

class Run:
    def __init__(self, args, processes, tmp):
        self.display = None
        self.args = args
        self.processes = processes
        self.tmp = tmp
        self.out = args.out
        os.makedirs(self.out, exist_ok=True)

    def save_failure(self):
        # What the screen showed when the check gave up.
        with contextlib.suppress(Exception):
            self.save(self.display.shot(), f"failed-{self.args.stage}.png")

    def save(self, shot, name, box=None):
        path = os.path.join(self.out, name)
        shot.save(path, box)
        log(f"screenshot {path}")

    def start_program(self, program, display, work):
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(display.env, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8")
        for name in ("DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER", "QT_SCALE_FACTOR",
                     "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "QT_STYLE_OVERRIDE"):
            env.pop(name, None)
        os.makedirs(work, exist_ok=True)
        output = open(os.path.join(self.tmp, os.path.basename(program) + ".log"), "wb")
        return self.processes.start(os.path.basename(program), [program], cwd=work, env=env,
                                    stdout=output, stderr=subprocess.STDOUT)


class OnlineRun(Run):
    """The walk-through against the loopback servers."""

    def __init__(self, args, processes, tmp):
        super().__init__(args, processes, tmp)
        self.www = os.path.join(tmp, "www")
        self.work = os.path.join(tmp, "work")
        self.server = f"http://127.0.0.1:{args.web_port}"
        self.directory_file = os.path.join(self.www, "corvanet.xml")

    def start_servers(self):
        serve_data(self.args.source, self.www, self.server)
        self.web = WebServer(self.processes, self.www, self.args.web_port, self.tmp)
        self.web.start()
        start_ftp_server(self.processes, self.args.source, self.www, self.args.ftp_port, self.tmp)
        self.logos = Logos(self.www)

    def open_window(self, program):
        self.display = Display(self.processes, self.tmp)
        self.program = self.start_program(program, self.display, self.work)
        window = self.display.wait_window(f"^{re.escape(TITLE)}$", "the main window")
        self.display.focus(window)
        self.main = MainWindow(self.display, window)

    def alive(self):
        if self.program.poll() is not None:
            raise Failure(f"the program ended (status {self.program.returncode})")

    def wait_screen(self, what, looks_right):
        """Takes screenshots until looks_right(shot) holds; returns that shot."""
        def check():
            self.alive()
            shot = self.display.shot()
            return shot if looks_right(shot) else None
        return wait_for(what, check)

    def ready(self, shot):
        return shot.area(self.main.status) == self.ready_status

    def list_shown(self, shot):
        """The list page (or the tree) with both detail pages hidden."""
        return self.main.left_pane_shown(shot) and self.main.right_pane_blank(shot)

    def wait_ready_list(self, what, unlike=None):
        """Waits for the list with the status "Ready", and one that differs
        from the list area `unlike` when given."""
        return self.wait_screen(what, lambda shot: self.list_shown(shot) and self.ready(shot) and (
            unlike is None or shot.area(self.main.list_area()) != unlike))

    def wait_logo(self, name, what):
        """Waits until the squad's logo shows in the right pane with the status "Ready"."""
        logo = self.logos[name]
        return self.wait_screen(what, lambda shot: self.ready(shot) and shot.find(logo, self.main.right))

    def no_window(self, name):
        found = self.display.windows(name)
        if found:
            raise Failure(f"an unexpected window {name!r} is shown")

    def refresh_to_list(self, what):
        """F5 from the details: the list comes back once the directory has loaded."""
        self.display.focus(self.main.window)
        self.display.key("F5")
        shot = self.wait_ready_list(what)
        self.display.focus(self.main.window)
        return shot

    def walk_through(self):
        self.start_servers()
        original = directory_entries(self.directory_file)
        if not original:
            raise Failure("the served directory does not parse")
        self.open_window(self.args.loopback_program)
        main, display = self.main, self.display

        # The list, at start. The status line now reads "Ready": the same
        # handler shows the list page and sets it. What it looks like is kept
        # to recognise "Ready" later.
        self.wait_screen("the squad list at start", self.list_shown)
        if self.web.requests("/corvanet.xml") != [200]:
            raise Failure(f"the directory was requested {self.web.requests('/corvanet.xml')}")
        time.sleep(0.5)
        shot = display.shot()
        self.ready_status = shot.area(main.status)
        self.save(shot, "01-squad-list.png", main.whole())
        log("the list is shown")

        # Sorted: the first entry is "42nd Lancers", not the directory's first
        # ("alpha"). Enter opens it like a double-click. The list took the
        # keyboard focus when it came into view, so no click is needed first;
        # its first row is current but not selected until a key moves.
        display.key("Down", "Home", "Return")
        shot = self.wait_logo("42nd-lancers", "the first squad of the sorted list with its logo")
        log("Home and Enter open 42nd Lancers, the first squad in sort order")

        # The tree: its second row is the squad's first member, whose page has
        # no logo; back on the squad row the logo shows again.
        main.click_row(1)

        shot = self.wait_screen("a member's page", lambda shot: not main.right_pane_blank(shot)
                                and not shot.find(self.logos["42nd-lancers"], main.right))
        self.save(shot, "02-member-page.png", main.whole())
        main.click_row(0)
        self.wait_logo("42nd-lancers", "the squad page again")
        log("the tree switches between the member and the squad page")

        # Sorted without regard to case: "echo" follows "Delta" (a sort by
        # character codes would put "Fjellvind" there).
        self.refresh_to_list("the list after Refresh")
        main.click_row(0)
        display.key("d", "Down", "ctrl+d")
        self.wait_logo("echo", "echo after Delta")
        log("echo follows Delta in the list")

        # A squad with its logo, for the record.
        self.refresh_to_list("the list after Refresh")
        main.click_row(0)
        display.key("a", "ctrl+d")
        shot = self.wait_logo("alpha", "alpha's details")
        self.save(shot, "03-squad-details.png", main.whole())
        log("alpha's details and logo are shown")

        # Sorted by language: "Ärger" stands with the A's, after "alpha"
        # (a sort by character codes would put it after "Zephyr").
        self.refresh_to_list("the list after Refresh")
        main.click_row(0)
        display.key("a", "Down", "ctrl+d")
        self.wait_logo("aerger", "Ärger after alpha")
        log("Ärger follows alpha in the list")

        self.add_squad(original)
        self.remove_dead_squad(original)
        self.refresh_without_web_server()
        self.about_box()
        self.alive()

    def open_add_squad(self):
        # "System" is the first menu; its first item is "Add Squad ...".
        main = self.main
        self.display.focus(main.window)
        self.display.click(main.window, 25, 9)
        time.sleep(0.3)
        self.display.key("Down", "Return")
        dialog = self.display.wait_window("^Add Squad$", 'the "Add Squad" dialog')
        self.display.focus(dialog)
        return dialog

    def add_squad(self, original):
        main, display = self.main, self.display
        self.refresh_to_list("the list after Refresh")
        main.click_row(0)
        time.sleep(0.3)

        # A squad page that loads: added at the end of the directory, published
        # by FTP into the served folder, and selected in the reloaded list.
        # That list differs from this one; until it does, the reload is not
        # complete, however "Ready" the status line may have read meanwhile.
        listed = display.shot().area(main.list_area())
        url = f"{self.server}/squads/newcomers.xml"
        self.open_add_squad()
        display.key("ctrl+a")
        display.type(url)
        time.sleep(0.3)
        shot = display.shot()
        self.save(shot, "04-add-squad.png", main.whole())
        display.key("Return")
        expected = original + [("Newcomers", url)]
        wait_for("the directory with the new squad in the FTP root",
                 lambda: directory_entries(self.directory_file) == expected)
        wait_for("the dialog to close", lambda: not display.windows("^Add Squad$"))
        self.wait_ready_list("the list after adding", unlike=listed)
        # The reloaded list selects the new squad itself, and a selection made
        # by the program is no click: "Squad Details" stays disabled and would
        # open the tree without its pages. A person moves off the entry and
        # back onto it; that it comes back to "Newcomers" shows that the
        # new squad was the one selected.
        display.focus(main.window)
        display.key("Down", "Up", "ctrl+d")
        shot = self.wait_logo("newcomers", "the added squad, selected after the reload")
        self.save(shot, "05-added-squad.png", main.whole())
        log("the added squad was published and is selected in the reloaded list")

    def remove_dead_squad(self, original):
        main, display = self.main, self.display
        self.refresh_to_list("the list after Refresh")
        main.click_row(0)
        time.sleep(0.3)
        listed = display.shot().area(main.list_area())
        display.key("g", "ctrl+d")
        box = display.wait_window("^Information$", 'the "Squad not found." message')
        shot = display.shot()
        self.save(shot, "06-squad-not-found.png", main.whole())
        display.focus(box)
        display.key("Return")
        url = f"{self.server}/squads/ghost-patrol.xml"
        expected = [e for e in original if e[1] != url] + [("Newcomers", f"{self.server}/squads/newcomers.xml")]
        if len(expected) != len(original):
            raise Failure("the sample directory lists no dead squad")
        wait_for("the directory without the dead squad in the FTP root",
                 lambda: directory_entries(self.directory_file) == expected)
        self.wait_ready_list("the list after the removal", unlike=listed)
        self.no_window("^Information$")
        log("the dead squad was removed from the published directory")

    def refresh_without_web_server(self):
        main, display = self.main, self.display
        # A clicked entry enables "Squad Details"; a Refresh that starts a load
        # disables it, and nothing enables it again until the next click. That
        # change shows that F5 was taken.
        main.click_row(0)
        time.sleep(0.5)
        before = display.shot()
        if not self.ready(before):
            raise Failure('the status line does not read "Ready" before Refresh')
        toolbar = main.toolbar(before)
        listed = before.area(main.list_area())

        self.web.stop()
        display.focus(main.window)
        display.key("F5")
        self.wait_screen("Refresh to be taken", lambda shot: main.toolbar(shot) != toolbar)
        shot = self.wait_screen('"Ready" after the failed load', self.ready)
        if shot.area(main.list_area()) != listed:
            raise Failure("the list changed after a Refresh without the web server")
        self.no_window("^(Connection failed|Information)$")
        self.save(shot, "07-refresh-without-server.png", main.whole())
        log('Refresh without the web server keeps the list and "Ready"')

        # And with it running again the directory loads again.
        requests = len(self.web.requests("/corvanet.xml"))
        self.web.start()
        display.focus(main.window)
        display.key("F5")
        wait_for("the directory requested again",
                 lambda: len(self.web.requests("/corvanet.xml")) > requests)
        if self.web.requests("/corvanet.xml")[-1] != 200:
            raise Failure("the directory request after the restart failed")
        shot = self.wait_ready_list("the list after the web server is back")
        if shot.area(main.list_area()) != listed:
            raise Failure("the reloaded list differs from the one before")
        log("Refresh with the web server back loads the list again")

    def about_box(self):
        main, display = self.main, self.display
        before = display.all_windows()
        display.focus(main.window)
        # "About" is the menu bar's second entry, an item of its own.
        display.click(main.window, 82, 9)
        about = wait_for("the About box", lambda: display.all_windows() - before)
        about = about.pop()
        x, y, w, h = display.geometry(about)
        shot = display.shot()
        if shot.pixel(x + w // 2, y + 8) != (128, 0, 0):
            raise Failure("the About box is not maroon")
        self.save(shot, "08-about.png", main.whole())
        # Its OK button stands centred near the bottom.
        display.click(about, w // 2, h - 20)
        wait_for("the About box to close", lambda: about not in display.all_windows())
        log("the About box opens and closes")

    def smoke(self):
        """An installed program: the list, then one squad with its logo."""
        self.start_servers()
        self.open_window(self.args.smoke)
        self.wait_screen("the squad list", self.list_shown)
        time.sleep(0.5)
        self.ready_status = self.display.shot().area(self.main.status)
        self.main.click_row(5)
        self.display.key("a", "ctrl+d")
        shot = self.wait_logo("alpha", "alpha's details")
        self.save(shot, "installed-program.png", self.main.whole())
        log("the installed program shows the list and a squad with its logo")


class OfflineRun(Run):
    """The start without any network: one message, then quiet retries."""

    def start(self):
        display = self.display = Display(self.processes, self.tmp)
        program = self.start_program(self.args.offline_program, display, os.path.join(self.tmp, "work"))
        box = display.wait_window("^Connection failed$", 'the "Connection failed" message at start')
        shot = display.shot()
        x, y, w, h = display.geometry(box)
        self.save(shot, "09-offline-start.png", (max(0, x - 200), max(0, y - 150), w + 400, h + 300))
        display.focus(box)
        display.key("Return")
        window = display.wait_window(f"^{re.escape(TITLE)}$", "the main window after the message")
        main = MainWindow(display, window)
        # Retries run every second without a message: watch a few of them.
        # Refresh is refused meanwhile (the status line does not read
        # "Ready"), so F5 brings no second message either.
        display.focus(window)
        display.key("F5")
        deadline = time.monotonic() + 4.0
        while time.monotonic() < deadline:
            if display.windows("^Connection failed$"):
                raise Failure('"Connection failed" was shown a second time')
            if program.poll() is not None:
                raise Failure(f"the program ended (status {program.returncode})")
            time.sleep(0.2)
        shot = display.shot()
        if main.left_pane_shown(shot):
            raise Failure("a list is shown without a network")
        self.save(shot, "10-offline-retrying.png", main.whole())
        log('offline: one "Connection failed" message, then quiet retries')


# --------------------------------------------------------------------------
# Entry

def check_sanitizer_reports(tmp):
    # In a sanitizer build a report that does not end the program (a leak at
    # exit, say) shows only in its output.
    for name in os.listdir(tmp):
        if name.startswith("corvanet") and name.endswith(".log"):
            with open(os.path.join(tmp, name), errors="replace") as output:
                text = output.read()
            if re.search(r"runtime error:|ERROR: \w+Sanitizer", text):
                raise Failure(f"the program reported a sanitizer error:\n{text[-3000:]}")


def run_stage(args):
    processes = Processes()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    with tempfile.TemporaryDirectory(prefix="corvanet-e2e.") as tmp:
        run = None
        try:
            check_namespace(args.outer_netns, loopback_up=args.stage != "offline")
            if args.stage == "offline":
                run = OfflineRun(args, processes, tmp)
                run.start()
            elif args.stage == "smoke":
                run = OnlineRun(args, processes, tmp)
                run.smoke()
            else:
                run = OnlineRun(args, processes, tmp)
                run.walk_through()
            processes.stop_all()
            check_sanitizer_reports(tmp)
            return 0
        except (Failure, subprocess.SubprocessError) as failure:
            log(f"FAILED: {failure}")
            if run:
                run.save_failure()
            for name in sorted(os.listdir(tmp)):
                if name.endswith(".log"):
                    with open(os.path.join(tmp, name), errors="replace") as text:
                        tail = text.read()[-2000:]
                    if tail.strip():
                        log(f"--- {name}\n{tail}")
            return 1
        finally:
            processes.stop_all()


def missing_tools():
    tools = ["Xvfb", "xdotool", "lighttpd", "unshare", "/usr/bin/import", "/usr/bin/convert"]
    missing = [t for t in tools if not (os.access(t, os.X_OK) if t.startswith("/") else which(t))]
    try:
        import pyftpdlib  # noqa: F401  (scripts/serve-ftp needs it)
    except ImportError:
        missing.append("python3-pyftpdlib")
    return missing


def which(name):
    return any(os.access(os.path.join(d, name), os.X_OK) for d in os.environ.get("PATH", "").split(":"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--loopback-program")
    parser.add_argument("--offline-program")
    parser.add_argument("--smoke")
    parser.add_argument("--web-port", type=int, default=8080)
    parser.add_argument("--ftp-port", type=int, default=2121)
    parser.add_argument("--stage", choices=["online", "offline", "smoke"], help=argparse.SUPPRESS)
    parser.add_argument("--outer-netns", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.source = os.path.abspath(args.source)
    args.out = os.path.abspath(args.out)

    if args.stage:
        return run_stage(args)

    missing = missing_tools()
    if missing:
        log(f"skipped: missing {', '.join(missing)} (scripts/install-deps installs them)")
        return SKIP
    probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True)
    if probe.returncode != 0:
        log("skipped: this machine does not let a user create a network namespace (unshare -rn)")
        return SKIP

    if args.smoke:
        stages = ["smoke"]
    else:
        if not (args.loopback_program and args.offline_program):
            parser.error("--loopback-program and --offline-program, or --smoke")
        stages = ["online", "offline"]
    forward = sys.argv[1:]
    outer = os.readlink("/proc/self/ns/net")
    status = 0
    for stage in stages:
        log(f"--- {stage}")
        result = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__), *forward,
                                 "--stage", stage, "--outer-netns", outer],
                                preexec_fn=_stop_with_parent)
        status = status or result.returncode
    log("passed" if status == 0 else "FAILED")
    return 1 if status else 0


if __name__ == "__main__":
    sys.exit(main())
