"""Many HTTP connections at once, for the whole-program load tests.

  http_load.py keepalive HOST PORT --connections N --requests R --doc PATH=FILE...
                         [--at-once K]
      N connections, all open at the same time, each asking R requests with
      Connection: keep-alive; request k of a connection asks document
      k mod (number of --doc). Every answer must be 200 with exactly FILE's
      bytes. At most K connects (8 by default) are under way at once.
  http_load.py stall HOST PORT PATH --stalled N --normal M --doc PATH=FILE...
                     (--idle-close MIN MAX | --hold)
      N connections send the start of a request and nothing more; then M
      normal clients, two connections of two keep-alive requests each, must
      all be answered. --idle-close: every stalled connection must be closed
      by the server, unanswered, between MIN and MAX seconds after it
      stalled. --hold: every stalled one must still be open, unanswered,
      after the normal clients; they are then closed.
  http_load.py churn HOST PORT PATH --streams N --parallel K
      N stream requests, K at a time, each leaving at a random point: before
      its request is complete, right after it (before the first data), after
      the head, in the middle of the stream, or while the server's send is
      blocked on a full window; by FIN or by RST. Every head that arrives
      must be the bare 200 head.
  http_load.py load HOST PORT --readers N --read-path P [--askers M --doc PATH=FILE]
      N readers read P slowly until the server closes them; M askers repeat
      keep-alive requests until the server refuses. Prints "loaded" once
      every reader has data and every asker an answer, and "ended" once every
      reader was closed by the server.

  http_load.py trickle HOST PORT --connections N --every S --head-close MIN
      N connections opened, all of them first; those the server closes then,
      before a byte was sent, are refused at once. Then each sends one byte
      of a request head that never ends every S seconds, until the server
      closes it: unanswered, MIN seconds or more after its first byte.
      Prints the counts ("counts: refused R, head closed H, early E,
      answered A, open O") and when the head closes came.
  http_load.py streams HOST PORT PATH --connections N --hold S
      N connections opened, all of them first, then a stream request on
      each: refused (closed without a byte), streaming (a 200 head and
      100 kB of data), or busy (503 with "Retry-After: 5"). Every stream is
      held until all are sorted, and S seconds more. Prints "counts:
      refused R, streaming T, busy B, other X".

Every mode ends within --seconds (default 60), and exits 1 with the faults
it saw, 0 when there were none.
"""
import argparse
import asyncio
import collections
import random
import re
import socket
import struct
import sys
import time

STREAM_HEAD = b"HTTP/1.1 200 OK\r\n\r\n"
READ_LIMIT = 1 << 20


class Faults:
    def __init__(self):
        self.counts = collections.Counter()
        self.examples = []

    def add(self, what):
        # Counted by kind: the message with its numbers left out.
        self.counts[re.sub(r"[0-9]+", "#", what)] += 1
        if len(self.examples) < 5:
            self.examples.append(what)

    def report(self):
        for what, n in self.counts.items():
            print(f"fault x{n}: {what}")
        for what in self.examples:
            print(f"  e.g. {what}")
        return 1 if self.counts else 0


def parse_docs(items):
    docs = []
    for item in items or []:
        path, _, name = item.partition("=")
        with open(name, "rb") as f:
            docs.append((path, f.read()))
    return docs


def request_bytes(host, port, path, keep=True):
    connection = "Connection: keep-alive\r\n" if keep else ""
    return f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n{connection}\r\n".encode()


async def read_answer(reader):
    """(status, headers, body) of one answer with a Content-Length."""
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split(" ")[1])
    headers = {}
    for line in lines[1:]:
        name, sep, value = line.partition(":")
        if sep:
            headers[name.strip().lower()] = value.strip()
    body = await reader.readexactly(int(headers.get("content-length", "0")))
    return status, headers, body


async def ask(reader, writer, host, port, doc, faults, label):
    """One keep-alive request and its check; False when the exchange failed."""
    path, expected = doc
    writer.write(request_bytes(host, port, path))
    try:
        await writer.drain()
        status, _, body = await read_answer(reader)
    except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError) as e:
        faults.add(f"{label}: no whole answer for {path}: {type(e).__name__}")
        return False
    if status != 200:
        faults.add(f"{label}: status {status} for {path}")
    elif body != expected:
        faults.add(f"{label}: wrong body for {path}: {len(body)} bytes, {len(expected)} expected")
    return status == 200 and body == expected


