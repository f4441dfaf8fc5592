#!/usr/bin/python3
# A throw-away FTP server for the tests and the benchmark: listens on
# 127.0.0.1 at a port the system picks, prints that port on the first line of
# standard output, and serves one account with full rights to one folder.
# Passive data ports come from the system as well. It ends when its standard
# input closes, so a test that dies does not leave it behind.
#
# usage: ftpserver.py ROOT USER [CERT.pem [ADDRESS]] [OPTIONS]
# (the password is the first line of stdin). With CERT.pem (key and
# certificate, see testca.py) the server speaks explicit FTPS and requires TLS
# on the control and the data connections; ADDRESS (default 127.0.0.1) may be
# ::1. Options, to play the servers and links that publishing must survive:
#   --refuse-rename-over  RNTO onto a file that exists is refused, as several
#                         hosting servers do ("550 Cannot create a file when
#                         that file already exists.")
#   --rule RULE           answers a command with a reply of the rule's own
#                         instead of carrying it out. RULE is "key=value"
#                         pairs joined by ";": match=PATTERN (fnmatch on
#                         "VERB ARGUMENT", required), reply=LINE (required),
#                         after=PATTERN (only once the session has sent a
#                         command matching it), times=N (at most N times in
#                         all). Several rules: the first that applies.
#   --hold RULE           the first command that matches (match= and after=
#                         as in a rule, of any session) is not answered: the
#                         server prints "HELD <command>" on standard output
#                         and goes on with it when a line "go" arrives on
#                         standard input (the test stops or kills the client
#                         meanwhile). Repeatable; each holds once. A line
#                         "hold RULE" on standard input adds one later.
#   --max-per-ip N        at most N connections from one address
#   --delay MS            every reply comes MS milliseconds late
#   --throttle BYTES      data connections move at most BYTES per second
#   --files-only          NLST lists files only, never folders, as several
#                         servers do
# After the password, standard input takes "go" lines (see --hold); its end
# stops the server. FTPSERVER_LOG=FILE in the environment writes the whole
# conversation of every session to FILE, to see what a failing test sent.

import fnmatch
import logging
import os
import queue
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class RefusesRenameOver:
    """Mixed in before the handler class in use."""

    def ftp_RNTO(self, path):
        if os.path.exists(path):
            self._rnfr = None
            self.respond("550 Cannot create a file when that file already exists.")
            return
        return super().ftp_RNTO(path)


class Faults:
    """Rules, holds and delays shared by every session."""

    def __init__(self):
        self.rules = []
        self.holds = []  # hold rules not yet used
        self.held = []  # (handler, line, cmd, arg) waiting for "go"
        self.go = queue.Queue()
        self.delay = 0.0
        self.files_only = False

    @staticmethod
    def applies(rule, handler, line):
        if "after" in rule and not any(fnmatch.fnmatchcase(seen, rule["after"]) for seen in handler.seen_commands):
            return False
        return fnmatch.fnmatchcase(line, rule["match"])

    def rule_for(self, handler, line):
        for rule in self.rules:
            if rule.get("times") == 0:
                continue
            if self.applies(rule, handler, line):
                if "times" in rule:
                    rule["times"] -= 1
                return rule
        return None


FAULTS = Faults()


def parse_rule(text, needs_reply=True):
    rule = {}
    for part in text.split(";"):
        key, _, value = part.partition("=")
        rule[key.strip()] = value
    if "times" in rule:
        rule["times"] = int(rule["times"])
    if "match" not in rule or (needs_reply and "reply" not in rule):
        raise SystemExit("a rule needs match= and reply=, a hold match=")
    return rule


