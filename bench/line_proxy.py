#!/usr/bin/env python3
"""A TCP proxy on loopback that stands for a player's line in front of the benchmark's nginx.

    line_proxy.py --listen PORT --target PORT [--delay-ms N] [--cut-after BYTES] [--stats FILE]

Every connection to 127.0.0.1:LISTEN is relayed to 127.0.0.1:TARGET. TLS passes through untouched: the proxy sees
only bytes.
  --delay-ms N      each chunk reaches the other side N ms after it arrived, in both directions, so that a round
                    trip takes 2N ms more (the kernel here has no netem)
  --cut-after B     the first connection is dropped once B bytes have gone from the server to the client, as a line
                    that breaks mid-transfer; later connections are relayed whole
  --stats FILE      after every connection, FILE is rewritten with "connections=N" and "to_client=BYTES", the bytes
                    delivered to clients (TLS records and HTTP headers included)

It stops on SIGTERM or SIGINT. Only loopback is ever listened on or connected to.
"""

import argparse
import asyncio
import signal

CHUNK_BYTES = 65536


class Line:
    def __init__(self, args):
        self.args = args
        self.connections = 0
        self.to_client = 0
        self.cut_done = args.cut_after is None

    def write_stats(self):
        if self.args.stats:
            with open(self.args.stats, "w", encoding="ascii") as stats:
                stats.write("connections=%d\nto_client=%d\n" % (self.connections, self.to_client))

    async def relay(self, reader, writer, to_client, cut):
        """Copies one direction; each chunk is written delay_ms after it was read, in order."""
        delay = self.args.delay_ms / 1000.0
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        async def deliver():
            while True:
                due, chunk = await queue.get()
                if chunk is None:
                    break
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                writer.write(chunk)
                await writer.drain()

        sender = asyncio.create_task(deliver())
        sent = 0
        try:
            while True:
                chunk = await reader.read(CHUNK_BYTES)
                if not chunk:
                    break
                if to_client and cut is not None:
                    if sent + len(chunk) >= cut:
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
            try:
                await sender
            except (ConnectionError, OSError):
                pass

    async def handle(self, client_reader, client_writer):
        cut = None
        if not self.cut_done:
            cut = self.args.cut_after
            self.cut_done = True
        self.connections += 1
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.args.target)
        except OSError:
            client_writer.close()
            return
        upstream = asyncio.create_task(self.relay(client_reader, server_writer, False, None))
        downstream = asyncio.create_task(self.relay(server_reader, client_writer, True, cut))
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
    parser.add_argument("--stats")
    args = parser.parse_args()
    line = Line(args)
    line.write_stats()
    server = await asyncio.start_server(line.handle, "127.0.0.1", args.listen)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    async with server:
        await stop.wait()


if __name__ == "__main__":
    asyncio.run(main())
