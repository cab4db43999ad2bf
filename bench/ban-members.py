#!/usr/bin/python3
"""A ban on a range that 1,000 connected members come from: how long until they are all gone, and
what the rest of the room reads meanwhile.

    bench/ban-members.py [BUILD_DIR] [--members N] [--others N]

Starts velmora-server from BUILD_DIR (default build/native) on a free loopback port with a control
socket, connects N members from 127.0.0.2 and the others from 127.0.0.1, bans 127.0.0.2 with
`velmora-server ctl`, and prints one RESULT line.
"""
import argparse
import asyncio
import os
import subprocess
import sys
import tempfile
import time

MASK = 0x5A


def unmask(data):
    return bytes(b ^ MASK for b in data)


async def connect(port, source):
    reader, writer = await asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0))
    await reader.readuntil(bytes([ord("\r") ^ MASK, ord("\n") ^ MASK]))
    return reader, writer


async def closed_at(reader):
    while await reader.read(65536):
        pass
    return time.monotonic()


async def lines_until(reader, deadline):
    lines = []
    buffer = b""
    while time.monotonic() < deadline:
        try:
            data = await asyncio.wait_for(reader.read(65536), deadline - time.monotonic())
        except asyncio.TimeoutError:
            break
        if not data:
            break
        buffer += unmask(data)
        *done, buffer = buffer.split(b"\r\n")
        lines += [line.decode("cp1252") for line in done]
    return lines


async def run(args, server, port, control):
    members = [await connect(port, "127.0.0.2") for _ in range(args.members)]
    others = [await connect(port, "127.0.0.1") for _ in range(args.others)]
    await asyncio.sleep(1)  # the join notices settle
    for reader, _ in others:
        while True:
            try:
                await asyncio.wait_for(reader.read(65536), 0.2)
            except asyncio.TimeoutError:
                break
    gone = [asyncio.ensure_future(closed_at(reader)) for reader, _ in members]
    heard = [asyncio.ensure_future(lines_until(reader, time.monotonic() + 3)) for reader, _ in others]
    start = time.monotonic()
    ctl = await asyncio.create_subprocess_exec(server, "ctl", "--control", control, "ban", "127.0.0.2", "spam",
                                               stdout=subprocess.PIPE)
    said = (await ctl.communicate())[0].decode().strip()
    last = max(await asyncio.gather(*gone))
    told = await asyncio.gather(*heard)
    lines = told[0]
    same = all(t == lines for t in told)
    print(f"RESULT members={args.members} others={args.others} all_gone_ms={1000 * (last - start):.1f}"
          f" lines_each_other_read={len(lines)} all_others_read_the_same={'yes' if same else 'no'}"
          f" ctl=\"{said}\"")
    for line in lines:
        print(f"  {line}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build/native")
    parser.add_argument("--members", type=int, default=1000)
    parser.add_argument("--others", type=int, default=25)
    args = parser.parse_args()
    server = os.path.join(args.build, "server", "velmora-server")
    with tempfile.TemporaryDirectory() as scratch:
        control = os.path.join(scratch, "control")
        process = subprocess.Popen([server, "--port", "0", "--bind", "127.0.0.1", "--control", control,
                                    "--max-per-address", "0"], stdout=subprocess.PIPE,
                                   stderr=open(os.path.join(scratch, "log"), "w"))
        try:
            port = int(process.stdout.readline())
            asyncio.run(run(args, server, port, control))
        finally:
            process.terminate()
            process.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
