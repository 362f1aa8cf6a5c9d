#!/usr/bin/env python3
"""The report page in headless Chromium, as a user opens it from the output
folder: nothing leaves the file, nothing goes wrong in the console, the map
draws, each check shows its count, a list row moves the map to its finding,
the keys move and zoom the map, and names full of markup, quotes,
backslashes and control characters (of a road and of an input file) are
shown as text, run nothing, and leave findings.geojson valid JSON.

Usage: report_page_browser.py CLI SAMPLE.osm.pbf FIXTURE.osm
Exit status 77 (skipped) when no Chromium is installed.
"""
import json
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from chromium_cdp import Chromium, ChromiumMissing, find_chromium  # noqa: E402

HOSTILE_ROAD = '</script><img src=x onerror=window.pwned=1>"\'\x01\\&'
HOSTILE_FILE = 'in <img src=x onerror=window.pwned=2> "q" \'a\' back\\slash \x01 & more.osm'
HOSTILE_FOLDER = 'out <b>"&\'\\'
FINDING_TABLES = ['subnets_extended', 'subnets', 'parallel', 'object_check', 'non_connected_nodes',
                  'non_connected_links', 'split_and_snap', 'overpasses']

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAILED: ' + what, flush=True)


def mercator(lon, lat):
    r = 6378137.0
    return lon * math.pi * r / 180, math.log(math.tan((90 + lat) * math.pi / 360)) * r


