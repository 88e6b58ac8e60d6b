#!/usr/bin/env python3
"""A line of a given rate and round-trip time between clients and a host on loopback.

usage: line_relay.py HOST_PORT [--rate MBIT|unlimited] [--rtt MS] [--port PORT]
                     [--port-file FILE] [--counts-file FILE] [--stop-after SECONDS]

A TCP relay on 127.0.0.1: each connection it accepts is joined to a connection
of its own to 127.0.0.1:HOST_PORT, and the bytes of both directions pass through
it as they would through a line of that rate and round-trip time:

- The line has one link per direction, shared by every connection, as a
  player's line is. A piece read from a connection goes onto its direction's
  link behind everything already queued there, takes its size / rate to pass,
  and arrives half the round-trip time after it has passed. The rate counts the
  bytes that TCP carries (a real line spends a few per cent more on the
  headers of its packets).
- A connection's first bytes towards the host arrive one round trip later
  still: on a real line the client's connect() returns only after the TCP
  handshake has gone there and back, while here it returns at once.
- A link queues at most about 20 ms of data (two pieces at the least); a
  sender beyond that waits in its own socket buffer, as it would behind a
  router. Connections with data take the link in turns, a piece (2 ms of the
  rate, 16 to 256 KiB) at a time, as TCP flows share a line.
- End of data (a half-close) follows a connection's last byte the same way;
  a reset or error on one side closes both.

The relay ends the TCP connections on both sides, so TCP's own slow start and
losses are not part of the line: it is a line that is never congested by
others and loses nothing.

--rate unlimited and --rtt 0 make it a plain relay (to measure the relay
itself). --port-file receives the port once it listens; --counts-file receives,
on SIGTERM or at --stop-after, a JSON list of [bytes to the host, bytes from
the host] per connection, in the order of their acceptance.

One thread serves every connection with non-blocking sockets; it sleeps in
epoll to the millisecond and the last fraction of a millisecond in a precise
sleep, so that data is let through within about 0.1 ms of its time.
"""

import argparse
import collections
import errno
import json
import os
import selectors
import signal
import socket
import sys
import threading
import time

QUEUE_SECONDS = 0.020
PIECE_SECONDS = 0.002
PIECE_MIN_BYTES = 16 << 10
PIECE_MAX_BYTES = 256 << 10
EOF = None  # the queue's mark of a source's end of data


class Link:
    """One direction of the line: its rate in bytes per second (None: unlimited),
    its one-way delay, and the time at which it will have passed all that is
    queued on it."""

    def __init__(self, rate, delay):
        self.rate, self.delay, self.free_at = rate, delay, 0.0
        # The pipes of the link, the one that read last at the end: whoever has
        # waited longest takes the next turn.
        self.turns = collections.OrderedDict()
        if rate is None:
            self.queue_seconds, self.piece = None, PIECE_MAX_BYTES
        else:
            self.piece = int(min(PIECE_MAX_BYTES, max(PIECE_MIN_BYTES, rate * PIECE_SECONDS)))
            self.queue_seconds = max(QUEUE_SECONDS, 2 * self.piece / rate)
        # What one connection holds before it reads no more: the data on its way
        # (the link's queue and the one-way delay at full rate), twice over.
        in_flight = 0 if rate is None else rate * (self.queue_seconds + delay)
        self.hold = int(max(4 << 20, 2 * in_flight))

    def accept_at(self, now):
        """When the link takes new data again: now, or once its queue has drained
        to the limit."""
        if self.rate is None:
            return now
        return max(now, self.free_at - self.queue_seconds)

    def send(self, now, size):
        """Puts size bytes on the link; the time their last byte has passed it."""
        if self.rate is None:
            return now
        self.free_at = max(now, self.free_at) + size / self.rate
        return self.free_at


