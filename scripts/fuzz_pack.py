#!/usr/bin/env python3
"""Seed files for the fuzz targets.

  fuzz_pack.py pack OUT [--head HEX] FILE...   container of FILEs (see
      fuzz/fuzz_common.h: every part but the last is a 32-bit little-endian
      length and its bytes), after the optional leading bytes HEX
  fuzz_pack.py cut OUT OSM_GZ [--ways N] [--skip K] [--head HEX]
      a small valid .osm from a real extract: N highway ways (after skipping
      K) with exactly the nodes they use, nodes before ways, one element per
      line as the converter expects
"""
import gzip
import re
import sys


def pack(out, head, files):
    data = bytearray(bytes.fromhex(head))
    for i, name in enumerate(files):
        with open(name, 'rb') as f:
            b = f.read()
        if i + 1 < len(files):
            data += len(b).to_bytes(4, 'little')
        data += b
    with open(out, 'wb') as f:
        f.write(data)


def cut(out, src, ways, skip, head):
    lines = gzip.open(src, 'rt', encoding='utf-8').read().split('\n')
    header = [l for l in lines[:5] if l.startswith('<?xml') or l.startswith('<osm')]
    nodes = {}  # id -> lines of the node element
    i = 0
    while i < len(lines):
        s = lines[i].strip()
        if s.startswith('<node '):
            nid = re.search(r' id="(-?\d+)"', s).group(1)
            block = [lines[i]]
            if not s.endswith('/>'):
                while not lines[i].strip().startswith('</node'):
                    i += 1
                    block.append(lines[i])
            nodes[nid] = block
        i += 1
    picked, cur, cur_nodes, is_road, seen = [], [], [], False, 0
    i = 0
    while i < len(lines):
        l = lines[i]
        s = l.strip()
        if s.startswith('<way '):
            cur, cur_nodes, is_road = [l], [], False
        elif cur:
            cur.append(l)
            m = re.search(r'<nd ref="(-?\d+)"', s)
            if m:
                cur_nodes.append(m.group(1))
            if 'k="highway"' in s or ('k="route"' in s and 'ferry' in s):
                is_road = True
            if s.startswith('</way'):
                if is_road and all(n in nodes for n in cur_nodes):
                    seen += 1
                    if seen > skip:
                        picked.append((cur, cur_nodes))
                cur = []
                if len(picked) >= ways:
                    break
        i += 1
    used = []
    for _, ns in picked:
        for n in ns:
            if n not in used:
                used.append(n)
    used.sort(key=int)
    body = header[:]
    for n in used:
        body += nodes[n]
    for w, _ in picked:
        body += w
    body.append('</osm>')
    data = bytes.fromhex(head) + ('\n'.join(body) + '\n').encode('utf-8')
    with open(out, 'wb') as f:
        f.write(data)
    return len(data)


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    cmd, out, rest = argv[1], argv[2], argv[3:]
    opts = {'--head': '', '--ways': '20', '--skip': '0'}
    args = []
    while rest:
        a = rest.pop(0)
        if a in opts:
            opts[a] = rest.pop(0)
        else:
            args.append(a)
    if cmd == 'pack':
        pack(out, opts['--head'], args)
    elif cmd == 'cut':
        n = cut(out, args[0], int(opts['--ways']), int(opts['--skip']), opts['--head'])
        print(out, n)
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main(sys.argv)
