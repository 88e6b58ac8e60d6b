"""The line relay of the benchmarks (bench/line_relay.py): bytes and ends of data pass whole
on many connections at once, each direction is held to the rate and delayed by half the round
trip, a new connection pays the handshake's round trip, the line is shared by its connections
but not by its two directions, and resets, a missing host and the command line behave.

Times are checked against what the line allows: never faster (the relay's purpose), and not
far slower (a margin for a busy machine); no figure here is a performance target."""

import json, os, shutil, signal, socket, statistics, subprocess, sys, tempfile, threading, time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from line_relay import LineRelay  # noqa: E402

RELAY = os.path.join(ROOT, "bench", "line_relay.py")
EARLY = 0.002  # clocks of two threads; a piece is let through at most this early
SLOW = 1.3  # a busy machine's margin over the line's time, and ...
LATE = 0.03  # ... seconds on top


class Host:
    """A host on loopback that answers each connection by the first line it reads:
    'echo' sends back every later byte, 'send N' sends N bytes, 'reset' resets the
    connection; each ends its own direction when done."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            first = b""
            while b"\n" not in first:
                data = conn.recv(4096)
                if not data:
                    return
                first += data
            line, rest = first.split(b"\n", 1)
            try:
                if line == b"echo":
                    while rest:
                        conn.sendall(rest)
                        rest = conn.recv(65536)
                    while rest := conn.recv(65536):  # nothing came with the first line
                        conn.sendall(rest)
                elif line.startswith(b"send "):
                    left, block = int(line[5:]), bytes(65536)
                    while left:
                        left -= conn.send(block[:min(left, len(block))])
                elif line == b"reset":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                    return
                conn.shutdown(socket.SHUT_WR)
                while conn.recv(65536):
                    pass
            except OSError:
                pass

    def close(self):
        self.server.close()


def connect(relay):
    sock = socket.create_connection(("127.0.0.1", relay.port), timeout=30)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_all(sock):
    parts = []
    while True:
        data = sock.recv(1 << 20)
        if not data:
            return b"".join(parts)
        parts.append(data)


def exchange(relay, request, body=b""):
    """Sends request and body, ends the sending side, reads to the end: (answer, seconds)."""
    start = time.monotonic()
    with connect(relay) as sock:
        sender = threading.Thread(target=lambda: (sock.sendall(request + body),
                                                  sock.shutdown(socket.SHUT_WR)))
        sender.start()
        answer = read_all(sock)
        sender.join()
    return answer, time.monotonic() - start


def in_parallel(calls):
    """Runs the calls on threads at once: their results in order."""
    results = [None] * len(calls)
    threads = [threading.Thread(target=lambda i=i, c=c: results.__setitem__(i, c()))
               for i, c in enumerate(calls)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


class RelayCase(unittest.TestCase):
    def relay(self, rate=None, rtt=0.0):
        host = Host()
        self.addCleanup(host.close)
        relay = LineRelay(host.port, rate, rtt).start()
        self.addCleanup(relay.stop)
        return relay

    def assertTook(self, seconds, line_time, what):
        self.assertGreaterEqual(seconds, line_time - EARLY, what + ": faster than the line")
        self.assertLessEqual(seconds, line_time * SLOW + LATE, what + ": far slower than the line")

    def wait_until_closed(self, relay):
        deadline = time.monotonic() + 5
        while relay.connections and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(relay.connections, [], "the relay kept connections whose ends had passed")


class Passing(RelayCase):
    def test_bytes_and_ends_pass_whole_on_many_connections(self):
        sizes = [0, 1, 1500, 65537, 300000, 1 << 20, 3 << 20, 7]
        for line in [(None, 0.0), (80e6, 0.01)]:
            with self.subTest(line=line):
                relay = self.relay(*line)
                bodies = [os.urandom(size) for size in sizes]
                answers = in_parallel([lambda b=b: exchange(relay, b"echo\n", b)[0]
                                       for b in bodies])
                for body, answer in zip(bodies, answers):
                    self.assertTrue(answer == body, "%d bytes came back as %d other bytes"
                                    % (len(body), len(answer)))
                self.wait_until_closed(relay)
                self.assertEqual(sorted(relay.byte_counts()),
                                 sorted([5 + len(b), len(b)] for b in bodies))

    def test_resets_and_a_missing_host_close_the_client_side(self):
        relay = self.relay(8e6, 0.02)
        with connect(relay) as sock:
            sock.sendall(b"reset\n")
            try:
                self.assertEqual(read_all(sock), b"")
            except ConnectionResetError:
                pass
        self.wait_until_closed(relay)
        closed_host = socket.create_server(("127.0.0.1", 0))
        port = closed_host.getsockname()[1]
        closed_host.close()
        lonely = LineRelay(port, 8e6, 0.02).start()
        self.addCleanup(lonely.stop)
        with connect(lonely) as sock:
            self.assertEqual(read_all(sock), b"")
        self.assertEqual(lonely.connections, [])


class Timing(RelayCase):
    LINES = [(8e6, 0.06), (40e6, 0.02)]

    def test_round_trips_and_the_handshake(self):
        for rate, rtt in self.LINES:
            with self.subTest(rate=rate, rtt=rtt):
                relay = self.relay(rate, rtt)
                with connect(relay) as sock:
                    start = time.monotonic()
                    sock.sendall(b"echo\nx")
                    self.assertEqual(sock.recv(10), b"x")
                    self.assertTook(time.monotonic() - start, 2 * rtt, "the first answer")
                    times = []
                    for _ in range(7):
                        start = time.monotonic()
                        sock.sendall(b"y")
                        self.assertEqual(sock.recv(10), b"y")
                        times.append(time.monotonic() - start)
                    self.assertTook(statistics.median(times), rtt, "a later round trip")
                    self.assertGreaterEqual(min(times), rtt - EARLY)

    def test_transfers_take_the_rate_shared_by_connections_not_by_directions(self):
        for rate, rtt in self.LINES:
            size = int(rate / 8 * 0.4)
            cases = {  # what -> (exchanges at once, the line's time for them)
                "one download": ([(b"send %d\n" % size, b"")], 2 * rtt + size * 8 / rate),
                "two downloads share the line": ([(b"send %d\n" % size, b"")] * 2,
                                                 2 * rtt + 2 * size * 8 / rate),
                "an upload while its echo comes back": ([(b"echo\n", bytes(size))],
                                                        2 * rtt + size * 8 / rate),
            }
            for what, (exchanges, line_time) in cases.items():
                with self.subTest(rate=rate, rtt=rtt, case=what):
                    relay = self.relay(rate, rtt)
                    start = time.monotonic()
                    results = in_parallel([lambda e=e: exchange(relay, *e) for e in exchanges])
                    self.assertTook(time.monotonic() - start, line_time, what)
                    self.assertEqual([len(answer) for answer, _ in results],
                                     [size] * len(exchanges))
                    if len(exchanges) > 1:  # taken in turns, not one after the other
                        self.assertGreater(min(s for _, s in results), 0.75 * line_time)


class CommandLine(unittest.TestCase):
    def test_port_file_counts_file_and_refused_options(self):
        host = Host()
        self.addCleanup(host.close)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        port_file, counts_file = (os.path.join(folder, n) for n in ("port", "counts.json"))
        process = subprocess.Popen([sys.executable, RELAY, str(host.port), "--rate", "80",
                                    "--rtt", "10", "--port-file", port_file, "--counts-file",
                                    counts_file], stdin=subprocess.DEVNULL)
        self.addCleanup(process.kill)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file) and time.monotonic() < deadline:
            time.sleep(0.02)
        with open(port_file) as src:
            port = int(src.read())
        relay = type("Port", (), {"port": port})
        self.assertEqual(exchange(relay, b"echo\n", b"abc")[0], b"abc")
        self.assertEqual(len(exchange(relay, b"send 5000\n")[0]), 5000)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(20), 0)
        with open(counts_file) as src:
            self.assertEqual(json.load(src), [[8, 3], [10, 5000]])
        for options in (["--rate", "0"], ["--rate", "fast"], ["--rtt", "-1"]):
            with self.subTest(options=options):
                done = subprocess.run([sys.executable, RELAY, str(host.port)] + options,
                                      capture_output=True, text=True, timeout=20)
                self.assertEqual(done.returncode, 2, done.stderr)


if __name__ == "__main__":
    unittest.main()
