"""Checks of the delaying relay: bytes arrive intact in both directions, each
exchange costs at least the round trip it was given, a new connection one more,
and the uplink cap holds the upload to its rate. Only lower bounds are held, so
a slow machine cannot make these fail."""

import os
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
START_SECONDS = 20


class EchoServer:
    """Answers every run of bytes it reads with the same bytes, on loopback."""

    def __init__(self):
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.echo, args=(conn,), daemon=True).start()

    @staticmethod
    def echo(conn):
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)


class Relay:
    def __init__(self, target_port, *options):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, 'relay.py'), '--target',
             '127.0.0.1:%d' % target_port] + list(options),
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError('the relay did not report its port')
        self.port = int(line)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(START_SECONDS)
        self.proc.stdout.close()


def exchange(sock, data):
    sock.sendall(data)
    got = b''
    while len(got) < len(data):
        more = sock.recv(65536)
        if not more:
            break
        got += more
    return got


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.echo = EchoServer()

    def tearDown(self):
        self.echo.listener.close()

    def test_round_trips_and_connection_set_up(self):
        relay = Relay(self.echo.port, '--rtt-ms', '100')
        try:
            start = time.monotonic()
            sock = socket.create_connection(('127.0.0.1', relay.port), timeout=START_SECONDS)
            with sock:
                first = exchange(sock, b'hello')
                after_first = time.monotonic()
                payload = os.urandom(300000)
                second = exchange(sock, payload)
                after_second = time.monotonic()
            self.assertEqual(first, b'hello')
            self.assertEqual(second, payload)
            self.assertGreaterEqual(after_first - start, 0.2)         # set-up + one exchange
            self.assertGreaterEqual(after_second - after_first, 0.1)  # one exchange
        finally:
            relay.stop()

    def test_uplink_cap_holds_uploads_to_its_rate(self):
        relay = Relay(self.echo.port, '--rtt-ms', '0', '--uplink-bytes-per-second', '400000')
        try:
            payload = os.urandom(200000)
            start = time.monotonic()
            with socket.create_connection(('127.0.0.1', relay.port), timeout=START_SECONDS) as sock:
                self.assertEqual(exchange(sock, payload), payload)
            self.assertGreaterEqual(time.monotonic() - start, 0.45)
        finally:
            relay.stop()


if __name__ == '__main__':
    unittest.main()
