#!/usr/bin/env python3
"""Opens a report page in headless Chromium RUNS times, each in a fresh
browser with a fresh profile, and prints when its map was first drawn:
milliseconds from the start of the page's navigation to OpenLayers' first
"rendercomplete", with the page's own step marks, and the main thread's
busy time until then (Performance.getMetrics TaskDuration, thread ticks).

Usage: report_page_draw.py REPORT.html [RUNS]
"""
import json
import os
import pathlib
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests'))
from chromium_cdp import Chromium  # noqa: E402


def main():
    report = pathlib.Path(sys.argv[1]).resolve()
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    drawn = []
    print('%s (%.1f MB)' % (report, report.stat().st_size / 1e6))
    for i in range(runs):
        with Chromium(1280, 900) as browser:
            page = browser.page()
            page.send('Performance.enable', timeDomain='threadTicks')
            page.navigate(report.as_uri())
            page.wait_for('window.osm2trassel && window.osm2trassel.ready', 120)
            ms = page.evaluate('window.osm2trassel.firstDrawMs')
            marks = page.evaluate('window.osm2trassel.timings')
            metrics = {m['name']: m['value'] for m in page.send('Performance.getMetrics')['metrics']}
            problems = page.problems()
            if problems:
                sys.exit('the page reports problems: %s' % problems)
        drawn.append(ms)
        print('run %d: map drawn at %5.0f ms (main thread busy %.2f s); steps %s' %
              (i + 1, ms, metrics.get('TaskDuration', 0), json.dumps(marks)))
    print('first drawn map: median %.0f ms, best %.0f ms, worst %.0f ms' %
          (statistics.median(drawn), min(drawn), max(drawn)))


main()