class Pipe:
    """One direction of one connection: what was read from source and waits for
    its time to be written to target."""

    def __init__(self, connection, source, target, link, not_before):
        self.connection, self.source, self.target, self.link = connection, source, target, link
        self.not_before = not_before
        self.queue = collections.deque()  # [due time, data or EOF]
        self.held = 0
        self.bytes = 0
        self.source_open = True
        self.blocked = False  # the target's buffer is full; wait until it is writable
        self.done = False  # the end of data was passed on

    def wants_read(self, now):
        return (self.source_open and self.held < self.link.hold
                and self.link.accept_at(now) <= now)

    def read(self, now):
        """Reads one piece, if the link and the hold allow."""
        if not self.wants_read(now):
            return
        try:
            data = self.source.recv(self.link.piece)
        except (BlockingIOError, InterruptedError):
            return
        self.link.turns.move_to_end(self)
        if not data:
            self.source_open = False
            self.queue.append([self.due(self.link.send(now, 0)), EOF])
            return
        self.bytes += len(data)
        self.held += len(data)
        self.queue.append([self.due(self.link.send(now, len(data))), memoryview(data)])

    def due(self, passed):
        return max(passed, self.not_before) + self.link.delay

    def write(self, now):
        """Writes what is due; the time of the next piece, or None."""
        queue = self.queue
        while queue and queue[0][0] <= now:
            data = queue[0][1]
            if data is EOF:
                queue.popleft()
                self.done = True
                try:
                    self.target.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return None
            try:
                sent = self.target.send(data)
            except (BlockingIOError, InterruptedError):
                sent = 0
            self.held -= sent
            if sent < len(data):
                queue[0][1] = data[sent:]
                self.blocked = True
                return None
            queue.popleft()
        self.blocked = False
        return queue[0][0] if queue else None

    def next_time(self, now):
        """When this pipe has something to do again without a socket event."""
        times = []
        if self.queue and not self.blocked:
            times.append(self.queue[0][0])
        if self.source_open and self.held < self.link.hold and self.link.accept_at(now) > now:
            times.append(self.link.accept_at(now))  # the link's queue drains enough then
        return min(times) if times else None


class Connection:
    def __init__(self, relay, client, host, now):
        self.relay, self.sockets = relay, (client, host)
        self.up = Pipe(self, client, host, relay.up, now + relay.rtt)
        self.down = Pipe(self, host, client, relay.down, now)
        for pipe in self.pipes():
            pipe.link.turns[pipe] = None
        self.masks = {client: 0, host: 0}
        self.closed = False

    def pipes(self):
        return self.up, self.down

    def source_of(self, sock):
        return self.up if sock is self.up.source else self.down

    def target_of(self, sock):
        return self.down if sock is self.down.target else self.up

    def step(self, now):
        """Writes what is due and updates what the loop waits for; the next time
        this connection needs the loop, or None."""
        for pipe in self.pipes():
            if not pipe.blocked:
                pipe.write(now)
        if self.up.done and self.down.done:
            self.close()
            return None
        for sock in self.sockets:
            mask = selectors.EVENT_READ if self.source_of(sock).wants_read(now) else 0
            if self.target_of(sock).blocked:
                mask |= selectors.EVENT_WRITE
            if mask != self.masks[sock]:
                if not self.masks[sock]:
                    self.relay.selector.register(sock, mask, self)
                elif not mask:
                    self.relay.selector.unregister(sock)
                else:
                    self.relay.selector.modify(sock, mask, self)
                self.masks[sock] = mask
        times = [t for t in (p.next_time(now) for p in self.pipes()) if t is not None]
        return min(times) if times else None

    def close(self):
        if self.closed:
            return
        self.closed = True
        for sock in self.sockets:
            if self.masks[sock]:
                self.relay.selector.unregister(sock)
            sock.close()
        for pipe in self.pipes():
            del pipe.link.turns[pipe]
        self.relay.connections.remove(self)


