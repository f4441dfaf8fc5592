#!/usr/bin/python3
# A throw-away FTP server for the tests and the benchmark: listens on
# 127.0.0.1 at a port the system picks, prints that port on the first line of
# standard output, and serves one account with full rights to one folder.
# Passive data ports come from the system as well. It ends when its standard
# input closes, so a test that dies does not leave it behind.
#
# usage: ftpserver.py ROOT USER [CERT.pem [ADDRESS]] [--refuse-rename-over]
# (the password is the first line of stdin). With CERT.pem (key and
# certificate, see testca.py) the server speaks explicit FTPS and requires TLS
# on the control and the data connections; ADDRESS (default 127.0.0.1) may be
# ::1. --refuse-rename-over: RNTO onto a file that exists is refused, as
# several hosting servers do ("550 Cannot create a file when that file
# already exists.").

import logging
import os
import sys
import threading

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


def main():
    refuse_rename_over = "--refuse-rename-over" in sys.argv
    args = [a for a in sys.argv[1:] if a != "--refuse-rename-over"]
    root, user = args[0], args[1]
    cert = args[2] if len(args) > 2 and args[2] else None
    address = args[3] if len(args) > 3 and args[3] else "127.0.0.1"
    password = sys.stdin.readline().rstrip("\r\n")

    logging.basicConfig(level=logging.WARNING)
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
    if refuse_rename_over:
        handler = type("RefusesRenameOver", (RefusesRenameOver, handler), {})
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.banner = "Loopback test server ready."
    handler.auth_failed_timeout = 0  # answer a bad password at once

    server = FTPServer((address, 0), handler)
    print(server.address[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
