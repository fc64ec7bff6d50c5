#!/usr/bin/python3
"""A TCP proxy that delays every chunk by D milliseconds in each direction,
keeping the order, as a link with a round trip of 2 D would: the benchmarks
put it between a client and a local server.

  delay_proxy.py --delay-ms D LISTEN=TARGET [LISTEN=TARGET ...]

LISTEN and TARGET are HOST:PORT ([IPv6]:PORT). Prints "ready" on standard
output once every listener is up; runs until SIGTERM or SIGINT. An end of
data in one direction is passed on after the same delay; an error on either
side closes both.
"""

import argparse
import asyncio
import signal
import sys


def endpoint(text):
    host, _, port = text.rpartition(":")
    return host.strip("[]"), int(port)


async def pump(reader, writer, delay):
    """Copies reader to writer, each chunk `delay` seconds after it came."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data or None))
            if not data:
                break
        await sender
    finally:
        sender.cancel()


async def serve(target, delay, client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError:
        client_writer.close()
        return
    try:
        await asyncio.gather(pump(client_reader, server_writer, delay), pump(server_reader, client_writer, delay))
    except (OSError, asyncio.IncompleteReadError):
        pass
    finally:
        for w in (client_writer, server_writer):
            w.close()


async def main():
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("--delay-ms", type=float, required=True)
    ap.add_argument("forward", nargs="+", metavar="LISTEN=TARGET")
    args = ap.parse_args()
    delay = args.delay_ms / 1000.0
    servers = []
    for pair in args.forward:
        listen, _, target = pair.partition("=")
        host, port = endpoint(listen)
        to = endpoint(target)
        servers.append(await asyncio.start_server(lambda r, w, to=to: serve(to, delay, r, w), host, port,
                                                  reuse_address=True))
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    print("ready", flush=True)
    await stop.wait()
    for s in servers:
        s.close()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
