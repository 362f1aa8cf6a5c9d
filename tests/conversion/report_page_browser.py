#!/usr/bin/env python3
"""The report page in headless Chromium, as a user opens it from the output
folder: nothing leaves the file, nothing goes wrong in the console, the map
draws on the first screen at 1400x900 and on a phone (390x844) with every
check's count, the page is never wider than the window, a check's name
opens its list, a list row moves the map to its finding (clear of the
popup) and keeps the list where it was, crossings on one level are apart
from those at bridges and tunnels, the keys move and zoom the map, and
names full of markup, quotes,
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


def open_page(page, path, width=1400, height=900, phone=False):
    page.send('Emulation.setDeviceMetricsOverride', width=width, height=height, deviceScaleFactor=1, mobile=phone)
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


def first_screen(page, label, gx, gy):
    """The map and the counts without scrolling, nothing wider than the
    window, a check's name that opens its list, and a row that moves the
    map to its finding while the list keeps its place."""
    width = page.evaluate('window.innerWidth')
    height = page.evaluate('window.innerHeight')
    scroll_width = page.evaluate('document.documentElement.scrollWidth')
    check(scroll_width <= width, '%s: the page is wider than the window (%d > %d)' % (label, scroll_width, width))
    top, bottom = page.evaluate('''(() => { const r = document.getElementById('map').getBoundingClientRect();
        return [r.top, r.bottom]; })()''')
    check(page.evaluate('window.scrollY') == 0 and top < height - 200 and bottom - top > 200,
          '%s: the map is not on the first screen (%d..%d of %d)' % (label, top, bottom, height))
    chips = page.evaluate('''Array.from(document.querySelectorAll('#check-counts .chip'))
        .map(c => [c.dataset.check, c.getBoundingClientRect().bottom])''')
    check(len(chips) == len(FINDING_TABLES) + 1 and all(b < top for _, b in chips),
          '%s: the counts per check are not all above the map: %r' % (label, chips))
    layers = page.evaluate('''window.osm2trassel.map.getLayers().getArray()
        .filter(l => l.get('check') !== undefined).length''')
    check(layers == len(FINDING_TABLES) + 1, '%s: %d finding layers on the map' % (label, layers))

    # A check's name opens its list, in sight, and shows its layer.
    page.evaluate('''document.querySelector('#check-counts .chip[data-check="non_connected_links"]').click()''')
    page.pump(0.3)
    opened = page.evaluate('''(() => {
        const d = document.querySelector('#findings details[data-check="non_connected_links"]');
        const r = d.querySelector('summary').getBoundingClientRect();
        const p = document.getElementById('findings').getBoundingClientRect();
        return [d.open, r.top >= Math.max(p.top, 0) - 1 && r.bottom <= window.innerHeight]; })()''')
    check(opened == [True, True], '%s: the check name did not open its list in sight: %r' % (label, opened))

    # A row of a list scrolled down: the map moves to its finding, clear of
    # the popup, and the list stays where it was.
    page.evaluate('''(() => {
        const d = document.querySelector('#findings details[data-check="non_connected_nodes"]');
        d.open = true;
        d.querySelector('tbody tr').scrollIntoView({block: 'center'}); })()''')
    page.pump(0.3)
    place = page.evaluate('[window.scrollY, document.getElementById("findings").scrollTop]')
    check(place != [0, 0], '%s: the list did not scroll to the row' % label)
    box = page.evaluate('''(() => {
        const r = document.querySelector('table.findings[data-check="non_connected_nodes"] tbody tr');
        const b = r.getBoundingClientRect();
        return [b.left + 8, b.top + b.height / 2]; })()''')
    page.click(box[0], box[1])
    page.pump(0.8)
    seen = page.evaluate('''(() => {
        const map = window.osm2trassel.map;
        const px = map.getPixelFromCoordinate([%r, %r]);
        const m = document.getElementById('map').getBoundingClientRect();
        const info = document.getElementById('info').getBoundingClientRect();
        const x = m.left + px[0], y = m.top + px[1];
        const inMap = x > m.left && x < m.right && y > m.top && y < m.bottom;
        const underInfo = x >= info.left && x <= info.right && y >= info.top && y <= info.bottom;
        return [inMap, underInfo, map.getView().getResolution() < 5]; })()''' % (gx, gy))
    check(seen == [True, False, True], '%s: the row did not bring its finding into view clear of the popup: %r' %
          (label, seen))
    check('non_connected_nodes' in page.evaluate('document.getElementById("info").textContent'),
          '%s: the finding is not shown beside the map' % label)
    after = page.evaluate('[window.scrollY, document.getElementById("findings").scrollTop]')
    check(after == place, '%s: the list lost its place (%r, then %r)' % (label, place, after))


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
        shown_counts = {}
        for feature in geojson['features']:
            props = feature['properties']
            counts[props['check']] = counts.get(props['check'], 0) + 1
            check('message' in props and 'road_class' in props, 'a feature without message or road_class')
            # The page counts split_and_snap's places once, and the
            # crossings on one level apart from those on different ones.
            key = props['check']
            if key == 'overpasses':
                if props['split_and_snap_place']:
                    continue
                if props['levels_differ']:
                    key = 'overpasses-levels'
            shown_counts[key] = shown_counts.get(key, 0) + 1
            g = feature['geometry']
            points = [g['coordinates']] if g['type'] == 'Point' else g['coordinates']
            check(all(-180 <= p[0] <= 180 and -90 <= p[1] <= 90 for p in points), 'coordinates not lon, lat')
        for t in FINDING_TABLES:
            check(counts.get(t, 0) == records.get(t, 0), '%s: %d features, %d records' %
                  (t, counts.get(t, 0), records.get(t, 0)))
        check(any(f['properties'].get('name') == HOSTILE_ROAD for f in geojson['features']),
              'the hostile road name is not in findings.geojson as it is')

        # The same data again, compared with the first run: every finding
        # unchanged, none fixed.
        compared_out = os.path.join(work, 'compared')
        status, _, err = run_cli(cli, ['-q', '-o', compared_out, '--network', '--subnets', '--topo', '--overpasses',
                                       '--compare', os.path.join(out, 'findings.geojson'), sample, hostile_input])
        check(status == 0, 'the compared run failed: ' + err)
        with open(os.path.join(compared_out, 'findings.geojson'), encoding='utf-8') as f:
            changes = [feature['properties'].get('change') for feature in json.load(f)['features']]
        check(changes and all(c == 'unchanged' for c in changes), 'the same data again is not all unchanged')

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

        with Chromium(1400, 900) as browser:
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
            check(shown_counts.get('overpasses-levels', 0) > 0, 'the sample has no crossing at a bridge or tunnel')
            for t in FINDING_TABLES + ['overpasses-levels']:
                cell = page.evaluate('document.querySelector(\'tr[data-table="%s"] .count-cell\').textContent' % t)
                check(cell == format(shown_counts.get(t, 0), ','), '%s shows %r, not %d' %
                      (t, cell, shown_counts.get(t, 0)))
            check(not page.evaluate("""window.osm2trassel.map.getLayers().getArray()
                .find(l => l.getClassName().endsWith('findings-overpasses-levels')).getVisible()"""),
                  'the crossings at bridges and tunnels are on the map before they are switched on')

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

            gap = next(f for f in geojson['features'] if f['properties']['check'] == 'non_connected_nodes')
            (x1, y1), (x2, y2) = (mercator(*p) for p in gap['geometry']['coordinates'])
            first_screen(page, 'wide', (x1 + x2) / 2, (y1 + y2) / 2)

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

            # The same on a phone.
            open_page(page, report, 390, 844, True)
            common_checks(page, report, 'phone')
            check(not page.evaluate('document.getElementById("legend").open'), 'phone: the legend is not folded')
            first_screen(page, 'phone', (x1 + x2) / 2, (y1 + y2) / 2)

            # The compared run's page says what changed, per check.
            compared = os.path.join(compared_out, 'report.html')
            open_page(page, compared)
            common_checks(page, compared, 'compared')
            chip = page.evaluate('''document.querySelector('#check-counts .chip[data-check="parallel"]').textContent''')
            check('0 new' in chip and '0 fixed' in chip, 'the counts do not say what changed: %r' % chip)

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