async def connect(host, port, receive_buffer=None):
    if receive_buffer is None:
        return await asyncio.open_connection(host, port, limit=READ_LIMIT)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.setblocking(False)
    try:
        await asyncio.get_running_loop().sock_connect(sock, (host, port))
    except BaseException:
        sock.close()
        raise
    return await asyncio.open_connection(sock=sock, limit=READ_LIMIT)


def close(writer, reset=False):
    if reset:
        sock = writer.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.close()


class Gate:
    """Spreads connects: only so many connections are in the making at once,
    with a pause after each."""

    def __init__(self, width, pause):
        self.semaphore = asyncio.Semaphore(width)
        self.pause = pause

    async def __aenter__(self):
        await self.semaphore.acquire()

    async def __aexit__(self, *exc):
        await asyncio.sleep(self.pause)
        self.semaphore.release()


async def keepalive(args, faults):
    docs = parse_docs(args.doc)
    gate = Gate(args.at_once, 0)
    all_open = asyncio.Event()
    state = {"arrived": 0, "open": 0, "peak": 0, "answers": 0, "first": None, "last": 0.0}

    started = time.monotonic()

    def arrive():
        state["arrived"] += 1
        if state["arrived"] == args.connections:
            all_open.set()

    async def one(i):
        writer = None
        arrived = False
        try:
            async with gate:
                try:
                    reader, writer = await connect(args.host, args.port)
                except OSError as e:
                    faults.add(f"connect: {e}")
                    return
                state["open"] += 1
                state["peak"] = max(state["peak"], state["open"])
                good = await ask(reader, writer, args.host, args.port, docs[0], faults, f"conn {i}")
            answered = time.monotonic() - started
            state["first"] = min(state["first"] or answered, answered)
            state["last"] = max(state["last"], answered)
            state["answers"] += good
            arrived = True
            arrive()
            # Every connection stays open until all are: the server holds
            # them all at once before the later requests.
            await all_open.wait()
            for k in range(1, args.requests):
                if not good:
                    break
                good = await ask(reader, writer, args.host, args.port, docs[k % len(docs)],
                                 faults, f"conn {i}")
                state["answers"] += good
        finally:
            if not arrived:
                arrive()  # a failed client must not hold the others back
            if writer is not None:
                state["open"] -= 1
                close(writer)

    await finish([asyncio.ensure_future(one(i)) for i in range(args.connections)], args.seconds,
                 faults)
    print(f"{state['answers']} of {args.connections * args.requests} answers right, "
          f"{state['peak']} connections open at once, {time.monotonic() - started:.1f} s, "
          f"first answer after {state['first'] or 0:.2f} s, last after {state['last']:.2f} s")
    if state["answers"] != args.connections * args.requests:
        faults.add(f"answers missing: {args.connections * args.requests - state['answers']}")
    if state["peak"] != args.connections:
        faults.add(f"only {state['peak']} connections open at once")


async def finish(tasks, seconds, faults):
    done, pending = await asyncio.wait(tasks, timeout=seconds)
    for task in pending:
        task.cancel()
    if pending:
        faults.add(f"deadline: {len(pending)} clients unfinished after {seconds} s")
        await asyncio.wait(pending, timeout=2)
    for task in done:
        if not task.cancelled() and task.exception() is not None:
            faults.add(f"client error: {task.exception()!r}")


async def normal_client(args, docs, faults, label, counts):
    for _ in range(2):
        try:
            reader, writer = await connect(args.host, args.port)
        except OSError as e:
            faults.add(f"{label}: connect: {e}")
            return
        try:
            for k in range(2):
                good = await ask(reader, writer, args.host, args.port, docs[k % len(docs)],
                                 faults, label)
                counts["answers"] += good
        finally:
            close(writer)


