#!/usr/bin/env python3
"""The report page served by `osm2trassel-cli serve`, in headless Chromium:
two clicks on the map draw a route whose length is the route command's, in
both modes; the page opened as a file has no route switch.

Usage: report_route_browser.py OSM2TRASSEL_CLI SAMPLE.osm.pbf [SCREENSHOT.png]
Exit 77 (a skip) when Chromium is not installed.
"""
import base64
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from chromium_cdp import Chromium, ChromiumMissing, find_chromium  # noqa: E402

CLI, SAMPLE = sys.argv[1], sys.argv[2]
SHOT = sys.argv[3] if len(sys.argv) > 3 else None
A, B = (43.7325, 7.4189), (43.7400, 7.4280)
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAILED: ' + what, flush=True)


try:
    find_chromium()
except ChromiumMissing as e:
    print('SKIPPED: %s' % e)
    sys.exit(77)

tmp = tempfile.mkdtemp(prefix='report_route_')
server = None
try:
    net = os.path.join(tmp, 'net')
    os.makedirs(net)
    subprocess.run([CLI, '--network', '--modes', 'car', '--format', 'shp', '-o', net, SAMPLE], check=True,
                   stdout=subprocess.DEVNULL)
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([CLI, 'serve', '--port', str(port), net], stdout=subprocess.DEVNULL)
    for _ in range(100):
        try:
            urllib.request.urlopen('http://127.0.0.1:%d/health' % port, timeout=1)
            break
        except OSError:
            time.sleep(0.1)
    want = {}
    for mode in ('shortest', 'fastest'):
        out = os.path.join(tmp, mode + '.geojson')
        subprocess.run([CLI, 'route', '--' + mode, net, '%f,%f' % A, '%f,%f' % B, '-o', out], check=True,
                       stdout=subprocess.DEVNULL)
        want[mode] = json.load(open(out))['features'][0]['properties']['length_km']
    with Chromium() as browser:
        page = browser.page()
        page.navigate(pathlib.Path(os.path.join(net, 'report.html')).as_uri())
        page.wait_for('window.osm2trassel && window.osm2trassel.ready', 60)
        page.pump(0.5)
        check(page.evaluate('document.getElementById("route-box") === null'), 'the file page has no route switch')

        page.navigate('http://127.0.0.1:%d/' % port)
        page.wait_for('window.osm2trassel && window.osm2trassel.ready && window.osm2trassel.route', 60)

        def pixel(lat, lon):
            return page.evaluate(
                '(() => { const m = window.osm2trassel.map; const R = 6378137;'
                ' const c = [%r * Math.PI / 180 * R, Math.log(Math.tan((90 + %r) * Math.PI / 360)) * R];'
                ' m.getTargetElement().scrollIntoView({block: "center"}); const p = m.getPixelFromCoordinate(c); const r = m.getTargetElement().getBoundingClientRect();'
                ' return [p[0] + r.left, p[1] + r.top]; })()' % (lon, lat))
        for mode in ('shortest', 'fastest'):
            if mode == 'fastest':
                page.evaluate('document.querySelector("input[value=fastest]").click()')
            for lat, lon in (A, B):
                x, y = pixel(lat, lon)
                page.click(x, y)
                page.pump(0.4)  # a second click at once would be a double click
            page.wait_for('window.osm2trassel.route.result && window.osm2trassel.route.result.mode === "%s"' % mode, 30)
            got = page.evaluate('window.osm2trassel.route.result.length_km')
            # The clicks land within a pixel of the points: the same links, nearly the same length.
            check(abs(got - want[mode]) < 0.02, '%s: drawn %s km, command %s km' % (mode, got, want[mode]))
            shown = page.evaluate('document.getElementById("route-result").textContent')
            check('km' in shown and 'min' in shown, '%s: length and time shown: %r' % (mode, shown))
        if SHOT:
            data = page.send('Page.captureScreenshot', format='png')['data']
            pathlib.Path(SHOT).write_bytes(base64.b64decode(data))
finally:
    if server:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=5)
    shutil.rmtree(tmp, ignore_errors=True)

print('FAILED' if failures else 'PASSED', len(failures))
sys.exit(1 if failures else 0)
