#!/usr/bin/python3
# A small FTP server for the network tests that plays the behaviours of real
# servers which pyftpdlib does not have: explicit FTPS with a session-reuse
# check on the data connections, a closing alert sent in the same write as
# the last data, an upload's data connection that ends with FIN and then a
# reset, a reader that takes its time. One client at a time; any user and
# password log in; files live in memory. Listens on 127.0.0.1 at a port the
# system picks, prints it on the first line, ends when stdin closes.
#
# usage: ftpspeer.py [options]
#   --cert PEM           speak explicit FTPS (AUTH TLS, PBSZ, PROT P) with it
#   --tls-max 1.2|1.3    the highest TLS version offered (default: 1.3)
#   --require-reuse      refuse a data connection that does not resume a
#                        session: "522 SSL connection failed: session reuse
#                        required", as vsftpd says
#   --alert-with-data    RETR: the data and the closing alert leave in one
#                        write; the 226 comes only after the client has
#                        closed its side
#   --reset-after N      STOR: after N bytes, FIN, then a reset
#   --slow-read BYTES    STOR: read BYTES per 10 ms, from a small buffer
#   --file NAME=SIZE     a file of SIZE bytes (byte i is i % 251) to RETR

import os
import socket
import ssl
import struct
import sys
import threading
import time


class Options:
    def __init__(self, argv):
        self.cert = None
        self.tls_max = "1.3"
        self.require_reuse = False
        self.alert_with_data = False
        self.reset_after = 0
        self.slow_read = 0
        self.files = {}
        i = 0
        while i < len(argv):
            a = argv[i]
            if a == "--cert":
                self.cert = argv[i + 1]; i += 1
            elif a == "--tls-max":
                self.tls_max = argv[i + 1]; i += 1
            elif a == "--require-reuse":
                self.require_reuse = True
            elif a == "--alert-with-data":
                self.alert_with_data = True
            elif a == "--reset-after":
                self.reset_after = int(argv[i + 1]); i += 1
            elif a == "--slow-read":
                self.slow_read = int(argv[i + 1]); i += 1
            elif a == "--file":
                name, size = argv[i + 1].split("=")
                self.files["/" + name.lstrip("/")] = bytes(j % 251 for j in range(int(size)))
                i += 1
            else:
                raise SystemExit("unknown option " + a)
            i += 1