async def stall(args, faults):
    docs = parse_docs(args.doc)
    gate = Gate(4, 0.01)
    partial = f"GET {args.path} HTTP/1.1\r\nHost: {args.host}:{args.port}\r\n".encode()
    stalled = []  # (start, reader, writer)
    ended = {}  # index -> (seconds after the stall, bytes received)
    start_all = time.monotonic()

    async def open_stalled():
        async with gate:
            try:
                reader, writer = await connect(args.host, args.port)
                writer.write(partial)
                await writer.drain()
            except OSError as e:
                faults.add(f"stalled connect: {e}")
                return
            stalled.append((time.monotonic(), reader, writer))

    await asyncio.wait_for(asyncio.gather(*(open_stalled() for _ in range(args.stalled))),
                           args.seconds)
    print(f"{len(stalled)} connections stalled in {time.monotonic() - start_all:.1f} s", flush=True)

    got = collections.Counter()  # index -> bytes the server sent a stalled one

    async def watch(i, since, reader):
        try:
            while True:
                more = await reader.read(65536)
                if not more:
                    break
                got[i] += len(more)
        except OSError:
            pass
        ended[i] = (time.monotonic() - since, got[i])

    watchers = [asyncio.ensure_future(watch(i, s, r)) for i, (s, r, _) in enumerate(stalled)]

    counts = {"answers": 0}
    normal_start = time.monotonic()
    tasks = [asyncio.ensure_future(normal_client(args, docs, faults, f"normal {i}", counts))
             for i in range(args.normal)]
    await finish(tasks, args.seconds, faults)
    print(f"{counts['answers']} of {args.normal * 4} normal answers right "
          f"in {time.monotonic() - normal_start:.1f} s")
    if counts["answers"] != args.normal * 4:
        faults.add(f"normal answers missing: {args.normal * 4 - counts['answers']}")
    early = dict(ended)

    if args.hold:
        await asyncio.sleep(0.5)
        if ended:
            faults.add(f"stalled closed early: {len(ended)} of {len(stalled)}")
        if got:
            faults.add(f"stalled answered: {len(got)}")
        for _, _, writer in stalled:
            close(writer)
        await asyncio.wait(watchers, timeout=5)
        return

    low, high = args.idle_close
    if early:
        faults.add(f"stalled closed while the normal clients ran: {len(early)}")
    left = high - (time.monotonic() - stalled[0][0]) if stalled else 0
    await asyncio.wait(watchers, timeout=max(left, 0))
    for task in watchers:
        task.cancel()
    times = [t for t, _ in ended.values()]
    answered = sum(1 for _, n in ended.values() if n)
    if len(ended) < len(stalled):
        faults.add(f"stalled still open after {high} s: {len(stalled) - len(ended)}")
    if answered:
        faults.add(f"stalled answered: {answered}")
    if times and min(times) < low:
        faults.add(f"stalled closed too early: {sum(1 for t in times if t < low)}, "
                   f"first after {min(times):.1f} s")
    if times:
        print(f"{len(ended)} stalled closed by the server, after {min(times):.1f} to "
              f"{max(times):.1f} s")
    for _, _, writer in stalled:
        close(writer)


async def churn(args, faults):
    gate = asyncio.Semaphore(args.parallel)
    request = request_bytes(args.host, args.port, args.path, keep=False)
    rng = random.Random(args.seed)
    modes = collections.Counter()

    async def one(i):
        mode = rng.choice(["unsent", "before-data", "after-head", "mid-stream", "blocked-send"])
        reset = rng.random() < 0.5
        amount = rng.randint(1, 400000)
        pause = rng.uniform(0, 0.02)
        async with gate:
            modes[mode] += 1
            try:
                reader, writer = await connect(
                    args.host, args.port, 4096 if mode == "blocked-send" else None)
            except OSError as e:
                faults.add(f"connect: {e}")
                return
            try:
                if mode == "unsent":
                    writer.write(request[:rng.randint(1, len(request) - 1)])
                    await writer.drain()
                    await asyncio.sleep(pause)
                    return
                writer.write(request)
                await writer.drain()
                if mode == "before-data":
                    await asyncio.sleep(pause / 4)
                    return
                head = await asyncio.wait_for(reader.readexactly(len(STREAM_HEAD)), 10)
                if head != STREAM_HEAD:
                    faults.add(f"stream {i}: head {head!r}")
                    return
                if mode == "mid-stream":
                    got = 0
                    while got < amount:
                        more = await asyncio.wait_for(reader.read(65536), 10)
                        if not more:
                            faults.add(f"stream {i}: ended by the server after {got} bytes")
                            return
                        got += len(more)
                elif mode == "blocked-send":
                    # Nothing read: the window and the server's send buffer
                    # fill, and its send waits when the client goes.
                    await asyncio.sleep(0.2 + pause * 20)
            except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError) as e:
                faults.add(f"stream {i} ({mode}): {type(e).__name__}")
            finally:
                close(writer, reset)

    started = time.monotonic()
    await finish([asyncio.ensure_future(one(i)) for i in range(args.streams)], args.seconds,
                 faults)
    print(f"{args.streams} streams in {time.monotonic() - started:.1f} s: "
          + ", ".join(f"{m} {n}" for m, n in sorted(modes.items())))


