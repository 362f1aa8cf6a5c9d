#!/usr/bin/env bash
# Rebuilds the report page's map library from the npm packages pinned in
# data/report/map-library/package.json (exact versions of OpenLayers, of the
# packages its bundle holds and of esbuild): OpenLayers,
# only the parts entry.js names, bundled and minified by esbuild into
# data/report/ol.min.js, with its style sheet (data/report/ol.css) and the
# licence texts of every package the bundle holds
# (data/report/map-library-licences.txt). The build uses the files committed
# here and never the network; run this only to change the library or its
# version (edit package.json, keeping every package the bundle holds pinned:
# the script stops when one is not).
set -euo pipefail
cd "$(dirname "$0")/.."
src=data/report/map-library
out=data/report
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src/package.json" "$src/entry.js" "$work/"
(cd "$work" && npm install --no-package-lock --no-audit --no-fund --ignore-scripts >/dev/null)
"$work/node_modules/.bin/esbuild" "$work/entry.js" --bundle --minify --format=iife --global-name=ol \
  --target=es2020 --legal-comments=none --metafile="$work/meta.json" --outfile="$work/ol.min.js" --log-level=warning
cp "$work/node_modules/ol/ol.css" "$out/ol.css"
python3 - "$work" "$out" <<'PY'
import json, os, re, sys
work, out = sys.argv[1], sys.argv[2]
js = open(os.path.join(work, 'ol.min.js'), encoding='utf-8').read()
# Inlined into a script element: nothing in it may end or change that element.
if re.search(r'</script|<!--', js, re.I):
    sys.exit('ol.min.js holds "</script" or "<!--"; it cannot be inlined')
open(os.path.join(out, 'ol.min.js'), 'w', encoding='utf-8').write(js.rstrip('\n') + '\n')
meta = json.load(open(os.path.join(work, 'meta.json')))
packages = set()
for path in meta['inputs']:
    m = re.search(r'node_modules/((?:@[^/]+/)?[^/]+)/', path)
    if m:
        packages.add(m.group(1))
# What goes into the page is pinned, not whatever a range resolves to today.
manifest = json.load(open(os.path.join(work, 'package.json')))
pinned = {**manifest.get("dependencies", {}), **manifest.get("overrides", {})}
loose = [p for p in sorted(packages) if not re.fullmatch(r'\d+\.\d+\.\d+', pinned.get(p, ''))]
if loose:
    sys.exit('not pinned to an exact version in package.json: ' + ', '.join(loose))
parts = []
for p in sorted(packages, key=lambda p: (p != 'ol', p)):
    d = os.path.join(work, 'node_modules', p)
    version = json.load(open(os.path.join(d, 'package.json')))['version']
    names = [n for n in os.listdir(d) if re.match(r'(licen[cs]e|copying)', n, re.I)]
    if not names:
        sys.exit('no licence text in package ' + p)
    text = open(os.path.join(d, sorted(names)[0]), encoding='utf-8').read().strip()
    parts.append('%s %s\n%s\n\n%s' % (p, version, '-' * len(p + version + ' '), text))
open(os.path.join(out, 'map-library-licences.txt'), 'w', encoding='utf-8').write('\n\n\n'.join(parts) + '\n')
print('packages in the bundle:', ', '.join(sorted(packages)))
PY
ls -l "$out/ol.min.js" "$out/ol.css" "$out/map-library-licences.txt"
