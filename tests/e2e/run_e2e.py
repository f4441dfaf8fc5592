#!/usr/bin/python3
"""The whole program as a person meets it.

Runs the program under Xvfb against the demo's web server (lighttpd) and FTP
server (scripts/serve-ftp), drives it through xdotool and checks the screen's
pixels, the titles of message boxes and the directory file the FTP upload left
in the served folder. Every step leaves a screenshot in --out. With --smoke
PROGRAM it only starts an installed copy, waits for the list and opens a squad.

Each stage runs in a network namespace of its own (unshare -rn) and refuses to
run outside a fresh one or beside any interface but lo, which is up for the
online stages (the fixed ports meet no other program) and down for the offline
one. Exit status 0 passed, 1 failed, 77 skipped (a tool or user namespaces are
missing).
"""

import argparse
import contextlib
import fcntl
import functools
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

from e2e_common import SKIP, TITLE, Failure, log, spawn, stop, wait_for, with_parent
from e2e_screen import Display, MainWindow, Picture


def check_namespace(outer_netns, loopback_up):
    """Refuses to run outside a private namespace with nothing but lo; brings
    lo up when loopback_up, and otherwise insists that it is down."""
    if os.readlink("/proc/self/ns/net") == outer_netns:
        raise Failure("not inside a network namespace of its own; refusing to run")
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"]:
        raise Failure(f"the namespace has interfaces {names}; refusing to run")
    siocgifflags, siocsifflags, iff_up = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        flags = struct.unpack("16sh", fcntl.ioctl(sock, siocgifflags, struct.pack("16sh", b"lo", 0)))[1]
        if loopback_up:
            fcntl.ioctl(sock, siocsifflags, struct.pack("16sh", b"lo", flags | iff_up))
        elif flags & iff_up:
            raise Failure("loopback is up in the offline namespace; refusing to run")


def port_open(port):
    with socket.socket() as sock:
        return sock.connect_ex(("127.0.0.1", port)) == 0


def directory_entries(path):
    """The (nick, web) pairs of a squad directory file, in document order;
    None while the file does not parse: an upload may be writing it."""
    try:
        return [(entry.get("nick"), entry.get("web")) for entry in ElementTree.parse(path).getroot()]
    except (ElementTree.ParseError, OSError):
        return None


