#!/usr/bin/python3
"""Clients that try to stall or flood an HTTP server, and the latency of
/health (and optionally a run) measured while they do.

  attack.py PORT idle N SECONDS            N connections that send nothing
  attack.py PORT slow N SECONDS            N connections trickling header lines, ~40 bytes/s in all
  attack.py PORT chunked N MIB SECONDS     N clients each sending an endless chunked body, no credentials
  attack.py PORT huge-length               one request with Content-Length: 10000000000

Options after the arguments: --auth USER:PASSWORD --run ALIAS also times
POST /v1/run/ALIAS during the attack; --pid PID samples the server's resident
memory during it. Prints one line of figures per probe kind.
"""
import asyncio
import base64
import statistics
import sys
import time

HOST = "127.0.0.1"


async def request(port, raw, timeout=15.0):
    """Seconds until a whole answer arrived (or None), and its status."""
    t0 = time.monotonic()
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection(HOST, port), timeout)
        writer.write(raw)
        await writer.drain()
        data = await asyncio.wait_for(reader.read(), timeout)
        writer.close()
        status = int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/") else 0
        return time.monotonic() - t0, status
    except (OSError, asyncio.TimeoutError):
        return None, 0


async def probe(port, stop, raw, name, out):
    while not stop.is_set():
        took, status = await request(port, raw)
        out.append((took, status))
        await asyncio.sleep(0.1)


def report(name, samples):
    ok = [t * 1000 for t, s in samples if t is not None and 200 <= s < 300]
    failed = len(samples) - len(ok)
    if not ok:
        print(f"{name}: {len(samples)} probes, all failed or timed out")
        return
    ok.sort()
    p99 = ok[min(len(ok) - 1, int(len(ok) * 0.99))]
    print(f"{name}: {len(samples)} probes  median {statistics.median(ok):.1f} ms  p99 {p99:.1f} ms  "
          f"max {ok[-1]:.1f} ms  failed {failed}")


async def open_many(port, n):
    conns = []
    for _ in range(n):
        try:
            conns.append(await asyncio.open_connection(HOST, port))
        except OSError:
            break
    return conns


async def hold_idle(port, n, stop, opened):
    conns = await open_many(port, n)
    opened.append(len(conns))
    await stop.wait()
    for _, w in conns:
        w.close()


async def trickle(port, n, stop):
    conns = await open_many(port, n)
    line = b"GET /health HTTP/1.1\r\n" + b"".join(b"X-Slow-%d: %s\r\n" % (i, b"a" * 30) for i in range(100000))
    pos = 0
    # About 40 bytes a second across all connections.
    while not stop.is_set() and conns:
        for _, w in conns:
            try:
                w.write(line[pos:pos + 1])
            except Exception:
                pass
        pos += 1
        await asyncio.sleep(len(conns) / 40)
    for _, w in conns:
        w.close()


async def chunked(port, n, mib, stop, sent):
    async def one():
        try:
            reader, writer = await asyncio.open_connection(HOST, port)
            writer.write(b"POST /v1/run/hello HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                         b"Transfer-Encoding: chunked\r\n\r\n")
            chunk = b"%x\r\n%s\r\n" % (65536, b" " * 65536)
            for _ in range(mib * 16):
                if stop.is_set():
                    break
                writer.write(chunk)
                await writer.drain()
                sent[0] += 65536
            writer.close()
        except (OSError, ConnectionError):
            pass
    await asyncio.gather(*(one() for _ in range(n)))


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


async def sample_rss(pid, stop, peak):
    while not stop.is_set():
        peak[0] = max(peak[0], rss_mib(pid))
        await asyncio.sleep(0.1)


async def main(argv):
    port, kind = int(argv[0]), argv[1]
    args, opts, rest = [], {}, argv[2:]
    while rest:
        if rest[0].startswith("--"):
            opts[rest[0]] = rest[1]
            rest = rest[2:]
        else:
            args.append(rest.pop(0))
    auth = opts.get("--auth")
    run_alias = opts.get("--run")
    health = b"GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
    run = None
    if auth and run_alias:
        run = (b"POST /v1/run/%s HTTP/1.1\r\nHost: x\r\nAuthorization: Basic %s\r\nContent-Length: 0\r\n"
               b"Connection: close\r\n\r\n" % (run_alias.encode(), base64.b64encode(auth.encode())))

    if kind == "huge-length":
        took, status = await request(port, b"POST /v1/run/hello HTTP/1.1\r\nHost: x\r\n"
                                           b"Content-Length: 10000000000\r\n\r\n", timeout=60)
        print(f"Content-Length 10000000000: answered {status} after "
              f"{'no answer' if took is None else f'{took * 1000:.1f} ms'}")
        return

    stop = asyncio.Event()
    seconds = float(args[-1])
    opened, sent = [], [0]
    if kind == "idle":
        attack = asyncio.create_task(hold_idle(port, int(args[0]), stop, opened))
    elif kind == "slow":
        attack = asyncio.create_task(trickle(port, int(args[0]), stop))
    elif kind == "chunked":
        attack = asyncio.create_task(chunked(port, int(args[0]), int(args[1]), stop, sent))
    else:
        raise SystemExit(__doc__)
    peak, pid = [0.0], opts.get("--pid")
    before = rss_mib(pid) if pid else 0
    await asyncio.sleep(1)  # let the attack get going
    health_samples, run_samples = [], []
    probes = [asyncio.create_task(probe(port, stop, health, "health", health_samples))]
    if pid:
        probes.append(asyncio.create_task(sample_rss(pid, stop, peak)))
    if run:
        probes.append(asyncio.create_task(probe(port, stop, run, "run", run_samples)))
    await asyncio.sleep(seconds)
    if opened:
        print(f"idle connections opened: {opened[0]}")
    stop.set()
    await asyncio.gather(*probes, return_exceptions=True)
    attack.cancel()
    report("health during attack", health_samples)
    if run:
        report("run during attack", run_samples)
    if kind == "chunked":
        print(f"body bytes the clients got to send: {sent[0] / 1048576:.0f} MiB")
    if pid:
        print(f"server RSS: {before:.1f} MiB before, {peak[0]:.1f} MiB at most during the attack, "
              f"{rss_mib(pid):.1f} MiB after")


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1:]))
