#!/usr/bin/python3
"""Time from process start to the kept squad list on the screen.

Runs inside a network namespace of its own (start_bench.sh puts it there),
so the program's compiled-in directory address, 127.0.0.1:8080, meets only
the servers started here. For each size the program first loads a directory
of that many squads from a real web server, which leaves the copy in a cache
folder of this run; then that server goes and one that accepts connections
and never answers takes its port, so every start's live load is held back
while the copy shows. Each round is a fresh process; the program writes the
moment its list first painted squads to the file named by
CORVANET_LIST_SHOWN_MARKER (app/ListShownMarker), on the same monotonic clock
this script reads just before it starts the process.

Modes: offscreen (QT_QPA_PLATFORM=offscreen), and a11y: a virtual X display
(Xvfb), a D-Bus session with the accessibility bus and
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1, so that Qt's accessibility bridge is up
as under a screen reader.
"""

import argparse
import http.server
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PORT = 8080


def log(text):
    print(text, flush=True)


def make_directory(path, squads):
    with open(path, "w", encoding="utf-8") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n<squads>\n')
        for i in range(squads):
            out.write('  <squad nick="Squad %06d" web="http://127.0.0.1:%d/squads/s%d.xml"/>\n'
                      % ((i * 7919) % squads, PORT, i))
        out.write("</squads>\n")


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class NeverAnswers:
    """Accepts every connection and keeps it open without reading a byte."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", PORT))
        self.sock.listen(16)
        self.held = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)

    def close(self):
        for conn in self.held:
            conn.close()
        # Wakes the accept() of the thread, which would keep the port.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)


def start_xvfb(work):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "xvfb.log"), "w"))
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return xvfb, ":" + number.decode().strip()


def a11y_applications(env):
    """The names of the applications registered on the accessibility bus."""
    def gdbus(*args):
        return subprocess.run(["gdbus", "call", *args], env=env, capture_output=True, text=True,
                              timeout=10).stdout
    address = gdbus("--session", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus",
                    "--method", "org.a11y.Bus.GetAddress").strip()[2:-3]
    if not address:
        return []
    children = gdbus("--address", address, "--dest", "org.a11y.atspi.Registry", "--object-path",
                     "/org/a11y/atspi/accessible/root", "--method", "org.a11y.atspi.Accessible.GetChildren")
    names = []
    for bus, path in re.findall(r"\('([^']+)', objectpath '([^']+)'\)", children):
        reply = gdbus("--address", address, "--dest", bus, "--object-path", path, "--method",
                      "org.freedesktop.DBus.Properties.Get", "org.a11y.atspi.Accessible", "Name")
        names += re.findall(r"<'([^']*)'>", reply)
    return names


def run_once(program, env, marker, cwd, want_copy, timeout=60.0, check=None):
    """Starts the program, waits for its marker line; returns (ms, line).
    check(), when given, runs while the program still shows its list."""
    if os.path.exists(marker):
        os.remove(marker)
    start = time.monotonic_ns()
    proc = subprocess.Popen([program], env=env, cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(cwd, "program.log"), "a"))
    line = ""
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if os.path.exists(marker):
                with open(marker) as f:
                    line = f.read().strip()
                if line:
                    break
            if proc.poll() is not None:
                raise SystemExit("the program ended before its list showed (see %s/program.log)" % cwd)
            time.sleep(0.002)
        if line and check:
            check()
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if not line:
        raise SystemExit("no list shown within %.0f s" % timeout)
    fields = dict(item.split("=", 1) for item in line.split())
    if fields.get("copy") != ("1" if want_copy else "0"):
        raise SystemExit("unexpected list shown: %s" % line)
    return (int(fields["shown_ns"]) - start) / 1e6, fields


def measure(program, size, rounds, mode, work, base_env):
    folder = os.path.join(work, "%s-%d" % (mode, size))
    www, cache, runtime, cwd = (os.path.join(folder, d) for d in ("www", "cache", "run", "cwd"))
    for d in (www, cache, runtime, cwd):
        os.makedirs(d)
    os.chmod(runtime, 0o700)
    make_directory(os.path.join(www, "corvanet.xml"), size)
    marker = os.path.join(folder, "marker")
    env = dict(base_env, XDG_CACHE_HOME=cache, XDG_RUNTIME_DIR=runtime, CORVANET_LIST_SHOWN_MARKER=marker)

    # The copy, left by a start that loaded the live directory.
    handler = lambda *a, **k: Quiet(*a, directory=www, **k)
    web = http.server.ThreadingHTTPServer(("127.0.0.1", PORT), handler)
    thread = threading.Thread(target=web.serve_forever, daemon=True)
    thread.start()
    try:
        _, fields = run_once(program, env, marker, cwd, want_copy=False)
    finally:
        web.shutdown()
        web.server_close()
    if int(fields["rows"]) != size:
        raise SystemExit("the live list showed %s squads, not %d" % (fields["rows"], size))

    # Under the accessibility bus, the program must have registered on it.
    # Its registration runs beside the list's first paint, so a busy machine
    # may show the list first: look again for a few seconds.
    def registered():
        deadline = time.monotonic() + 5
        while "Qor Corvanet" not in (names := a11y_applications(env)):
            if time.monotonic() > deadline:
                raise SystemExit("the program is not on the accessibility bus: %s" % names)
            time.sleep(0.1)

    never = NeverAnswers()
    times = []
    try:
        for _ in range(rounds):
            ms, fields = run_once(program, env, marker, cwd, want_copy=True,
                                  check=registered if mode == "a11y" else None)
            if int(fields["rows"]) != size:
                raise SystemExit("the copy showed %s squads, not %d" % (fields["rows"], size))
            times.append(ms)
    finally:
        never.close()
    shutil.rmtree(folder, ignore_errors=True)
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--sizes", default="5000,100000")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--modes", default="offscreen,a11y")
    args = parser.parse_args()

    if os.readlink("/proc/self/ns/net") == os.environ.get("START_BENCH_OUTER_NETNS"):
        raise SystemExit("refusing to run outside a network namespace of its own")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

    goals = {(5000, "offscreen"): 300, (5000, "a11y"): 2000}
    work = tempfile.mkdtemp(prefix="corvanet-start-bench.")
    results = []
    failed = False
    try:
        base = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "DISPLAY", "WAYLAND"))}
        base.update(LC_ALL="C.UTF-8", ASAN_OPTIONS="detect_leaks=0")
        for mode in args.modes.split(","):
            env = dict(base)
            xvfb = None
            if mode == "offscreen":
                env["QT_QPA_PLATFORM"] = "offscreen"
            elif mode == "a11y":
                if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
                    raise SystemExit("the a11y mode needs a D-Bus session (start_bench.sh runs dbus-run-session)")
                xvfb, display = start_xvfb(work)
                env.update(QT_QPA_PLATFORM="xcb", DISPLAY=display, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                           QT_ACCESSIBILITY="1")
            else:
                raise SystemExit("unknown mode " + mode)
            try:
                for size in (int(s) for s in args.sizes.split(",")):
                    times = measure(args.program, size, args.rounds, mode, work, env)
                    median = statistics.median(times)
                    goal = goals.get((size, mode))
                    verdict = "" if goal is None else (" (goal < %d ms: %s)" % (goal, "met" if median < goal else "MISSED"))
                    failed = failed or (goal is not None and median >= goal)
                    results.append("%-9s %7d squads: median %7.1f ms of %d fresh starts [%s]%s"
                                   % (mode, size, median, len(times), ", ".join("%.1f" % t for t in times), verdict))
                    log(results[-1])
            finally:
                if xvfb:
                    xvfb.terminate()
                    xvfb.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    log("start-bench: time from process start to the kept list painted, live load held back")
    for line in results:
        log("  " + line)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
