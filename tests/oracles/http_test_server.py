"""A small HTTP/1.1 server on 127.0.0.1 for the transport tests.

Prints its port on the first line of stdout and serves until stdin closes.
With --tls CERT KEY it speaks HTTPS. Routes (any method):
  /echo          200, JSON: connection id, TLS resumption, method, raw target, headers, body
                 (SHA-256, and hex up to 128 KiB)
  /status/<n>    answer <n> with the body "error body <n>"
  /bytes/<n>     200 with <n> bytes (byte i = i % 251)
  /slow/<ms>     wait <ms> before answering
  /stall         send the headers and half of the body, then wait 5 s
  /continue      an interim "100 Continue" (with a header) before the answer
  /drop          answer, then close the connection without saying so
"""
import hashlib
import json
import os
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

_ids = iter(range(1, 1 << 30))
_lock = threading.Lock()


def pattern(n):
    return bytes(i % 251 for i in range(n))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        with _lock:
            self.connection_id = next(_ids)

    def log_message(self, *args):
        pass

    def _body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", ""):
            return None
        return self.rfile.read(int(self.headers.get("Content-Length", "0")))

    def _answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _handle(self):
        body = self._body()
        if body is None:
            self._answer(400, b"chunked bodies are not expected")
            return
        route = urlsplit(self.path).path.strip("/").split("/")
        if route[0] == "echo":
            self._answer(200, json.dumps({
                "connection": self.connection_id,
                # Over TLS: whether the connection's handshake resumed a session.
                "tls_resumed": getattr(self.connection, "session_reused", None),
                "method": self.command,
                "target": self.path,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body_hex": body.hex() if len(body) <= 1 << 17 else None,
                "body_sha256": hashlib.sha256(body).hexdigest(),
            }).encode(), [("Content-Type", "application/json"), ("X-Multi", "1"),
                          ("X-Multi", "2")])
        elif route[0] == "status":
            code = int(route[1])
            self._answer(code, f"error body {code}".encode())
        elif route[0] == "bytes":
            self._answer(200, pattern(int(route[1])))
        elif route[0] == "slow":
            time.sleep(int(route[1]) / 1000)
            self._answer(200, b"late")
        elif route[0] == "stall":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(pattern(500))
            self.wfile.flush()
            time.sleep(5)
            self.close_connection = True
        elif route[0] == "continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n")
            self._answer(201, b"created", [("X-Final", "yes")])
        elif route[0] == "drop":
            self._answer(200, b"bye")
            self.close_connection = True
        else:
            self._answer(404, b"no such route")

    do_GET = do_HEAD = do_PUT = do_POST = do_DELETE = do_PATCH = _handle


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Clients that hang up mid-answer are part of the tests.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def main():
    server = Server(("127.0.0.1", 0), Handler)
    if len(sys.argv) == 4 and sys.argv[1] == "--tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.read()  # the test closes our stdin when it is done
    os._exit(0)


if __name__ == "__main__":
    main()
