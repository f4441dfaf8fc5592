#!/usr/bin/python3
# Makes a throw-away certificate authority and server certificates for the
# TLS tests, the demo and the benchmark (Debian's python3-openssl).
#
# usage: testca.py DIR
# DIR/ca.pem            the test CA (what SSL_CERT_FILE names in the tests)
# DIR/good.pem          key and certificate for 127.0.0.1, ::1 and localhost
# DIR/wronghost.pem     signed by the CA, but for other.example only
# DIR/expired.pem       for the right names, valid only in the past
# DIR/untrusted.pem     for the right names, signed by a CA nobody trusts
# DIR/cnonly.pem        signed by the CA, naming localhost only in its common
#                       name, without a subjectAltName (browsers refuse it)

import ipaddress
import os
import sys

from OpenSSL import crypto


def make_key():
    key = crypto.PKey()
    key.generate_key(crypto.TYPE_RSA, 2048)
    return key


def make_cert(subject, key, issuer_cert, issuer_key, names, is_ca, not_before, not_after, serial):
    cert = crypto.X509()
    cert.set_version(2)
    cert.set_serial_number(serial)
    cert.get_subject().CN = subject
    cert.set_issuer((issuer_cert or cert).get_subject())
    cert.gmtime_adj_notBefore(not_before)
    cert.gmtime_adj_notAfter(not_after)
    cert.set_pubkey(key)
    extensions = [crypto.X509Extension(b"basicConstraints", True,
                                       b"CA:TRUE" if is_ca else b"CA:FALSE")]
    if is_ca:
        extensions.append(crypto.X509Extension(b"keyUsage", True, b"keyCertSign, cRLSign"))
    if names:
        entries = []
        for name in names:
            try:
                ipaddress.ip_address(name)
                entries.append("IP:" + name)
            except ValueError:
                entries.append("DNS:" + name)
        extensions.append(crypto.X509Extension(b"subjectAltName", False,
                                               ",".join(entries).encode()))
    cert.add_extensions(extensions)
    cert.sign(issuer_key or key, "sha256")
    return cert


def write(path, *items):
    with open(path, "wb") as out:
        for item in items:
            if isinstance(item, crypto.PKey):
                out.write(crypto.dump_privatekey(crypto.FILETYPE_PEM, item))
            else:
                out.write(crypto.dump_certificate(crypto.FILETYPE_PEM, item))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    day = 24 * 3600
    local = ["127.0.0.1", "::1", "localhost"]
    ca_key = make_key()
    ca = make_cert("Test CA", ca_key, None, None, None, True, -day, 30 * day, 1)
    write(os.path.join(folder, "ca.pem"), ca)
    other_key = make_key()
    other = make_cert("Untrusted CA", other_key, None, None, None, True, -day, 30 * day, 2)
    kinds = {
        "good": (ca, ca_key, local, -day, 30 * day, "good"),
        "wronghost": (ca, ca_key, ["other.example"], -day, 30 * day, "wronghost"),
        "expired": (ca, ca_key, local, -30 * day, -day, "expired"),
        "untrusted": (other, other_key, local, -day, 30 * day, "untrusted"),
        "cnonly": (ca, ca_key, None, -day, 30 * day, "localhost"),
    }
    key = make_key()  # one server key for all: key generation is the slow part
    for serial, (name, (issuer, issuer_key, names, begin, end, subject)) in enumerate(kinds.items(), 10):
        cert = make_cert(subject, key, issuer, issuer_key, names, False, begin, end, serial)
        write(os.path.join(folder, name + ".pem"), key, cert)


if __name__ == "__main__":
    main()
