#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that holds every chunk back for a while in each
direction, as a far-away server would: a round trip through it takes twice
the delay longer. Order is kept. With RATE_KBPS each connection carries at
most that many kilobytes (1000 bytes) a second in each direction, as a news
provider caps each connection; without it bandwidth is not limited.

  delay_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS [RATE_KBPS [COUNT_FILE]]

Prints "ready" once it listens; runs until it is terminated. With
COUNT_FILE, the bytes the server sent through it so far are written there
each time a connection ends.
"""

import asyncio
import socket
import sys


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def quick_ack(writer):
    """Acknowledges what arrived at once. A delayed acknowledgement would
    hold up a peer that sends a reply in two writes (Nagle's algorithm) for
    some 40 ms, a stall of the proxy's own on top of the delay it stands
    for. Linux forgets the setting after a while, so it is set after every
    read."""
    sock = writer.get_extra_info("socket")
    if sock is not None and hasattr(socket, "TCP_QUICKACK"):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        except OSError:
            pass


# Pieces a capped connection sends at a time: smooth enough for the cap.
PACED_PIECE = 16384


class Counter:
    """Bytes from the server, over all connections."""
    def __init__(self, path):
        self.path = path
        self.total = 0

    def save(self):
        if self.path:
            with open(self.path, "w") as out:
                out.write("%d\n" % self.total)


async def pump(reader, writer, delay, rate, reader_end, counter=None):
    """Copies reader to writer, each chunk delay seconds after it arrived,
    at most rate bytes a second (0: no cap); reader_end is the writer of the
    reader's socket."""
    loop = asyncio.get_running_loop()
    chunks = asyncio.Queue()

    async def receive():
        while True:
            data = await reader.read(65536)
            if counter is not None:
                counter.total += len(data)
            quick_ack(reader_end)
            chunks.put_nowait((loop.time() + delay, data))
            if not data:
                return

    async def send():
        next_free = loop.time()
        while True:
            due, data = await chunks.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            if not rate:
                writer.write(data)
                await writer.drain()
                continue
            for start in range(0, len(data), PACED_PIECE):
                piece = data[start:start + PACED_PIECE]
                wait = next_free - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                next_free = max(next_free, loop.time() - 0.05) + len(piece) / rate
                writer.write(piece)
                await writer.drain()

    try:
        await asyncio.gather(receive(), send())
    except (ConnectionError, OSError):
        pass


async def serve(listen_port, target_port, delay, rate, counter):
    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        no_delay(client_writer)
        no_delay(server_writer)
        await asyncio.gather(pump(client_reader, server_writer, delay, rate, client_writer),
                             pump(server_reader, client_writer, delay, rate, server_writer, counter))
        for writer in (client_writer, server_writer):
            writer.close()
        counter.save()

    server = await asyncio.start_server(connection, "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


def main():
    listen_port, target_port, delay_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    rate_kbps = float(sys.argv[4]) if len(sys.argv) > 4 else 0
    counter = Counter(sys.argv[5] if len(sys.argv) > 5 else None)
    asyncio.run(serve(listen_port, target_port, delay_ms / 1000, rate_kbps * 1000, counter))


if __name__ == "__main__":
    main()