class Faulty:
    """Mixed in before the handler class in use."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.seen_commands = []

    def pre_process_command(self, line, cmd, arg):
        text = cmd + (" " + arg if arg else "")
        for hold in list(FAULTS.holds):
            if FAULTS.applies(hold, self, text):
                FAULTS.holds.remove(hold)
                self.seen_commands.append(text)
                FAULTS.held.append((self, line, cmd, arg))
                print("HELD " + text, flush=True)
                return
        self.go_on(line, cmd, arg)

    def go_on(self, line, cmd, arg, seen=False):
        text = cmd + (" " + arg if arg else "")
        rule = FAULTS.rule_for(self, text)
        if not seen:
            self.seen_commands.append(text)
        if rule is not None:
            self.respond(rule["reply"])
            return
        super().pre_process_command(line, cmd, arg)

    def respond(self, resp, logfun=logging.debug):
        if FAULTS.delay:
            self.ioloop.call_later(FAULTS.delay, super().respond, resp, logfun)
        else:
            super().respond(resp, logfun)

    def ftp_NLST(self, path):
        if not FAULTS.files_only:
            return super().ftp_NLST(path)
        try:
            names = [
                n
                for n in self.run_as_current_user(self.fs.listdir, path)
                if not os.path.isdir(os.path.join(path, n))
            ]
        except OSError as err:
            self.respond("550 %s." % err.strerror)
            return
        data = "".join(n + "\r\n" for n in sorted(names)).encode("utf8")
        self.push_dtp_data(data, cmd="NLST")
        return path


def main():
    refuse_rename_over = "--refuse-rename-over" in sys.argv
    args = []
    rest = iter(sys.argv[1:])
    throttle = 0
    max_per_ip = 0
    for a in rest:
        if a == "--refuse-rename-over":
            continue
        elif a == "--rule":
            FAULTS.rules.append(parse_rule(next(rest)))
        elif a == "--hold":
            FAULTS.holds.append(parse_rule(next(rest), needs_reply=False))
        elif a == "--max-per-ip":
            max_per_ip = int(next(rest))
        elif a == "--delay":
            FAULTS.delay = int(next(rest)) / 1000.0
        elif a == "--throttle":
            throttle = int(next(rest))
        elif a == "--files-only":
            FAULTS.files_only = True
        else:
            args.append(a)
    root, user = args[0], args[1]
    cert = args[2] if len(args) > 2 and args[2] else None
    address = args[3] if len(args) > 3 and args[3] else "127.0.0.1"
    password = sys.stdin.readline().rstrip("\r\n")

    logging.basicConfig(level=logging.DEBUG if os.environ.get("FTPSERVER_LOG") else logging.WARNING, filename=os.environ.get("FTPSERVER_LOG"))
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    handler = FTPHandler
    if cert:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

        class DataHandler(TLS_DTPHandler):
            # pyftpdlib takes a data connection that is readable before the
            # transfer command for a closed one, and so drops clients (curl)
            # that start the TLS handshake as soon as they connect.
            def readable(self):
                return True if self._ssl_accepting else super().readable()

        handler = TLS_FTPHandler
        handler.dtp_handler = DataHandler
        handler.certfile = cert
        handler.keyfile = cert
        handler.tls_control_required = True
        handler.tls_data_required = True
    if throttle:
        from pyftpdlib.handlers import ThrottledDTPHandler

        # pyftpdlib's throttled handler closes a data connection that is
        # gone before it was accepted (a client that gave up on it) before
        # its own fields exist, and that close raises out of the server's
        # loop: the class-level None keeps the server alive.
        limits = {"read_limit": throttle, "write_limit": throttle, "_throttler": None}
        if cert:
            handler.dtp_handler = type("Throttled", (ThrottledDTPHandler, handler.dtp_handler), limits)
        else:
            handler.dtp_handler = type("Throttled", (ThrottledDTPHandler,), limits)
    if refuse_rename_over:
        handler = type("RefusesRenameOver", (RefusesRenameOver, handler), {})
    handler = type("Faulty", (Faulty, handler), {})
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.banner = "Loopback test server ready."
    handler.auth_failed_timeout = 0  # answer a bad password at once

    server = FTPServer((address, 0), handler)
    if max_per_ip:
        server.max_cons_per_ip = max_per_ip
    print(server.address[1], flush=True)

    def watch_stdin():
        for line in sys.stdin:
            if line.strip() == "go":
                FAULTS.go.put(True)
            elif line.startswith("hold "):
                FAULTS.holds.append(parse_rule(line[5:].strip(), needs_reply=False))
        os._exit(0)

    def release_held():
        while not FAULTS.go.empty():
            FAULTS.go.get()
            held, FAULTS.held[:] = list(FAULTS.held), []
            for handler, line, cmd, arg in held:
                if handler.connected:
                    handler.go_on(line, cmd, arg, seen=True)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.ioloop.call_every(0.05, release_held)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
