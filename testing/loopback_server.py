#!/usr/bin/env python3
"""HTTP(S) server for tests, bound to 127.0.0.1 on a port the kernel chooses.

Prints "port N" on standard output once it accepts connections. Every request head (request
line and header lines, CRLF-terminated, then an empty line) is appended to the log before the
answer is sent, so a client that has its answer can read its request there; every accepted
connection adds a line to the log's name followed by ".connections".

Paths:
  /status/CODE          answers CODE with a short body
  /redirect?TARGET      answers 302 with Location: TARGET (taken as written)
  /loop, /loop/K        answers 302 to /loop/K+1, and 200 once K reaches 100, so a client
                        without a redirect limit ends with a body instead of running for ever
  /drop/N/NAME          announces the whole file NAME, sends N bytes of it and closes
  /stall/N/NAME         announces the whole file NAME, sends N bytes of it and then nothing
  /shortlength/N/NAME   announces N bytes (Content-Length), sends the whole file NAME and closes
  /gzip/NAME            the file NAME gzip-compressed with Content-Encoding: gzip, whether or
                        not the request asked for it
  /gzipasked/NAME       the same when the request's Accept-Encoding offers gzip, else the file
                        as it is
  /gzipbody/NAME        the file NAME gzip-compressed, sent as it is (no Content-Encoding), as a
                        server does with a file stored compressed under the plain name
  /errorpage/NAME       status 200 with a proxy's HTML error page instead of the file NAME
  /NAME                 the file NAME under the served folder, or 404; a "Range: bytes=S-"
                        request is answered 206 with the bytes from S on
Before a file's NAME, any of these may be chained (each counts requests per whole path):
  /dropfirst/N/...      the first request sends N bytes of the body and closes
  /busy/K/S/...         the first K requests answer 503 with "Retry-After: S"
  /norange/...          ranges are ignored: always 200 with the whole file
  /throttle/B/...       the body is sent at about B bytes per second
"""
import argparse
import gzip
import http.server
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        if self.server.tls is not None:
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()
        with self.server.log_lock, open(self.server.log + ".connections", "a") as log:
            log.write("connection\n")

    def log_message(self, format, *args):
        pass

    def record(self):
        head = self.requestline + "\r\n"
        for name, value in self.headers.items():
            head += name + ": " + value + "\r\n"
        head += "\r\n"
        with self.server.log_lock, open(self.server.log, "ab") as log:
            log.write(head.encode("latin-1"))

    def answer(self, code, headers=(), body=b""):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def served_file(self, name):
        path = os.path.realpath(os.path.join(self.server.root, urllib.parse.unquote(name)))
        if not path.startswith(self.server.root + os.sep) or not os.path.isfile(path):
            return None
        return path

    def send_file(self, path, limit=None, ranges=False, rate=None):
        size = os.path.getsize(path)
        start = 0
        wanted = self.headers.get("Range", "")
        if ranges and wanted.startswith("bytes=") and wanted.endswith("-"):
            start = int(wanted[len("bytes="):-1])
            if start >= size:
                self.answer(416, [("Content-Range", "bytes */%d" % size)])
                return
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        else:
            self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size - start))
        self.end_headers()
        with open(path, "rb") as body:
            count = size - start if limit is None else min(limit, size - start)
            if rate is None:
                if count > 0:
                    self.connection.sendfile(body, start, count)
                return
            body.seek(start)
            chunk = max(1, rate // 20)
            began = time.monotonic()
            sent = 0
            while sent < count:
                data = body.read(min(chunk, count - sent))
                self.wfile.write(data)
                sent += len(data)
                ahead = began + sent / rate - time.monotonic()
                if ahead > 0:
                    time.sleep(ahead)

    def seen(self, path):
        """How many requests for `path` came before this one."""
        with self.server.log_lock:
            count = self.server.counts.get(path, 0)
            self.server.counts[path] = count + 1
        return count

    def send_chained(self, path, parts):
        earlier = self.seen(path)
        limit, ranges, rate = None, True, None
        while True:
            if len(parts) >= 3 and parts[0] == "dropfirst":
                if earlier == 0:
                    limit = int(parts[1])
                parts = parts[2:]
            elif len(parts) >= 4 and parts[0] == "busy":
                if earlier < int(parts[1]):
                    self.answer(503, [("Retry-After", parts[2])], b"busy\n")
                    return
                parts = parts[3:]
            elif len(parts) >= 2 and parts[0] == "norange":
                ranges = False
                parts = parts[1:]
            elif len(parts) >= 3 and parts[0] == "throttle":
                rate = int(parts[1])
                parts = parts[2:]
            else:
                break
        source = self.served_file("/".join(parts))
        if source is None:
            self.answer(404, body=b"not found\n")
            return
        self.send_file(source, limit, ranges, rate)
        if limit is not None:
            self.close_connection = True

    def do_GET(self):
        self.record()
        path, _, query = self.path.partition("?")
        parts = path.split("/")
        if len(parts) == 3 and parts[1] == "status":
            code = int(parts[2])
            self.answer(code, body=("status %d\n" % code).encode())
        elif path == "/redirect":
            self.answer(302, [("Location", query)])
        elif parts[1] == "loop" and len(parts) <= 3:
            hops = int(parts[2]) if len(parts) == 3 else 0
            if hops >= 100:
                self.answer(200, body=b"loop ended\n")
            else:
                self.answer(302, [("Location", "/loop/%d" % (hops + 1))])
        elif len(parts) >= 4 and parts[1] in ("drop", "stall"):
            source = self.served_file("/".join(parts[3:]))
            if source is None:
                self.answer(404, body=b"not found\n")
                return
            self.send_file(source, int(parts[2]))
            self.close_connection = True
            if parts[1] == "stall":
                # Hold the connection open, sending nothing, until the client gives up.
                try:
                    while self.connection.recv(4096):
                        pass
                except OSError:
                    pass
        elif len(parts) >= 4 and parts[1] == "shortlength":
            source = self.served_file("/".join(parts[3:]))
            if source is None:
                self.answer(404, body=b"not found\n")
                return
            with open(source, "rb") as body:
                data = body.read()
            self.send_response(200)
            self.send_header("Content-Length", parts[2])
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True
        elif len(parts) >= 3 and parts[1] in ("gzip", "gzipasked", "gzipbody"):
            source = self.served_file("/".join(parts[2:]))
            if source is None:
                self.answer(404, body=b"not found\n")
                return
            with open(source, "rb") as body:
                data = body.read()
            offered = "gzip" in self.headers.get("Accept-Encoding", "")
            if parts[1] == "gzipbody":
                self.answer(200, [], gzip.compress(data))
            elif offered or parts[1] == "gzip":
                self.answer(200, [("Content-Encoding", "gzip")], gzip.compress(data))
            else:
                self.answer(200, [], data)
        elif len(parts) >= 3 and parts[1] == "endless":
            # The file, then blanks until the client stops reading (or 256 MiB, so that a client
            # that never stops still ends); "<file>.sent" beside it says all of them went out.
            source = self.served_file("/".join(parts[2:]))
            if source is None:
                self.answer(404, body=b"not found\n")
                return
            self.send_response(200)
            self.end_headers()  # no length: the body ends with the connection
            self.close_connection = True
            blanks = b" " * (1 << 20)
            try:
                with open(source, "rb") as body:
                    self.wfile.write(body.read())
                for _ in range(256):
                    self.wfile.write(blanks)
                self.wfile.flush()
                open(source + ".sent", "wb").close()
            except (BrokenPipeError, ConnectionResetError):
                pass
        elif len(parts) >= 3 and parts[1] == "errorpage":
            page = (b"<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
                    b"<body><h1>Bad Gateway</h1><p>The upstream server is unreachable.</p>"
                    b"</body></html>\n")
            self.answer(200, [("Content-Type", "text/html")], page)
        else:
            try:
                self.send_chained(path, parts[1:])
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # refused handshakes and clients that hang up are part of the tests


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    server.root = os.path.realpath(args.root)
    server.log = args.log
    server.log_lock = threading.Lock()
    server.counts = {}
    server.tls = None
    if args.cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.cert, args.key)
    print("port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
