#!/usr/bin/env python3
"""A TCP proxy between a program and its server that a test makes fail as a
plant's network does. Prints "listening PORT", then reads commands, one a
line, and answers each with "ok COMMAND" once it holds:
  pass   bytes flow (what was held meanwhile goes on, as TCP resends it)
  drop   nothing flows either way, and new connections are not answered:
         packets dropped, the connections neither closed nor refused
  reset  every connection cut with a reset; new ones go through
  delay MS  every piece of data held MS milliseconds before it goes on
            (delay 0 ends it)
Ends when its standard input does."""
import asyncio
import socket
import struct
import sys

UPSTREAM = (sys.argv[1], int(sys.argv[2]))
flowing = asyncio.Event()
flowing.set()
pairs = set()
delay = 0.0


def cut(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    writer.close()


async def pump(reader, writer):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            await flowing.wait()
            if delay:
                await asyncio.sleep(delay)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def accepted(client_reader, client_writer):
    await flowing.wait()
    try:
        up_reader, up_writer = await asyncio.open_connection(*UPSTREAM)
    except OSError:
        cut(client_writer)
        return
    pair = (client_writer, up_writer)
    pairs.add(pair)
    try:
        await asyncio.gather(pump(client_reader, up_writer), pump(up_reader, client_writer))
    finally:
        pairs.discard(pair)


async def commands():
    global delay
    loop = asyncio.get_running_loop()
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            return
        command = line.strip()
        if command == "pass":
            flowing.set()
        elif command == "drop":
            flowing.clear()
        elif command.startswith("delay "):
            delay = int(command.split()[1]) / 1000.0
        elif command == "reset":
            for pair in list(pairs):
                for writer in pair:
                    cut(writer)
            pairs.clear()
            flowing.set()
        print("ok " + command, flush=True)


async def main():
    server = await asyncio.start_server(accepted, "127.0.0.1", 0)
    print("listening %d" % server.sockets[0].getsockname()[1], flush=True)
    await commands()
    server.close()


asyncio.run(main())