def reset(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Session:
    def __init__(self, options, context, sock):
        self.o = options
        self.context = context
        self.sock = sock
        self.reader = sock.makefile("rb")
        self.protect = False
        self.passive = None
        self.files = options.files

    def reply(self, text):
        self.sock.sendall(text.encode() + b"\r\n")

    def secure_control(self):
        self.reader.close()
        self.sock = self.context.wrap_socket(self.sock, server_side=True)
        self.reader = self.sock.makefile("rb")

    def open_data(self):
        """Accepts the data connection; in TLS returns (raw, SSLObject,
        incoming, outgoing) after the handshake, else (raw, None, ...)."""
        raw, _ = self.passive.accept()
        self.passive.close()
        self.passive = None
        if not self.protect:
            return raw, None, None, None
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context.wrap_bio(incoming, outgoing, server_side=True)
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                raw.sendall(outgoing.read())
                chunk = raw.recv(65536)
                if not chunk:
                    raise ConnectionError("data connection closed in the handshake")
                incoming.write(chunk)
        raw.sendall(outgoing.read())
        if self.o.require_reuse and not tls.session_reused:
            raw.close()
            self.reply("522 SSL connection failed: session reuse required")
            return None
        return raw, tls, incoming, outgoing

    def receive(self, data):
        """The next plaintext of the data connection; b'' at its end."""
        raw, tls, incoming, outgoing = data
        if tls is None:
            return raw.recv(4096 if self.o.slow_read else 65536)
        while True:
            try:
                return tls.read(65536)
            except ssl.SSLWantReadError:
                chunk = raw.recv(4096 if self.o.slow_read else 65536)
                if not chunk:
                    return b""
                incoming.write(chunk)
            except ssl.SSLZeroReturnError:
                return b""
            finally:
                pending = outgoing.read()
                if pending:
                    raw.sendall(pending)

    def stor(self, name):
        self.reply("150 Ok to send data.")
        data = self.open_data()
        if data is None:
            return
        raw = data[0]
        content = bytearray()
        while True:
            chunk = self.receive(data)
            if not chunk:
                break
            content += chunk
            if self.o.slow_read:
                time.sleep(0.01 * len(chunk) / self.o.slow_read)
            if self.o.reset_after and len(content) >= self.o.reset_after:
                raw.shutdown(socket.SHUT_WR)
                time.sleep(0.1)
                reset(raw)
                self.reply("426 Failure writing network stream.")
                return
        raw.close()
        self.files[name] = bytes(content)
        self.reply("226 Transfer complete.")

    def retr(self, name):
        if name not in self.files:
            self.reply("550 Failed to open file.")
            return
        self.reply("150 Opening BINARY mode data connection.")
        data = self.open_data()
        if data is None:
            return
        raw, tls, incoming, outgoing = data
        content = self.files[name]
        if tls is None:
            raw.sendall(content)
            raw.close()
            self.reply("226 Transfer complete.")
            return
        tls.write(content)
        if self.o.alert_with_data:
            try:
                tls.unwrap()
            except ssl.SSLWantReadError:
                pass
            raw.sendall(outgoing.read())
            # As vsftpd: the transfer is over once the client has closed too.
            while raw.recv(65536):
                pass
        else:
            raw.sendall(outgoing.read())
            try:
                tls.unwrap()
            except ssl.SSLWantReadError:
                pass
            raw.sendall(outgoing.read())
        raw.close()
        self.reply("226 Transfer complete.")

    def run(self):
        self.reply("220 Scripted FTPS peer ready.")
        while True:
            line = self.reader.readline()
            if not line:
                return
            verb, _, arg = line.decode("utf-8", "replace").rstrip("\r\n").partition(" ")
            verb = verb.upper()
            if verb == "AUTH" and self.context:
                self.reply("234 Proceed with negotiation.")
                self.secure_control()
            elif verb == "AUTH":
                self.reply("530 Please login with USER and PASS.")
            elif verb == "PBSZ":
                self.reply("200 PBSZ set to 0.")
            elif verb == "PROT":
                self.protect = arg.upper() == "P"
                self.reply("200 PROT now %s." % ("Private" if self.protect else "Clear"))
            elif verb == "USER":
                self.reply("331 Please specify the password.")
            elif verb == "PASS":
                self.reply("230 Login successful.")
            elif verb == "TYPE":
                self.reply("200 Switching to Binary mode.")
            elif verb == "PASV":
                self.passive = socket.socket()
                if self.o.slow_read:
                    self.passive.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                self.passive.bind(("127.0.0.1", 0))
                self.passive.listen(1)
                port = self.passive.getsockname()[1]
                self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255))
            elif verb == "STOR":
                self.stor(arg)
            elif verb == "RETR":
                self.retr(arg)
            elif verb == "SIZE":
                if arg in self.files:
                    self.reply("213 %d" % len(self.files[arg]))
                else:
                    self.reply("550 Could not get file size.")
            elif verb == "QUIT":
                self.reply("221 Goodbye.")
                return
            else:
                self.reply("502 Command not implemented.")


def main():
    o = Options(sys.argv[1:])
    context = None
    if o.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(o.cert)
        if o.tls_max == "1.2":
            context.maximum_version = ssl.TLSVersion.TLSv1_2
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    print(server.getsockname()[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    while True:
        sock, _ = server.accept()
        try:
            Session(o, context, sock).run()
        except (OSError, ssl.SSLError, ConnectionError):
            pass
        finally:
            try:
                sock.close()
            except OSError:
                pass


if __name__ == "__main__":
    main()
