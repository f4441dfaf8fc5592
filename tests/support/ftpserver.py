#!/usr/bin/python3
# A throw-away FTP server for the tests and the benchmark: listens on
# 127.0.0.1 at a port the system picks, prints that port on the first line of
# standard output, and serves one account with full rights to one folder.
# Passive data ports come from the system as well. It ends when its standard
# input closes, so a test that dies does not leave it behind.
#
# usage: ftpserver.py ROOT USER [--refuse-rename-over]
#   (the password is the first line of stdin)
#
# --refuse-rename-over: RNTO onto a file that exists is refused, as several
# hosting servers do ("550 Cannot create a file when that file already
# exists.").

import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class RefusesRenameOver(FTPHandler):
    def ftp_RNTO(self, path):
        if os.path.exists(path):
            self._rnfr = None
            self.respond("550 Cannot create a file when that file already exists.")
            return
        return FTPHandler.ftp_RNTO(self, path)


def main():
    root, user = sys.argv[1], sys.argv[2]
    password = sys.stdin.readline().rstrip("\r\n")

    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    handler = FTPHandler
    if "--refuse-rename-over" in sys.argv[3:]:
        handler = RefusesRenameOver
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.banner = "Loopback test server ready."
    handler.auth_failed_timeout = 0  # answer a bad password at once

    server = FTPServer(("127.0.0.1", 0), handler)
    print(server.address[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