class Stage:
    """One stage in its namespace, named by its method: online, smoke or offline."""

    def __init__(self, args, tmp):
        self.args, self.tmp = args, tmp
        self.display = self.main = None
        self.www, self.work = os.path.join(tmp, "www"), os.path.join(tmp, "work")
        self.server = f"http://127.0.0.1:{args.web_port}"
        self.directory_file = os.path.join(self.www, "corvanet.xml")

    def save(self, shot, name, box=None):
        os.makedirs(self.args.out, exist_ok=True)
        path = os.path.join(self.args.out, name)
        shot.save(path, box or self.main.whole)
        log(f"screenshot {path}")

    def save_failure(self):
        # What the screen showed when the check gave up.
        with contextlib.suppress(Exception):
            shot = self.display.shot()
            self.save(shot, f"failed-{self.args.stage}.png", (0, 0, shot.width, shot.height))

    def serve(self):
        """The sample directory on lighttpd and the FTP server, as scripts/demo serves it."""
        subprocess.run([os.path.join(self.args.source, "scripts", "serve-data"), self.www, self.server],
                       check=True, timeout=60)
        with open(os.path.join(self.tmp, "status-404.html"), "w") as page:
            page.write("Not found.\n")
        # No stat cache: the directory file is replaced by FTP uploads and
        # loaded again at once. A plain-text 404 body, so that a missing squad
        # page never parses as a document.
        with open(os.path.join(self.tmp, "lighttpd.conf"), "w") as config:
            config.write(f"""\
server.document-root = "{self.www}"
server.bind = "127.0.0.1"
server.port = {self.args.web_port}
server.errorlog = "{self.tmp}/lighttpd.log"
server.errorfile-prefix = "{self.tmp}/status-"
server.stat-cache-engine = "disable"
server.max-keep-alive-requests = 0
server.modules += ("mod_accesslog")
accesslog.filename = "{self.tmp}/access.log"
mimetype.assign = (".xml" => "text/xml", ".jpg" => "image/jpeg", ".jpeg" => "image/jpeg",
                   "" => "application/octet-stream")
""")
        self.start_web_server()
        spawn(["/usr/bin/python3", os.path.join(self.args.source, "scripts", "serve-ftp"), self.www,
               str(self.args.ftp_port), "corvanet", "squadup"],
              stdout=open(os.path.join(self.tmp, "ftp.log"), "wb"), stderr=subprocess.STDOUT)
        wait_for("the FTP server", lambda: port_open(self.args.ftp_port), interval=0.1)

    def start_web_server(self):
        self.web = spawn(["lighttpd", "-D", "-f", os.path.join(self.tmp, "lighttpd.conf")],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("the web server", lambda: port_open(self.args.web_port), interval=0.1)

    def directory_requests(self):
        """Status codes of the requests for the directory logged so far, in order."""
        path = os.path.join(self.tmp, "access.log")
        with contextlib.suppress(FileNotFoundError), open(path, errors="replace") as lines:
            return [int(code) for code in re.findall(r'"GET /corvanet\.xml HTTP/[\d.]+" (\d+)', lines.read())]
        return []

    def start_program(self, program):
        self.display = Display(self.tmp)
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        # A cache folder of the run's own: no copy from the user's runs.
        env = dict(self.display.env, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8",
                   XDG_CACHE_HOME=os.path.join(self.tmp, "cache"))
        for name in ("DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER", "QT_SCALE_FACTOR",
                     "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "QT_STYLE_OVERRIDE"):
            env.pop(name, None)
        os.makedirs(self.work, exist_ok=True)
        output = open(os.path.join(self.tmp, os.path.basename(program) + ".log"), "wb")
        self.program = spawn([program], cwd=self.work, env=env, stdout=output, stderr=subprocess.STDOUT)

    def alive(self):
        if self.program.poll() is not None:
            raise Failure(f"the program ended (status {self.program.returncode})")

    def first_list(self, program):
        """Starts the servers and the program and waits for its list. The status
        line then reads "Ready" (one handler shows the list page and sets it);
        its look is kept to recognise "Ready" later."""
        self.serve()
        self.start_program(program)
        window = self.display.wait_window(f"^{re.escape(TITLE)}$", "the main window")
        self.display.focus(window)
        self.main = MainWindow(self.display, window)
        self.wait_screen("the squad list at start", self.list_shown)
        time.sleep(0.5)
        shot = self.display.shot()
        self.ready_status = shot.area(self.main.status)
        return shot

    def wait_screen(self, what, looks_right, save_as=None):
        """Takes screenshots until looks_right(shot) holds; returns (and saves) that one."""
        def check():
            self.alive()
            shot = self.display.shot()
            return shot if looks_right(shot) else None
        shot = wait_for(what, check)
        if save_as:
            self.save(shot, save_as)
        return shot

    def ready(self, shot):
        return shot.area(self.main.status) == self.ready_status

    def list_shown(self, shot):
        """The list page (or the tree) with both detail pages hidden."""
        return self.main.left_pane_shown(shot) and self.main.right_pane_blank(shot)

    def wait_ready_list(self, what, unlike=None):
        """Waits for the list, "Ready", and differing from the list area `unlike` if given."""
        return self.wait_screen(what, lambda shot: self.list_shown(shot) and self.ready(shot) and (
            unlike is None or self.main.list_area(shot) != unlike))

    @functools.lru_cache(maxsize=None)
    def logo(self, name):
        # ImageMagick's own convert: /usr/local may hold a stand-in.
        path = os.path.join(self.www, "logos", name + ".jpg")
        return Picture(subprocess.run(["/usr/bin/convert", path, "-depth", "8", "ppm:-"],
                                      check=True, capture_output=True, timeout=30).stdout)

    def wait_logo(self, name, what, save_as=None):
        """Waits until the squad's logo shows in the right pane with the status "Ready"."""
        logo = self.logo(name)
        return self.wait_screen(what, lambda shot: self.ready(shot) and shot.find(logo, self.main.right), save_as)

    def no_window(self, name):
        if self.display.windows(name):
            raise Failure(f"an unexpected window {name!r} is shown")

    def refresh_to_list(self, look=False):
        """F5 from the details, the list once the directory has loaded, a click on
        its first row; with look, returns what the list then looks like."""
        self.display.focus(self.main.window, "F5")
        self.wait_ready_list("the list after Refresh")
        self.display.focus(self.main.window)
        self.main.click_row(0)
        if look:
            time.sleep(0.3)
            return self.main.list_area(self.display.shot())

    def wait_published(self, expected, what, listed):
        """Waits for the directory `expected` in the FTP root and the reloaded
        list. That list differs from `listed`; until it does, the reload is not
        complete, however "Ready" the status line may have read meanwhile."""
        wait_for(f"the directory {what} in the FTP root",
                 lambda: directory_entries(self.directory_file) == expected)
        self.wait_ready_list(f"the list {what}", unlike=listed)

    def online(self):
        shot = self.first_list(self.args.loopback_program)
        main, display = self.main, self.display
        if self.directory_requests() != [200]:
            raise Failure(f"the directory was requested {self.directory_requests()}")
        self.save(shot, "01-squad-list.png")
        log("the list is shown")

        # Sorted: the first entry is "42nd Lancers", not the directory's first
        # ("alpha"). Enter opens it like a double-click. The list took the
        # keyboard focus when it came into view, so no click is needed first;
        # its first row is current but not selected until a key moves.
        display.key("Down", "Home", "Return")
        self.wait_logo("42nd-lancers", "the first squad of the sorted list with its logo")
        log("Home and Enter open 42nd Lancers, the first squad in sort order")

        # The tree: its second row is the squad's first member, whose page has
        # no logo; back on the squad row the logo shows again.
        main.click_tree_row(1)
        self.wait_screen("a member's page", lambda shot: not main.right_pane_blank(shot)
                         and not shot.find(self.logo("42nd-lancers"), main.right), "02-member-page.png")
        main.click_tree_row(0)
        self.wait_logo("42nd-lancers", "the squad page again")
        log("the tree switches between the member and the squad page")

        # Squads opened by typing in the list. It is sorted by language and
        # without regard to case: "echo" follows "Delta" and "Ärger" follows
        # "alpha" (a sort by character codes would put "Fjellvind" after
        # "Delta", and "Ärger" after "Zephyr").
        for keys, name, what, save_as in ((("d", "Down"), "echo", "echo follows Delta in the list", None),
                                          (("a",), "alpha", "alpha's details and logo are shown",
                                           "03-squad-details.png"),
                                          (("a", "Down"), "aerger", "Ärger follows alpha in the list", None)):
            self.refresh_to_list()
            display.key(*keys, "ctrl+d")
            self.wait_logo(name, what, save_as)
            log(what)

        # The find field: Ctrl+F goes there, "skv" leaves only "Škvor
        # Rangers" (accents do not count) and Enter opens it. Back on the
        # list, Esc empties the field and Tab hands the keys to the list.
        self.refresh_to_list()
        display.key("ctrl+f", "s", "k", "v", "Return")
        self.wait_logo("skvor-rangers", "Škvor Rangers found by typing skv")
        log("Ctrl+F, skv and Enter open Škvor Rangers")
        self.refresh_to_list()
        display.key("ctrl+f", "Escape", "Tab")

        directory = self.add_squad(directory_entries(self.directory_file))
        self.remove_dead_squad(directory)
        self.refresh_without_web_server()
        self.about_box()
        self.alive()

    def add_squad(self, original):
        """Adds a squad by the address of its page; returns the new directory."""
        main, display = self.main, self.display
        if not original:
            raise Failure("the served directory does not parse")
        listed = self.refresh_to_list(look=True)
        url = f"{self.server}/squads/newcomers.xml"
        # "System" is the first menu; its first item is "Add Squad ...".
        display.click(main.window, 25, 9)
        time.sleep(0.3)
        display.key("Down", "Return")
        display.focus(display.wait_window("^Add Squad$", 'the "Add Squad" dialog'), "ctrl+a")
        display.run("xdotool", "type", "--delay", "30", url)
        time.sleep(0.3)
        self.save(display.shot(), "04-add-squad.png")
        display.key("Return")
        # Added at the end of the directory, published by FTP into the served
        # folder, and selected in the reloaded list.
        expected = original + [("Newcomers", url)]
        self.wait_published(expected, "with the new squad", listed)
        wait_for("the dialog to close", lambda: not display.windows("^Add Squad$"))
        # The reloaded list selects the new squad itself, and a selection made
        # by the program is no click: "Squad Details" stays disabled and would
        # open the tree without its pages. A person moves off the entry and
        # back onto it; that it comes back to "Newcomers" shows that the
        # new squad was the one selected.
        display.focus(main.window, "Down", "Up", "ctrl+d")
        self.wait_logo("newcomers", "the added squad, selected after the reload", "05-added-squad.png")
        log("the added squad was published and is selected in the reloaded list")
        return expected

    def remove_dead_squad(self, original):
        listed = self.refresh_to_list(look=True)
        self.display.key("g", "ctrl+d")
        box = self.display.wait_window("^Information$", 'the "Squad not found." message')
        self.save(self.display.shot(), "06-squad-not-found.png")
        self.display.focus(box, "Return")
        expected = [e for e in original if e[1] != f"{self.server}/squads/ghost-patrol.xml"]
        if len(expected) != len(original) - 1:
            raise Failure("the sample directory lists no dead squad")
        self.wait_published(expected, "without the dead squad", listed)
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
        toolbar, listed = main.toolbar(before), main.list_area(before)

        stop(self.web)
        display.focus(main.window, "F5")
        self.wait_screen("Refresh to be taken", lambda shot: main.toolbar(shot) != toolbar)
        shot = self.wait_screen('"Ready" after the failed load', self.ready, "07-refresh-without-server.png")
        if main.list_area(shot) != listed:
            raise Failure("the list changed after a Refresh without the web server")
        self.no_window("^(Connection failed|Information)$")
        log('Refresh without the web server keeps the list and "Ready"')

        # And with it running again the directory loads again.
        requests = len(self.directory_requests())
        self.start_web_server()
        display.focus(main.window, "F5")
        # Unchanged since the copy the program keeps: "not modified" is a load too.
        if wait_for("the directory requested again", lambda: self.directory_requests()[requests:])[-1] not in (200, 304):
            raise Failure("the directory request after the restart failed")
        if main.list_area(self.wait_ready_list("the list after the web server is back")) != listed:
            raise Failure("the reloaded list differs from the one before")
        log("Refresh with the web server back loads the list again")

    def about_box(self):
        main, display = self.main, self.display
        before = display.windows()
        display.focus(main.window)
        # "About" is the menu bar's second entry, an item of its own.
        display.click(main.window, 82, 9)
        about = wait_for("the About box", lambda: display.windows() - before).pop()
        x, y, w, h = display.geometry(about)
        shot = display.shot()
        if shot.pixel(x + w // 2, y + 8) != (128, 0, 0):
            raise Failure("the About box is not maroon")
        self.save(shot, "08-about.png")
        # Its OK button stands centred near the bottom.
        display.click(about, w // 2, h - 20)
        wait_for("the About box to close", lambda: about not in display.windows())
        log("the About box opens and closes")

    def smoke(self):
        """An installed program: the list, then one squad with its logo."""
        self.first_list(self.args.smoke)
        self.main.click_row(5)
        self.display.key("a", "ctrl+d")
        self.wait_logo("alpha", "alpha's details", "installed-program.png")
        log("the installed program shows the list and a squad with its logo")

    def offline(self):
        """The start without any network: one message, then quiet retries."""
        self.start_program(self.args.offline_program)
        display = self.display
        box = display.wait_window("^Connection failed$", 'the "Connection failed" message at start')
        x, y, w, h = display.geometry(box)
        self.save(display.shot(), "09-offline-start.png", (max(0, x - 200), max(0, y - 150), w + 400, h + 300))
        display.focus(box, "Return")
        window = display.wait_window(f"^{re.escape(TITLE)}$", "the main window after the message")
        main = self.main = MainWindow(display, window)
        # Retries run every second without a message: watch a few of them.
        # Refresh is refused meanwhile (the status line does not read
        # "Ready"), so F5 brings no second message either.
        display.focus(window, "F5")
        for _ in range(20):  # at least four seconds
            if display.windows("^Connection failed$"):
                raise Failure('"Connection failed" was shown a second time')
            self.alive()
            time.sleep(0.2)
        shot = display.shot()
        if main.left_pane_shown(shot):
            raise Failure("a list is shown without a network")
        self.save(shot, "10-offline-retrying.png")
        log('offline: one "Connection failed" message, then quiet retries')


def logs(tmp, prefix=""):
    """(name, text) of the output files in tmp whose name starts with prefix."""
    for name in sorted(os.listdir(tmp)):
        if name.startswith(prefix) and name.endswith(".log"):
            with open(os.path.join(tmp, name), errors="replace") as text:
                yield name, text.read()


def run_stage(args):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    with tempfile.TemporaryDirectory(prefix="corvanet-e2e.") as tmp:
        stage = Stage(args, tmp)
        try:
            check_namespace(args.outer_netns, loopback_up=args.stage != "offline")
            getattr(stage, args.stage)()
            stop()
            # In a sanitizer build a report that does not end the program (a
            # leak at exit, say) shows only in its output.
            for _, text in logs(tmp, "corvanet"):
                if re.search(r"runtime error:|ERROR: \w+Sanitizer", text):
                    raise Failure(f"the program reported a sanitizer error:\n{text[-3000:]}")
            return 0
        except (Failure, subprocess.SubprocessError) as failure:
            log(f"FAILED: {failure}")
            stage.save_failure()
            for name, text in logs(tmp):
                if text[-2000:].strip():
                    log(f"--- {name}\n{text[-2000:]}")
            return 1
        finally:
            stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--out", required=True)
    for name in ("--loopback-program", "--offline-program", "--smoke"):
        parser.add_argument(name)
    parser.add_argument("--web-port", type=int, default=8080)
    parser.add_argument("--ftp-port", type=int, default=2121)
    parser.add_argument("--stage", choices=["online", "offline", "smoke"], help=argparse.SUPPRESS)
    parser.add_argument("--outer-netns", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.source, args.out = os.path.abspath(args.source), os.path.abspath(args.out)
    if args.stage:
        return run_stage(args)

    missing = [t for t in ("Xvfb", "xdotool", "lighttpd", "unshare", "/usr/bin/import", "/usr/bin/convert")
               if not shutil.which(t)]
    try:
        import pyftpdlib  # noqa: F401  (scripts/serve-ftp needs it)
    except ImportError:
        missing.append("python3-pyftpdlib")
    if missing:
        log(f"skipped: missing {', '.join(missing)} (scripts/install-deps installs them)")
        return SKIP
    if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode != 0:
        log("skipped: this machine does not let a user create a network namespace (unshare -rn)")
        return SKIP
    if not (args.smoke or (args.loopback_program and args.offline_program)):
        parser.error("--loopback-program and --offline-program, or --smoke")

    outer = os.readlink("/proc/self/ns/net")
    status = 0
    for stage in ["smoke"] if args.smoke else ["online", "offline"]:
        log(f"--- {stage}")
        result = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__), *sys.argv[1:],
                                 "--stage", stage, "--outer-netns", outer],
                                preexec_fn=with_parent(signal.SIGTERM))
        status = status or result.returncode
    log("passed" if status == 0 else "FAILED")
    return 1 if status else 0


if __name__ == "__main__":
    sys.exit(main())
