#!/usr/bin/env python3
"""shape_proxy.py: a loopback TCP proxy that makes a local HTTP server look distant.

    shape_proxy.py --backend-port PORT [--delay-ms 60] [--rate 25MB/s]
                   [--port-file FILE] [--log FILE]

Listens on 127.0.0.1 (port chosen by the kernel, written to --port-file) and
forwards every client connection to 127.0.0.1:PORT over a connection of its own:

- delay: each new connection waits this long before its first byte is
  forwarded in either direction. It stands for the TCP and TLS handshakes with
  a distant server, which a client pays once per connection, so a client that
  keeps its connection open pays it once, one that reconnects pays it again.
- rate: the server-to-client bytes of each connection leave at most at this
  pace (a per-connection bottleneck such as a server's per-client limit or a
  player's line). Client-to-server bytes are not paced: requests are small.

It is a byte proxy: it never parses HTTP, keeps a connection open as long as
both ends do, and passes a half-close on to the other side, so keep-alive and
pipelining behave as with the server itself.

--log gets one line per accepted connection (written when it is accepted) and
one when it ends, so a caller can count connections with a line count.
Standard library only.
"""
import argparse
import os
import re
import signal
import socket
import sys
import threading
import time

CHUNK = 64 * 1024


def parse_rate(text):
    """'25MB/s', '200Mbit/s', '512KiB/s', '0' (no cap) -> bytes per second."""
    m = re.fullmatch(r'\s*([0-9]*\.?[0-9]+)\s*([kKMG]?)(i?)(B|bit)(/s)?\s*', text)
    if text.strip() in ('', '0'):
        return 0.0
    if not m:
        raise ValueError('cannot read rate %r (examples: 25MB/s, 200Mbit/s, 512KiB/s)' % text)
    value, prefix, binary, unit = float(m.group(1)), m.group(2).upper(), m.group(3), m.group(4)
    base = 1024 if binary else 1000
    value *= base ** {'': 0, 'K': 1, 'M': 2, 'G': 3}[prefix]
    return value / 8 if unit == 'bit' else value


class Log:
    def __init__(self, path):
        self.f = open(path, 'a', buffering=1) if path else None
        self.lock = threading.Lock()

    def line(self, text):
        if self.f:
            with self.lock:
                self.f.write(text + '\n')


def shut(sock, how):
    try:
        sock.shutdown(how)
    except OSError:
        pass


def pump(src, dst, rate):
    """Copies src to dst until src ends; returns the byte count.

    With a rate, every chunk is held back until the link would have carried it:
    the schedule (t_free) advances by n / rate per chunk. It may lag behind the
    clock by one chunk's time at most: enough to win back what a late wake-up
    from sleep() lost (under load that alone cost 15 % of the rate), while an
    idle connection earns no burst worth speaking of. Sleeping before sending,
    not after, makes the last byte arrive when a link of that rate would
    deliver it."""
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    total = 0
    t_free = 0.0
    slack = min(CHUNK / rate, 0.01) if rate > 0 else 0.0
    while True:
        n = src.recv_into(buf)
        if n == 0:
            return total
        if rate > 0:
            now = time.monotonic()
            t_free = max(t_free, now - slack) + n / rate
            if t_free > now:
                time.sleep(t_free - now)
        dst.sendall(view[:n])
        total += n


def handle(client, number, args, log):
    t0 = time.monotonic()
    backend = None
    up_bytes = [0]
    down = 0
    try:
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if args.delay_s > 0:
            time.sleep(args.delay_s)
        backend = socket.create_connection(('127.0.0.1', args.backend_port))
        backend.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def upstream():
            try:
                up_bytes[0] = pump(client, backend, 0)
            except OSError:
                shut(client, socket.SHUT_RDWR)
            shut(backend, socket.SHUT_WR)

        up = threading.Thread(target=upstream, daemon=True)
        up.start()
        try:
            down = pump(backend, client, args.rate)
        except OSError:
            shut(backend, socket.SHUT_RDWR)
        shut(client, socket.SHUT_WR)
        up.join()
    except OSError as e:
        log.line('error %d %s' % (number, e))
    finally:
        for s in (client, backend):
            if s is not None:
                s.close()
        log.line('close %d up %d down %d seconds %.3f' % (number, up_bytes[0], down, time.monotonic() - t0))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--backend-port', type=int, required=True)
    ap.add_argument('--delay-ms', type=float, default=0.0)
    ap.add_argument('--rate', default='0', help='per-connection cap, server to client (25MB/s; 0 = none)')
    ap.add_argument('--port', type=int, default=0, help='listening port (0 = any free one)')
    ap.add_argument('--port-file', help='written with the listening port once it listens')
    ap.add_argument('--log', help='one line per connection')
    args = ap.parse_args()
    args.delay_s = args.delay_ms / 1000.0
    try:
        args.rate = parse_rate(args.rate)
    except ValueError as e:
        ap.error(str(e))

    log = Log(args.log)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(('127.0.0.1', args.port))
    server.listen(128)
    port = server.getsockname()[1]
    log.line('listen 127.0.0.1:%d backend 127.0.0.1:%d delay_ms %g rate_Bps %.0f'
             % (port, args.backend_port, args.delay_ms, args.rate))
    if args.port_file:
        tmp = args.port_file + '.tmp'
        with open(tmp, 'w') as f:
            f.write('%d\n' % port)
        os.replace(tmp, args.port_file)   # the reader never sees a half-written port
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    number = 0
    while True:
        client, _ = server.accept()
        number += 1
        log.line('accept %d' % number)
        threading.Thread(target=handle, args=(client, number, args, log), daemon=True).start()


if __name__ == '__main__':
    try:
        main()
    except KeyboardInterrupt:
        pass
