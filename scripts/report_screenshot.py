#!/usr/bin/env python3
"""Renders the first screen of a report page in headless Chromium into a PNG
picture: the counts, the map with its legend and one finding chosen from
the lists; "phone" renders it as a phone shows it.

Usage: report_screenshot.py REPORT.html OUT.png [WIDTH HEIGHT [phone]]
"""
import base64
import os
import pathlib
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests'))
from chromium_cdp import Chromium  # noqa: E402


def main():
    report, out = sys.argv[1], sys.argv[2]
    width, height = (int(sys.argv[3]), int(sys.argv[4])) if len(sys.argv) > 4 else (1400, 900)
    phone = len(sys.argv) > 5 and sys.argv[5] == 'phone'
    with Chromium(width, height) as browser:
        page = browser.page()
        page.send('Emulation.setDeviceMetricsOverride', width=width, height=height, deviceScaleFactor=1, mobile=phone)
        page.navigate(pathlib.Path(report).resolve().as_uri())
        page.wait_for('window.osm2trassel && window.osm2trassel.ready && window.osm2trassel.listsReady', 60)
        # A finding chosen from its list, as a user would, seen a little
        # from afar; the map at the top of the picture.
        page.evaluate('''(() => {
            const row = document.querySelector('table.findings[data-check="parallel"] tbody tr') ||
                        document.querySelector('table.findings tbody tr');
            if (row) row.click(); })()''')
        page.pump(1.0)
        page.evaluate('''(() => {
            const view = window.osm2trassel.map.getView();
            view.setZoom(Math.min(view.getZoom(), 15.5));
            window.scrollTo(0, 0); })()''')
        page.pump(1.5)
        problems = page.problems()
        if problems:
            sys.exit('the page reports problems: %s' % problems)
        shot = page.send('Page.captureScreenshot', format='png')
        with open(out, 'wb') as f:
            f.write(base64.b64decode(shot['data']))
    print(out)


main()
