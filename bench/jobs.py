#!/usr/bin/python3
"""Jobs against synchronous runs, and paging through the job history.

    bench/jobs.py PORT [RUNS] [HISTORY]

Needs a gateway on 127.0.0.1:PORT with user bench:bench and an alias `hello`
(bench/jobs.sh starts one). Prints:
  - the round trip of RUNS synchronous runs of `echo hello` (POST /v1/run/hello on a kept
    connection) beside RUNS jobs, each submitted (POST /v1/jobs/hello) and
    followed to its end event (GET /v1/jobs/{id}/events on the same kept
    connection), alternating, one
    at a time; medians and the job's overhead (target: under 10%); then the
    same for `sleep 0.1`, where the job's fixed cost shows as a share;
  - with HISTORY jobs in the history, the time of every page of GET /v1/jobs
    at limit 50 and at limit 500 (target: each under 50 ms).
"""
import base64
import http.client
import json
import statistics
import sys
import time

PORT = int(sys.argv[1])
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 300
HISTORY = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
AUTH = {'Authorization': 'Basic ' + base64.b64encode(b'bench:bench').decode()}


def request(conn, method, path, body=None):
    headers = dict(AUTH)
    if body is not None:
        headers['Content-Type'] = 'application/json'
    conn.request(method, path, body=body, headers=headers)
    r = conn.getresponse()
    return r.status, r.read()


def sync_run(conn, alias='hello'):
    status, body = request(conn, 'POST', f'/v1/run/{alias}', '')
    assert status == 200, (status, body)


def job_run(conn, alias='hello'):
    status, body = request(conn, 'POST', f'/v1/jobs/{alias}', '')
    assert status == 202, (status, body)
    job = json.loads(body)['job_id']
    # On the same connection: the stream comes in chunks and ends after the end event.
    status, text = request(conn, 'GET', f'/v1/jobs/{job}/events')
    text = text.decode()
    assert 'event: end' in text and '"succeeded"' in text, text[-300:]


def main():
    conn = http.client.HTTPConnection('127.0.0.1', PORT)
    for _ in range(20):  # warm up
        sync_run(conn)
        job_run(conn)
    sync, jobs = [], []
    for _ in range(RUNS):
        t0 = time.perf_counter()
        sync_run(conn)
        t1 = time.perf_counter()
        job_run(conn)
        t2 = time.perf_counter()
        sync.append((t1 - t0) * 1000)
        jobs.append((t2 - t1) * 1000)
    s, j = statistics.median(sync), statistics.median(jobs)
    print(f'round trip, median of {RUNS}: run {s:.2f} ms, job to its end event {j:.2f} ms, '
          f'overhead {100 * (j - s) / s:+.1f}% (target under 10%)')
    print(f'  p90: run {statistics.quantiles(sync, n=10)[-1]:.2f} ms, job {statistics.quantiles(jobs, n=10)[-1]:.2f} ms')
    # The same for a command of 100 ms: what a job adds is a fixed cost.
    sync_p, jobs_p = [], []
    for _ in range(40):
        t0 = time.perf_counter()
        sync_run(conn, 'pause')
        t1 = time.perf_counter()
        job_run(conn, 'pause')
        t2 = time.perf_counter()
        sync_p.append((t1 - t0) * 1000)
        jobs_p.append((t2 - t1) * 1000)
    s, j = statistics.median(sync_p), statistics.median(jobs_p)
    print(f'`sleep 0.1`, median of 40: run {s:.2f} ms, job {j:.2f} ms, overhead {100 * (j - s) / s:+.1f}%')

    # Fill the history to HISTORY jobs (runs count: they are in it too).
    for _ in range(max(0, HISTORY - 2 * (RUNS + 20) - 80)):
        sync_run(conn)
    for limit in (50, 500):
        times, seen, before = [], 0, None
        while True:
            path = f'/v1/jobs?limit={limit}' + (f'&before={before}' if before else '')
            t0 = time.perf_counter()
            status, body = request(conn, 'GET', path)
            times.append((time.perf_counter() - t0) * 1000)
            assert status == 200, (status, body)
            page = json.loads(body)
            seen += len(page['jobs'])
            before = page['next_before']
            if not before:
                break
        print(f'history of {seen} jobs at limit {limit}: {len(times)} pages, median {statistics.median(times):.2f} ms, '
              f'slowest {max(times):.2f} ms (target under 50 ms)')
    filtered = []
    for _ in range(20):
        t0 = time.perf_counter()
        request(conn, 'GET', '/v1/jobs?alias=hello&status=succeeded&limit=500')
        filtered.append((time.perf_counter() - t0) * 1000)
    print(f'filtered by alias and status at limit 500: median {statistics.median(filtered):.2f} ms')


if __name__ == '__main__':
    main()