async def load(args, faults):
    docs = parse_docs(args.doc)
    gate = Gate(8, 0)
    readers_going = 0
    askers_answered = 0
    loaded = asyncio.Event()
    stopping = asyncio.Event()  # the server refused a connection: it stops
    closed = [0]
    rounds = [0]
    request = request_bytes(args.host, args.port, args.read_path, keep=False)

    def check_loaded():
        if readers_going == args.readers and askers_answered == args.askers:
            if not loaded.is_set():
                print("loaded", flush=True)
            loaded.set()

    async def reader_client(i):
        nonlocal readers_going
        async with gate:
            try:
                # A small window: what is in flight when the server stops
                # drains at once, so the close shows soon.
                reader, writer = await connect(args.host, args.port, 65536)
                writer.write(request)
                await writer.drain()
                first = await reader.read(65536)
            except OSError as e:
                faults.add(f"reader connect: {e}")
                return
        if not first:
            faults.add(f"reader {i}: closed before any data")
            return
        readers_going += 1
        check_loaded()
        try:
            while await reader.read(65536):
                await asyncio.sleep(0.02)
        except OSError:
            pass
        closed[0] += 1
        close(writer)

    async def asker_client(i):
        nonlocal askers_answered
        answered = False
        while not stopping.is_set():
            try:
                reader, writer = await connect(args.host, args.port)
            except OSError:
                stopping.set()
                break
            try:
                for k in range(2):
                    path, expected = docs[k % len(docs)]
                    writer.write(request_bytes(args.host, args.port, path))
                    await writer.drain()
                    status, _, body = await read_answer(reader)
                    # Cut short by the stop is fine; a whole wrong answer is not.
                    if status != 200 or body != expected:
                        faults.add(f"asker {i}: {status}, {len(body)} bytes for {path}")
                    rounds[0] += 1
                    if not answered:
                        answered = True
                        askers_answered += 1
                        check_loaded()
            except (OSError, asyncio.IncompleteReadError):
                pass
            finally:
                close(writer)

    tasks = [asyncio.ensure_future(reader_client(i)) for i in range(args.readers)]
    tasks += [asyncio.ensure_future(asker_client(i)) for i in range(args.askers)]
    await finish(tasks, args.seconds, faults)
    if not loaded.is_set():
        faults.add(f"never loaded: {readers_going} readers, {askers_answered} askers")
    print(f"ended: {closed[0]} of {args.readers} readers closed by the server, "
          f"{rounds[0]} asker answers", flush=True)


async def open_all(args, faults):
    """args.connections connections, all open before this returns, each
    with a task that records when the server closed it and what it sent.
    Then waits (at most 5 s) until no more are closed: those are the ones
    the server refused at once."""
    gate = Gate(args.at_once, 0)
    conns = []

    async def watch(conn):
        reader = conn["reader"]
        try:
            while len(conn["got"]) < args.read_bytes:
                more = await reader.read(65536)
                if not more:
                    break
                conn["got"] += more
                conn["seen"].set()
        except OSError:
            pass
        if len(conn["got"]) < args.read_bytes:
            conn["closed"] = time.monotonic()
        conn["seen"].set()

    async def open_one():
        async with gate:
            try:
                reader, writer = await connect(args.host, args.port)
            except OSError as e:
                faults.add(f"connect: {e}")
                return
            conn = {"reader": reader, "writer": writer, "got": b"", "closed": None,
                    "seen": asyncio.Event()}
            conn["task"] = asyncio.ensure_future(watch(conn))
            conns.append(conn)

    await asyncio.wait_for(asyncio.gather(*(open_one() for _ in range(args.connections))),
                           args.seconds)
    closed, deadline = -1, time.monotonic() + 5
    while time.monotonic() < deadline:
        now = sum(1 for c in conns if c["closed"] is not None)
        if now == closed:
            break
        closed = now
        await asyncio.sleep(0.5)
    return conns


