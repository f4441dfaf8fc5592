#!/usr/bin/python3
# A throw-away https server for the tests: serves the files of one folder over
# TLS with the given key and certificate, on 127.0.0.1 or ::1 at a port the
# system picks, and prints that port on its first line. A request for
# /redirect?URL answers 302 to URL; /reset resets the connection once the
# request is in; /reset-after/N announces 10 MB and resets after N bytes of
# them. It ends when its standard input closes.
#
# usage: tlsweb.py ROOT CERT.pem [ADDRESS]

import http.server
import os
import socket
import ssl
import struct
import sys
import threading
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    def reset(self):
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        os.close(self.connection.detach())
        self.close_connection = True

    def do_GET(self):
        if self.path == "/reset":
            return self.reset()
        if self.path.startswith("/reset-after/"):
            self.send_response(200)
            self.send_header("Content-Length", str(10 * 1024 * 1024))
            self.end_headers()
            self.wfile.write(b"r" * int(self.path.rsplit("/", 1)[1]))
            return self.reset()
        if self.path.startswith("/redirect?"):
            self.send_response(302)
            self.send_header("Location", urllib.parse.unquote(self.path.split("?", 1)[1]))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        super().do_GET()

    def log_message(self, *args):
        pass


def main():
    root, cert = sys.argv[1], sys.argv[2]
    address = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"

    class Server(http.server.ThreadingHTTPServer):
        address_family = socket.AF_INET6 if ":" in address else socket.AF_INET

        def handle_error(self, request, client_address):
            pass  # a client that refuses the certificate is expected

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert)
    os.chdir(root)
    server = Server((address, 0), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
