"""A throwaway certificate authority made with the openssl tool, for tests
and the demo: a CA certificate and one server certificate it signed.

    ca = ThrowawayCa(directory, names=["IP:127.0.0.1"])
    ca.ca_file, ca.cert_file, ca.key_file, ca.server_context()

As a program (the demo uses it): throwaway_ca.py DIRECTORY [NAME...] writes
ca.pem, server.pem and server.key into DIRECTORY (which must exist) for the
subjectAltName entries NAME (default IP:127.0.0.1).
"""

import os
import ssl
import subprocess
import sys


class ThrowawayCa:
    def __init__(self, directory, names=("IP:127.0.0.1",), timeout=60):
        self.dir = directory
        self.ca_file = os.path.join(directory, "ca.pem")
        self.cert_file = os.path.join(directory, "server.pem")
        self.key_file = os.path.join(directory, "server.key")
        ca_key = os.path.join(directory, "ca.key")
        csr = os.path.join(directory, "server.csr")
        ext = os.path.join(directory, "server.ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=%s\n" % ",".join(names))

        def openssl(*args):
            subprocess.run(["openssl"] + list(args), check=True, timeout=timeout,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)

        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=NetworkProxy throwaway test CA",
                "-keyout", ca_key, "-out", self.ca_file)
        openssl("req", "-newkey", "rsa:2048", "-nodes",
                "-subj", "/CN=reporting server",
                "-keyout", self.key_file, "-out", csr)
        openssl("x509", "-req", "-in", csr, "-CA", self.ca_file,
                "-CAkey", ca_key, "-CAcreateserial", "-days", "2",
                "-extfile", ext, "-out", self.cert_file)

    def server_context(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.cert_file, self.key_file)
        return ctx


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1].startswith("-"):
        sys.exit("usage: throwaway_ca.py DIRECTORY [NAME...]")
    ThrowawayCa(sys.argv[1], names=sys.argv[2:] or ("IP:127.0.0.1",))
