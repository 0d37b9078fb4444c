#!/usr/bin/python3
"""A throw-away RFC 3161 time-stamp server on 127.0.0.1 for the signing check.

    tsa_server.py DIR   makes DIR/tsa.pem (the certificate to verify time stamps
                        against) and its key, prints the port, then answers each
                        time-stamp query with `openssl ts -reply` until killed."""
import http.server
import pathlib
import subprocess
import sys

if len(sys.argv) != 2 or sys.argv[1] in ("-h", "--help"):
    print(__doc__)
    sys.exit(0 if sys.argv[1:] in (["-h"], ["--help"]) else 2)
DIR = pathlib.Path(sys.argv[1])
DIR.mkdir(parents=True, exist_ok=True)
(DIR / "serial").write_text("01\n")
(DIR / "tsa.cnf").write_text(f"[ tsa ]\ndefault_tsa = throwaway\n[ throwaway ]\nserial = {DIR}/serial\n"
                             "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                             "digests = sha256, sha384, sha512\ness_cert_id_alg = sha256\n")
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                "-subj", "/CN=Throwaway TSA", "-addext", "keyUsage=critical,digitalSignature",
                "-addext", "extendedKeyUsage=critical,timeStamping",
                "-keyout", DIR / "tsa.key", "-out", DIR / "tsa.pem"], check=True, capture_output=True)
REPLY = ["openssl", "ts", "-reply", "-config", DIR / "tsa.cnf", "-queryfile", "/dev/stdin",
         "-inkey", DIR / "tsa.key", "-signer", DIR / "tsa.pem", "-out", "/dev/stdout"]


class Reply(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        reply = subprocess.run(REPLY, input=self.rfile.read(int(self.headers["Content-Length"])), capture_output=True)
        self.send_response(200 if reply.returncode == 0 and reply.stdout else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    log_message = lambda *args: None  # quiet: the check prints its own lines


server = http.server.HTTPServer(("127.0.0.1", 0), Reply)
print(server.server_address[1], flush=True)
server.serve_forever()