def run_cli(cli, args):
    p = subprocess.run([cli] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.returncode, p.stdout.decode('utf-8', 'replace'), p.stderr.decode('utf-8', 'replace')


def open_page(page, path):
    page.navigate(pathlib.Path(path).as_uri())
    page.wait_for('window.osm2trassel && window.osm2trassel.ready && window.osm2trassel.listsReady', 60)


def common_checks(page, path, label):
    page.pump(0.3)
    url = pathlib.Path(path).as_uri()
    others = [u for u in page.requests() if u != url]
    check(not others, '%s: requests beyond the page itself: %s' % (label, others))
    check(not page.problems(), '%s: console problems: %s' % (label, page.problems()))
    check(page.evaluate('window.pwned === undefined'), label + ': markup from the data ran')
    check(page.evaluate('document.querySelectorAll("img, iframe:not([name=josm-remote])").length') == 0,
          label + ': markup from the data became elements')


def main():
    cli, sample, fixture = sys.argv[1:4]
    try:
        find_chromium()
    except ChromiumMissing as e:
        print('skipped: %s' % e)
        return 77
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix='osm2trassel-report-page-')
    try:
        hostile_input = os.path.join(work, HOSTILE_FILE)
        shutil.copyfile(fixture, hostile_input)
        out = os.path.join(work, HOSTILE_FOLDER)
        status, log, err = run_cli(cli, ['-O', '-o', out, '--network', '--subnets', '--topo', '--overpasses',
                                         sample, hostile_input])
        check(status == 0, 'the run failed: ' + err)
        report = os.path.abspath(os.path.join(out, 'report.html'))
        lines = log.rstrip('\n').split('\n')
        check(lines[-1] == 'Report: ' + report, 'the summary does not end with the report: %r' % lines[-1])
        records = {m.group(1): int(m.group(2)) for m in
                   (re.match(r'Table (\w+) \(SHP\): (\d+) records?$', l) for l in lines) if m}

        # findings.geojson: strict JSON (no raw control character), RFC 7946.
        with open(os.path.join(out, 'findings.geojson'), encoding='utf-8') as f:
            geojson = json.loads(f.read())
        check(geojson['type'] == 'FeatureCollection' and 'crs' not in geojson, 'not an RFC 7946 collection')
        counts = {}
        for feature in geojson['features']:
            counts[feature['properties']['check']] = counts.get(feature['properties']['check'], 0) + 1
            g = feature['geometry']
            points = [g['coordinates']] if g['type'] == 'Point' else g['coordinates']
            check(all(-180 <= p[0] <= 180 and -90 <= p[1] <= 90 for p in points), 'coordinates not lon, lat')
        for t in FINDING_TABLES:
            check(counts.get(t, 0) == records.get(t, 0), '%s: %d features, %d records' %
                  (t, counts.get(t, 0), records.get(t, 0)))
        check(any(f['properties'].get('name') == HOSTILE_ROAD for f in geojson['features']),
              'the hostile road name is not in findings.geojson as it is')

        # A failed run, whose message names an input with markup in its name:
        # a file cut short, which the run itself finds (a file in no OSM form
        # is refused before the run begins, and no page is written then).
        bad_input = os.path.join(work, HOSTILE_FILE.replace('.osm', ' bad.osm'))
        with open(bad_input, 'w') as f:
            f.write('<?xml version="1.0"?>\n<osm version="0.6">\n <node id="1" lat="1" lon="1"/>\n')
        bad_out = os.path.join(work, 'failed')
        status, _, _ = run_cli(cli, ['-q', '-o', bad_out, bad_input])
        check(status == 1, 'the run of a bad file did not fail')
        bad_report = os.path.join(bad_out, 'report.html')
        check(os.path.exists(bad_report), 'a failed run wrote no report')

        with Chromium(1280, 900) as browser:
            page = browser.page()
            open_page(page, report)
            common_checks(page, report, 'report')
            shown = page.evaluate('window.osm2trassel.firstDrawMs')
            print('map drawn %.0f ms after the page began to load' % shown)

            # The map draws: its canvases hold painted pixels.
            painted = page.evaluate('''(() => {
                let n = 0;
                for (const c of document.querySelectorAll('#map canvas')) {
                  if (!c.width || !c.height) continue;
                  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
                  for (let i = 3; i < d.length; i += 4) if (d[i]) ++n;
                }
                return n; })()''')
            check(painted > 2000, 'the map painted only %d pixels' % painted)

            # Each check with its count.
            for t in FINDING_TABLES:
                cell = page.evaluate('document.querySelector(\'tr[data-table="%s"] .count-cell\').textContent' % t)
                check(cell == format(records.get(t, 0), ','), '%s shows %r, not %d' % (t, cell, records.get(t, 0)))

            # Texts from the data are text: the input file, the folder, the road.
            inputs = page.evaluate('Array.from(document.querySelectorAll("#run td.mono")).map(e => e.textContent)')
            check(hostile_input in inputs, 'the hostile input file name is not shown as it is: %r' % inputs)
            check(page.evaluate('document.getElementById("subtitle").textContent').endswith(out + '/'),
                  'the hostile folder name is not shown as it is')
            names = page.evaluate('Array.from(document.querySelectorAll("table.findings td")).map(e => e.textContent)')
            check(HOSTILE_ROAD in names, 'the hostile road name is not in the lists as it is')

            # error.txt's lines with their ways linked.
            links = page.evaluate('Array.from(document.querySelectorAll("#errors li a")).map(a => a.href)')
            check('https://www.openstreetmap.org/way/900000003' in links and
                  'https://www.openstreetmap.org/edit?way=900000003' in links,
                  'the error.txt line does not link its way: %r' % links)

            # A list row moves the map to its finding.
            gap = next(f for f in geojson['features'] if f['properties']['check'] == 'non_connected_nodes')
            (x1, y1), (x2, y2) = (mercator(*p) for p in gap['geometry']['coordinates'])
            box = page.evaluate('''(() => {
                const r = document.querySelector('table.findings[data-check="non_connected_nodes"] tbody tr');
                r.closest('details').open = true;
                r.scrollIntoView({block: 'center'});
                const b = r.getBoundingClientRect();
                return [b.left + 8, b.top + b.height / 2]; })()''')
            page.click(box[0], box[1])
            deadline = time.monotonic() + 5
            distance = None
            while time.monotonic() < deadline:
                cx, cy = page.evaluate('window.osm2trassel.map.getView().getCenter()')
                distance = math.hypot(cx - (x1 + x2) / 2, cy - (y1 + y2) / 2)
                if distance < 1:
                    break
                page.pump(0.1)
            check(distance is not None and distance < 1, 'the row did not move the map (%.1f m off)' % distance)
            check('non_connected_nodes' in page.evaluate('document.getElementById("info").textContent'),
                  'the finding is not shown beside the map')

            # The keys: + zooms in, an arrow moves.
            view = 'window.osm2trassel.map.getView()'
            before = page.evaluate(view + '.getResolution()')
            page.evaluate('document.getElementById("map").focus()')
            page.key('+', 'Equal', 187)
            page.pump(0.6)
            check(page.evaluate(view + '.getResolution()') < before, '+ did not zoom in')
            cx0 = page.evaluate(view + '.getCenter()[0]')
            page.key('ArrowRight', 'ArrowRight', 39)
            page.pump(0.6)
            check(page.evaluate(view + '.getCenter()[0]') > cx0, 'the arrow key did not move the map')

            # A layer per check can be switched off.
            page.evaluate('document.querySelector(\'#legend label[data-check="overpasses"] input\').click()')
            check(not page.evaluate('''window.osm2trassel.map.getLayers().getArray()
                .find(l => l.get('check') !== undefined && l.getClassName().endsWith('overpasses')).getVisible()'''),
                  'the overpasses layer did not switch off')
            common_checks(page, report, 'report after clicks')

            # The failed run's page says so at its top, with the message as text.
            open_page(page, bad_report)
            common_checks(page, bad_report, 'failed run')
            status_text = page.evaluate('document.getElementById("run-status").textContent')
            check(status_text.startswith('The run failed:') and bad_input in status_text,
                  'the failure is not at the top as text: %r' % status_text)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print('%d problems, %.1f s' % (len(failures), time.monotonic() - started))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