async def trickle(args, faults):
    args.read_bytes = 1
    conns = await open_all(args, faults)
    refused = [c for c in conns if c["closed"] is not None]
    kept = [c for c in conns if c["closed"] is None]
    head = f"GET / HTTP/1.1\r\nHost: {args.host}\r\nX-Slow: ".encode()
    first_byte = time.monotonic()
    end = first_byte + args.seconds

    async def drip(conn):
        for i in range(int(args.seconds / args.every) + 1):
            if conn["closed"] is not None or time.monotonic() >= end:
                return
            try:
                conn["writer"].write(head[i:i + 1] if i < len(head) else b"a")
                await conn["writer"].drain()
            except OSError:
                pass
            try:
                await asyncio.wait_for(asyncio.shield(conn["task"]), args.every)
            except asyncio.TimeoutError:
                pass

    await asyncio.wait([asyncio.ensure_future(drip(c)) for c in kept] or [asyncio.sleep(0)],
                       timeout=args.seconds + 1)
    times = [c["closed"] - first_byte for c in kept if c["closed"] is not None]
    answered = sum(1 for c in conns if c["got"])
    head_closed = sum(1 for t in times if t >= args.head_close)
    early = len(times) - head_closed
    still = len(kept) - len(times)
    print(f"counts: refused {len(refused)}, head closed {head_closed}, early {early}, "
          f"answered {answered}, open {still}")
    if times:
        print(f"head closes {min(times):.1f} to {max(times):.1f} s after the first byte")
    for c in conns:
        c["task"].cancel()
        close(c["writer"])


async def streams(args, faults):
    args.read_bytes = 100_000
    conns = await open_all(args, faults)
    request = request_bytes(args.host, args.port, args.path)
    for c in conns:
        try:
            c["writer"].write(request)
        except OSError:
            pass
    end = time.monotonic() + args.seconds

    def sorted_out(c):
        got = c["got"]
        if c["closed"] is not None or len(got) >= args.read_bytes:
            return True
        return got.startswith(b"HTTP/1.1 503") and b"\r\n\r\n" in got

    while time.monotonic() < end and not all(sorted_out(c) for c in conns):
        await asyncio.sleep(0.1)
    counts = collections.Counter()
    for c in conns:
        got = c["got"]
        if not got and c["closed"] is not None:
            counts["refused"] += 1
        elif got.startswith(b"HTTP/1.1 200 OK\r\n") and len(got) >= args.read_bytes:
            counts["streaming"] += 1
        elif got.startswith(b"HTTP/1.1 503 Service Unavailable\r\n") and \
                b"\r\nRetry-After: 5\r\n" in got.split(b"\r\n\r\n")[0] + b"\r\n":
            counts["busy"] += 1
        else:
            counts["other"] += 1
            faults.add(f"unsorted answer: {got[:80]!r}, closed {c['closed'] is not None}")
    print(f"counts: refused {counts['refused']}, streaming {counts['streaming']}, "
          f"busy {counts['busy']}, other {counts['other']}", flush=True)
    await asyncio.sleep(args.hold)
    for c in conns:
        c["task"].cancel()
        close(c["writer"])


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    for name in ("keepalive", "stall", "churn", "load", "trickle", "streams"):
        p = sub.add_parser(name)
        p.add_argument("host")
        p.add_argument("port", type=int)
        if name in ("stall", "churn", "streams"):
            p.add_argument("path")
        p.add_argument("--doc", action="append")
        p.add_argument("--seconds", type=float, default=60)
        if name == "keepalive":
            p.add_argument("--connections", type=int, required=True)
            p.add_argument("--requests", type=int, default=3)
            p.add_argument("--at-once", type=int, default=8)
        if name == "stall":
            p.add_argument("--stalled", type=int, required=True)
            p.add_argument("--normal", type=int, required=True)
            group = p.add_mutually_exclusive_group(required=True)
            group.add_argument("--idle-close", type=float, nargs=2, metavar=("MIN", "MAX"))
            group.add_argument("--hold", action="store_true")
        if name == "churn":
            p.add_argument("--streams", type=int, required=True)
            p.add_argument("--parallel", type=int, default=50)
            p.add_argument("--seed", type=int, default=None)
        if name in ("trickle", "streams"):
            p.add_argument("--connections", type=int, required=True)
            p.add_argument("--at-once", type=int, default=64)
        if name == "trickle":
            p.add_argument("--every", type=float, required=True)
            p.add_argument("--head-close", type=float, required=True)
        if name == "streams":
            p.add_argument("--hold", type=float, default=0)
        if name == "load":
            p.add_argument("--readers", type=int, required=True)
            p.add_argument("--read-path", required=True)
            p.add_argument("--askers", type=int, default=0)
    args = parser.parse_args()
    faults = Faults()
    asyncio.run({"keepalive": keepalive, "stall": stall, "churn": churn, "load": load,
                 "trickle": trickle, "streams": streams}[args.mode](args, faults))
    sys.exit(faults.report())


if __name__ == "__main__":
    main()
