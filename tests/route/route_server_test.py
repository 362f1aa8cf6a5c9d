#!/usr/bin/env python3
"""The route service on loopback, against the route command on the same
network: equal routes, bad requests answered with their status without
disturbing other clients, a slow client that never finishes its request, a
load run of bounded length with every answer correct, and a stop on SIGTERM
within a second.

Usage: route_server_test.py OSM2TRASSEL_CLI SAMPLE.osm.pbf
"""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

CLI, SAMPLE = sys.argv[1], sys.argv[2]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path, timeout=10):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


tmp = tempfile.mkdtemp(prefix="route_server_")
try:
    net = os.path.join(tmp, "net")
    os.makedirs(net)
    subprocess.run([CLI, "--network", "--modes", "car", "--format", "shp", "-o", net, SAMPLE], check=True,
                   stdout=subprocess.DEVNULL)
    port = free_port()
    server = subprocess.Popen([CLI, "serve", "--port", str(port), "--threads", "8", net], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 20
    while time.time() < deadline:
        try:
            if get(port, "/health", 1)[0] == 200:
                break
        except OSError:
            time.sleep(0.1)
    status, body = get(port, "/health")
    check(status == 200 and json.loads(body)["status"] == "ok", "health answers ok")

    # A second service on the same port is refused, not given a share of
    # its connections.
    try:
        second = subprocess.run([CLI, "serve", "--port", str(port), net], capture_output=True, text=True, timeout=10)
        refused = second.returncode == 1 and "Cannot listen" in second.stderr
        said = f"exit {second.returncode}, {second.stderr.strip()[:120]}"
    except subprocess.TimeoutExpired:  # it serves (and is killed)
        refused, said = False, "still serving after 10 s"
    check(refused, f"a second service on the port is refused: {said}")

    # Routes equal the command's, in both modes.
    trips = [("43.7325,7.4189", "43.7400,7.4280"), ("43.7310,7.4200", "43.7385,7.4205"),
             ("43.7360,7.4230", "43.7290,7.4150")]
    expected = {}
    for a, b in trips:
        for mode in ("shortest", "fastest"):
            out = os.path.join(tmp, "r.geojson")
            subprocess.run([CLI, "route", "--" + mode, net, a, b, "-o", out], check=True, stdout=subprocess.DEVNULL)
            want = json.load(open(out))["features"][0]["properties"]
            status, body = get(port, f"/route?points={a};{b}&mode={mode}")
            got = json.loads(body)["features"][0]["properties"] if status == 200 else {}
            check(status == 200 and got == want, f"{mode} {a} {b}: service {got} == command {want}")
            expected[(a, b, mode)] = want

    # Bad requests get their status and a JSON message.
    many = ";".join(["43.73,7.42"] * 10000)
    for path, codes in [("/route?points=43.73,x;43.74,7.42", {400}), ("/route?points=43.73,7.42", {400}),
                        ("/route?points=43.73,7.42;43.74,7.42&mode=quick", {400}),
                        ("/route?points=" + ";".join(["43.73,7.42"] * 101), {400}),
                        ("/route?points=" + many, {400, 414}), ("/route?points=" + "9" * 100000, {400, 414}),
                        ("/route?points=10.0,7.42;43.74,7.42", {422}), ("/nothing", {404}),
                        ("/route?points=43.73,7.42;43.74,7.42&net=3", {400})]:
        try:
            status, body = get(port, path)
        except OSError as e:
            status, body = -1, str(e).encode()
        check(status in codes, f"{path[:60]}: status {status} in {codes}")
        if status in (400, 404, 422):
            check("error" in json.loads(body), f"{path[:60]}: a JSON error")

    # A kept-alive connection's later requests are answered as fast as its
    # first: a response sent in two writes without TCP_NODELAY waits for the
    # client's delayed ACK, some 40 ms each, which bounds one client to 25
    # routes a second.
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    a, b = trips[0]
    took = []
    for _ in range(12):
        t0 = time.perf_counter()
        conn.request("GET", f"/route?points={a};{b}&mode=shortest")
        r = conn.getresponse()
        r.read()
        took.append(time.perf_counter() - t0)
        check(r.status == 200, f"kept-alive request: status {r.status}")
    conn.close()
    later = sorted(took[1:])[len(took[1:]) // 2]
    check(later < 0.03, f"kept-alive requests answered without a delayed-ACK wait: median {later * 1000:.1f} ms")

    # A slow client that never finishes its request holds no one up, and
    # a load run of bounded length gets every answer right.
    slow = socket.create_connection(("127.0.0.1", port))
    slow.sendall(b"GET /route?points=43.73,7.42;43.74,7.42 HTTP/1.1\r\nHost: x\r\n")
    results = {"ok": 0, "bad": 0}
    lock = threading.Lock()
    stop_at = time.time() + 5

    def client(k):
        i = k
        while time.time() < stop_at:
            a, b = trips[i % len(trips)]
            mode = ("shortest", "fastest")[i % 2]
            i += 1
            try:
                status, body = get(port, f"/route?points={a};{b}&mode={mode}")
                good = status == 200 and json.loads(body)["features"][0]["properties"] == expected[(a, b, mode)]
            except Exception:
                good = False
            with lock:
                results["ok" if good else "bad"] += 1

    threads = [threading.Thread(target=client, args=(k,)) for k in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("load:", results, flush=True)
    check(results["bad"] == 0 and results["ok"] > 0, f"every answer under load correct: {results}")
    slow.close()

    # SIGTERM stops it within a second.
    t0 = time.time()
    server.send_signal(signal.SIGTERM)
    try:
        rc = server.wait(timeout=3)
    except subprocess.TimeoutExpired:
        server.kill()
        rc = None
    check(rc == 0 and time.time() - t0 < 1.0, f"stopped by SIGTERM with 0 within a second: rc {rc}")
finally:
    shutil.rmtree(tmp, ignore_errors=True)

print("FAILED" if failures else "PASSED", len(failures))
sys.exit(1 if failures else 0)