class LineRelay:
    """The relay; rate in bits per second (None: unlimited), rtt in seconds."""

    def __init__(self, host_port, rate=None, rtt=0.0, port=0):
        byte_rate = None if rate is None else rate / 8
        self.host_port, self.rtt = host_port, rtt
        self.up, self.down = Link(byte_rate, rtt / 2), Link(byte_rate, rtt / 2)
        self.listener = socket.create_server(("127.0.0.1", port), backlog=128)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ, "accept")
        self.wake_read, self.wake_write = socket.socketpair()
        self.wake_read.setblocking(False)
        self.selector.register(self.wake_read, selectors.EVENT_READ, "wake")
        self.connections = []
        self.counts = []  # [bytes to the host, bytes from the host] per connection
        self.stopping = False
        self.thread = None

    # -- running ---------------------------------------------------------------

    def start(self):
        """Serves in a thread of this process until stop()."""
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.stopping = True
        try:
            self.wake_write.send(b"x")
        except OSError:
            pass
        if self.thread is not None and self.thread is not threading.current_thread():
            self.thread.join()

    def serve(self):
        try:
            while not self.stopping:
                now = time.monotonic()
                wake = None
                for connection in list(self.connections):
                    try:
                        at = connection.step(now)
                    except OSError:
                        connection.close()  # a reset or error on either side ends both
                        continue
                    if at is not None and (wake is None or at < wake):
                        wake = at
                self.wait(wake)
        finally:
            for connection in list(self.connections):
                connection.close()
            self.selector.close()
            self.listener.close()
            self.wake_read.close()
            self.wake_write.close()

    def wait(self, wake):
        """Waits for socket events, or until wake: in epoll to the whole millisecond,
        then the rest in a precise sleep (epoll counts whole milliseconds only)."""
        timeout = None
        if wake is not None:
            left = wake - time.monotonic()
            if left <= 0:
                timeout = 0
            elif left < 0.001:
                time.sleep(left)
                timeout = 0
            else:
                timeout = (int(left * 1000) - 0.5) / 1000  # epoll rounds it up to whole ms
        readable = set()
        events = self.selector.select(timeout)
        now = time.monotonic()
        for key, mask in events:
            if key.data == "accept":
                self.accept()
            elif key.data == "wake":
                try:
                    self.wake_read.recv(64)
                except OSError:
                    pass
            else:
                connection, sock = key.data, key.fileobj
                if mask & selectors.EVENT_WRITE:
                    self.guarded(connection, connection.target_of(sock).write, now)
                if mask & selectors.EVENT_READ:
                    readable.add(connection.source_of(sock))
        # One piece a pipe, in the order of the link's turns: connections that
        # have data take the link in turns, as TCP flows share a line.
        for link in (self.up, self.down):
            for pipe in [p for p in link.turns if p in readable]:
                self.guarded(pipe.connection, pipe.read, now)

    @staticmethod
    def guarded(connection, action, now):
        if connection.closed:
            return
        try:
            action(now)
        except OSError:
            connection.close()  # a reset or error on either side ends both

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                    return
                raise
            try:
                host = socket.create_connection(("127.0.0.1", self.host_port), timeout=5)
            except OSError:
                client.close()
                continue
            now = time.monotonic()
            for end in (client, host):
                end.setblocking(False)
                end.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            connection = Connection(self, client, host, now)
            self.connections.append(connection)
            self.counts.append(connection)

    def byte_counts(self):
        """[bytes to the host, bytes from the host] of every connection so far."""
        return [[c.up.bytes, c.down.bytes] for c in self.counts]


def parse_rate(text):
    """Bits per second of a --rate value in Mbit/s, or None for unlimited."""
    if text == "unlimited":
        return None
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("a rate is a positive number of Mbit/s or 'unlimited'")
    return value * 1e6


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("host_port", type=int, help="the host's port on 127.0.0.1")
    parser.add_argument("--rate", type=parse_rate, default=None, metavar="MBIT",
                        help="Mbit/s (10^6 bits) per direction, or unlimited (the default)")
    parser.add_argument("--rtt", type=float, default=0.0, metavar="MS",
                        help="round-trip time in milliseconds (default 0)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: a free one)")
    parser.add_argument("--port-file", help="write the port here once listening")
    parser.add_argument("--counts-file", help="write the byte counts here when stopped")
    parser.add_argument("--stop-after", type=float, default=7200, metavar="SECONDS",
                        help="stop by itself after this long (default 7200)")
    args = parser.parse_args(argv)
    if args.rtt < 0:
        parser.error("--rtt must not be negative")

    relay = LineRelay(args.host_port, args.rate, args.rtt / 1000, args.port)
    if args.port_file:
        with open(args.port_file + ".new", "w") as out:
            out.write("%d\n" % relay.port)
        os.replace(args.port_file + ".new", args.port_file)
    signal.signal(signal.SIGTERM, lambda *_: relay.stop())
    signal.signal(signal.SIGINT, lambda *_: relay.stop())
    timer = threading.Timer(args.stop_after, relay.stop)
    timer.daemon = True
    timer.start()
    relay.serve()
    if args.counts_file:
        with open(args.counts_file + ".new", "w") as out:
            json.dump(relay.byte_counts(), out)
        os.replace(args.counts_file + ".new", args.counts_file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
