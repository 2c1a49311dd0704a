#!/usr/bin/env python3
"""A TCP proxy on loopback that stands for a player's line in front of the benchmark's nginx.

    line_proxy.py --listen PORT --target PORT [--delay-ms N] [--cut-after BYTES] [--buffer BYTES] [--stats FILE]

Every connection to 127.0.0.1:LISTEN is relayed to 127.0.0.1:TARGET. TLS passes through untouched: the proxy sees
only bytes.
  --delay-ms N      each chunk reaches the other side N ms after it arrived, in both directions, so that a round
                    trip takes 2N ms more (the kernel here has no netem)
  --cut-after B     the first connection to carry B bytes from the server to the client is dropped there, as a line
                    that breaks mid-transfer (smaller exchanges before it, a 404 say, pass); later ones pass whole
  --buffer B        the send and receive buffers of the proxy's sockets held to B bytes each, instead of what
                    loopback's autotuning gives (megabytes): the bytes in flight at a cut are then a real line's
  --stats FILE      after every connection, FILE is rewritten with "connections=N" and "to_client=BYTES", the bytes
                    delivered to clients (TLS records and HTTP headers included), and cut=1 once the cut was made

Without a delay the proxy holds at most two chunks of a direction, so that the server is held back as the client
is: what the server has sent past a cut is then what a real line would have had in flight, not a proxy's backlog.
With a delay it holds enough for a fast line's round trip.

It stops on SIGTERM or SIGINT. Only loopback is ever listened on or connected to.
"""

import argparse
import asyncio
import signal
import socket

CHUNK_BYTES = 65536
# Chunks held per direction: with a delay, 16 MiB, which keeps 600 MB/s flowing over a 25 ms leg.
HELD_CHUNKS_UNDELAYED = 2
HELD_CHUNKS_DELAYED = 256


class Line:
    def __init__(self, args):
        self.args = args
        self.connections = 0
        self.to_client = 0
        self.cut_done = args.cut_after is None
        self.held_chunks = HELD_CHUNKS_DELAYED if args.delay_ms > 0 else HELD_CHUNKS_UNDELAYED

    def write_stats(self):
        if self.args.stats:
            with open(self.args.stats, "w", encoding="ascii") as stats:
                stats.write("connections=%d\nto_client=%d\ncut=%d\n" % (self.connections, self.to_client,
                                                                          int(self.args.cut_after is not None and
                                                                              self.cut_done)))

    async def relay(self, reader, writer, to_client):
        """Copies one direction; each chunk is written delay_ms after it was read, in order."""
        delay = self.args.delay_ms / 1000.0
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue(self.held_chunks)

        async def deliver():
            broken = False
            while True:
                due, chunk = await queue.get()
                if chunk is None:
                    break
                if broken:
                    # The queue is bounded: keep taking chunks so that the reading side never waits forever.
                    continue
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                try:
                    writer.write(chunk)
                    await writer.drain()
                except (ConnectionError, OSError):
                    broken = True

        sender = asyncio.create_task(deliver())
        sent = 0
        try:
            while True:
                chunk = await reader.read(CHUNK_BYTES)
                if not chunk:
                    break
                # Deciding and marking the cut with no await between them: one connection only is cut.
                if to_client and not self.cut_done:
                    cut = self.args.cut_after
                    if sent + len(chunk) >= cut:
                        self.cut_done = True
                        chunk = chunk[: cut - sent]
                        await queue.put((loop.time() + delay, chunk))
                        sent += len(chunk)
                        self.to_client += len(chunk)
                        raise ConnectionAbortedError("cut")
                if to_client:
                    self.to_client += len(chunk)
                sent += len(chunk)
                await queue.put((loop.time() + delay, chunk))
        finally:
            await queue.put((0, None))
            await sender

    def hold_buffers(self, sock):
        """Before a connection carries data, so that the window it advertises is the held one."""
        if self.args.buffer:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, self.args.buffer)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.args.buffer)

    async def handle(self, client_reader, client_writer):
        self.connections += 1
        self.hold_buffers(client_writer.get_extra_info("socket"))
        try:
            upstream_socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.hold_buffers(upstream_socket)
            upstream_socket.setblocking(False)
            await asyncio.get_running_loop().sock_connect(upstream_socket, ("127.0.0.1", self.args.target))
            server_reader, server_writer = await asyncio.open_connection(sock=upstream_socket)
        except OSError:
            client_writer.close()
            return
        upstream = asyncio.create_task(self.relay(client_reader, server_writer, False))
        downstream = asyncio.create_task(self.relay(server_reader, client_writer, True))
        done, pending = await asyncio.wait({upstream, downstream}, return_when=asyncio.FIRST_COMPLETED)
        for task in pending:
            task.cancel()
        was_cut = downstream.done() and not downstream.cancelled() and downstream.exception() is not None
        for writer in (client_writer, server_writer):
            if was_cut:
                # A cut drops the connection without a TLS close, as a broken line does.
                writer.transport.abort()
            else:
                writer.close()
        self.write_stats()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", type=int, required=True)
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--cut-after", type=int)
    parser.add_argument("--buffer", type=int)
    parser.add_argument("--stats")
    args = parser.parse_args()
    line = Line(args)
    line.write_stats()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # Accepted connections take the listener's receive buffer from their first segment on.
    line.hold_buffers(listener)
    listener.bind(("127.0.0.1", args.listen))
    server = await asyncio.start_server(line.handle, sock=listener)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    async with server:
        await stop.wait()


if __name__ == "__main__":
    asyncio.run(main())
