#!/usr/bin/env python3
"""relay - a TCP relay on loopback that makes a link look far away.

It listens on 127.0.0.1, and for every connection it accepts opens one to the
target and moves bytes both ways, each run of bytes held back by half the round
trip time in its direction, so that every request and its answer cost one round
trip. A new connection costs one round trip more before its first bytes move (the
handshake of a real link). An optional uplink cap, shared by all connections,
limits the bytes per second sent towards the target. Order and content of the
bytes are never changed; a half close is passed on as a half close.

Usage: relay.py --target HOST:PORT [--port N] [--rtt-ms MS] [--uplink-bytes-per-second N]

The first line on stdout is the port it listens on (port 0 lets the system
choose); nothing else is written to stdout. It ends by itself when its parent
process ends, and after --max-seconds (one hour unless told otherwise).
"""

import argparse
import asyncio
import os
import sys

READ_CHUNK = 64 * 1024       # bytes read from a socket at a time
QUEUE_CHUNKS = 64            # runs of bytes held per direction before reading pauses
PARENT_POLL_SECONDS = 0.5    # how often the parent is looked for


class Uplink:
    """A shared cap in bytes per second: each run of bytes is given the moment its
    last byte has gone out, after every run that was given one before it."""

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    def clears_at(self, now, size):
        if not self.rate:
            return now
        self.free_at = max(now, self.free_at) + size / self.rate
        return self.free_at


async def one_way(reader, writer, delay, uplink=None):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(QUEUE_CHUNKS)

    async def receive():
        while True:
            try:
                data = await reader.read(READ_CHUNK)
            except (ConnectionError, OSError):
                data = b''
            sent = uplink.clears_at(loop.time(), len(data)) if uplink else loop.time()
            await queue.put((sent + delay, data))
            if not data:
                return

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            try:
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()
            except (ConnectionError, OSError):
                return

    await asyncio.gather(receive(), deliver())


async def relay_connection(client_reader, client_writer, target, rtt, uplink):
    try:
        up_reader, up_writer = await asyncio.open_connection(*target)
    except OSError as e:
        print('relay: cannot reach %s:%d: %s' % (target[0], target[1], e), file=sys.stderr)
        client_writer.close()
        return
    try:
        await asyncio.sleep(rtt)  # the handshake of a far-away link
        await asyncio.gather(one_way(client_reader, up_writer, rtt / 2, uplink),
                             one_way(up_reader, client_writer, rtt / 2))
    finally:
        for w in (up_writer, client_writer):
            w.close()


async def watch_parent(parent, max_seconds):
    loop = asyncio.get_running_loop()
    end = loop.time() + max_seconds
    while os.getppid() == parent and loop.time() < end:
        await asyncio.sleep(PARENT_POLL_SECONDS)


async def main_async(args):
    host, port = args.target.rsplit(':', 1)
    target = (host, int(port))
    rtt = args.rtt_ms / 1000.0
    uplink = Uplink(args.uplink_bytes_per_second) if args.uplink_bytes_per_second else None
    parent = os.getppid()

    async def accept(reader, writer):
        await relay_connection(reader, writer, target, rtt, uplink)

    server = await asyncio.start_server(accept, '127.0.0.1', args.port)
    sys.stdout.write('%d\n' % server.sockets[0].getsockname()[1])
    sys.stdout.flush()
    async with server:
        await watch_parent(parent, args.max_seconds)


def main():
    parser = argparse.ArgumentParser(description='delaying TCP relay on loopback')
    parser.add_argument('--target', required=True, help='HOST:PORT to relay to')
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--rtt-ms', type=float, default=20.0, help='round trip time added')
    parser.add_argument('--uplink-bytes-per-second', type=float, default=0,
                        help='shared cap towards the target; 0 for none')
    parser.add_argument('--max-seconds', type=float, default=3600)
    asyncio.run(main_async(parser.parse_args()))


if __name__ == '__main__':
    main()
