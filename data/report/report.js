// The report page of an osm2trassel run: reads the data the program
// embedded in the page (#report-data) and builds the run's facts, the
// counts, the map (OpenLayers, inlined before this script) and the lists.
// Every text from the data goes into the page as text (textContent,
// attribute values), never as markup.
'use strict';
(function () {
  // Times of the steps, for the benchmark: ms since the page began to load.
  const timings = {};
  const mark = (name) => { timings[name] = Math.round(performance.now()); };
  mark('script');
  const data = JSON.parse(document.getElementById('report-data').textContent);
  mark('parsed');
  const state = { ready: false, firstDrawMs: null, map: null, timings };
  window.osm2trassel = state;

  // ------------------------------------------------------------ helpers

  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    if (props) {
      for (const [k, v] of Object.entries(props)) {
        if (v === undefined || v === null || v === false) continue;
        if (k === 'class') e.className = v;
        else if (k === 'text') e.textContent = v;
        else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
        else e.setAttribute(k, v === true ? '' : String(v));
      }
    }
    for (const c of children) {
      if (c === null || c === undefined || c === false) continue;
      e.append(c instanceof Node ? c : document.createTextNode(String(c)));
    }
    return e;
  }
  const fmt = (n) => (n === null || n === undefined ? '\u2013' : Number(n).toLocaleString('en-US'));
  // A count with its noun in agreement: "1 file", "2 files".
  const countText = (n, one, many) => fmt(n) + ' ' + (n === 1 ? one : many);
  function fmtSize(n) {
    if (n === null || n === undefined) return '\u2013';
    if (n < 1024) return n + ' B';
    const units = ['KB', 'MB', 'GB', 'TB'];
    let v = n / 1024, u = 0;
    while (v >= 1024 && u < units.length - 1) { v /= 1024; ++u; }
    return v.toFixed(v < 10 ? 1 : 0) + ' ' + units[u];
  }
  function section(id, title, ...children) {
    return el('section', { id }, el('h2', { text: title }), ...children);
  }
  function keyValueTable(rows) {
    return el('table', null, el('tbody', null, ...rows.map(([k, v]) =>
      el('tr', null, el('th', { text: k }), el('td', { class: 'wrap' }, v)))));
  }

  // OpenStreetMap links of a way, and its JOSM remote control link.
  const osmWayUrl = (id) => 'https://www.openstreetmap.org/way/' + encodeURIComponent(id);
  const editUrl = (id) => 'https://www.openstreetmap.org/edit?way=' + encodeURIComponent(id);
  function josmUrl(ways, lonLatExtent) {
    const sel = ways.map((w) => 'way' + w).join(',');
    if (lonLatExtent) {
      const pad = 0.0005;
      const q = 'left=' + (lonLatExtent[0] - pad).toFixed(7) + '&right=' + (lonLatExtent[2] + pad).toFixed(7) +
        '&bottom=' + (lonLatExtent[1] - pad).toFixed(7) + '&top=' + (lonLatExtent[3] + pad).toFixed(7);
      return 'http://127.0.0.1:8111/load_and_zoom?' + q + '&select=' + encodeURIComponent(sel);
    }
    return 'http://127.0.0.1:8111/load_object?new_layer=true&objects=' +
      encodeURIComponent(ways.map((w) => 'w' + w).join(','));
  }
  function wayLinks(ways, lonLatExtent) {
    const box = el('span', { class: 'links' });
    if (!ways.length) return box;
    if (ways.length === 1) {
      box.append(el('a', { href: osmWayUrl(ways[0]), target: '_blank', rel: 'noopener noreferrer', text: 'way ' + ways[0] }));
      box.append(el('a', { href: editUrl(ways[0]), target: '_blank', rel: 'noopener noreferrer', text: 'edit', title: 'Edit in the web editor' }));
    } else {
      for (const w of ways)
        box.append(el('a', { href: osmWayUrl(w), target: '_blank', rel: 'noopener noreferrer', text: 'way ' + w }));
    }
    box.append(el('a', { href: josmUrl(ways, lonLatExtent), target: 'josm-remote', text: 'JOSM',
      title: 'Load into JOSM (remote control must be on)' }));
    return box;
  }

  // ------------------------------------------------------------ roads

  const CLASSES = data.roads.classes;  // keys, in the order the program ranks them
  const CLASS_INFO = {
    motorway: { label: 'Motorway', color: '#d8365a', width: 3.2, maxRes: Infinity },
    trunk: { label: 'Trunk road', color: '#e8743b', width: 3, maxRes: Infinity },
    primary: { label: 'Primary road', color: '#e9a23b', width: 2.6, maxRes: Infinity },
    secondary: { label: 'Secondary road', color: '#c9b53a', width: 2.2, maxRes: 800 },
    tertiary: { label: 'Tertiary road', color: '#8f9a4c', width: 1.8, maxRes: 400 },
    minor: { label: 'Minor road', color: '#7a7a7a', width: 1.2, maxRes: 120 },
    service: { label: 'Service road', color: '#a0a0a0', width: 0.9, maxRes: 40 },
    track: { label: 'Track', color: '#9a7446', width: 1, maxRes: 40, dash: [4, 3] },
    path: { label: 'Path, footway, cycleway', color: '#4f9a5a', width: 0.9, maxRes: 30, dash: [2, 2] },
    ferry: { label: 'Ferry', color: '#2f74d0', width: 1.6, maxRes: Infinity, dash: [7, 4] },
    other: { label: 'Other', color: '#b07ab8', width: 1, maxRes: 120 },
  };
  const ONEWAY_RES = 2.5;  // metres per pixel below which one-way arrows show

  const R = 6378137;
  const HALF = Math.PI * R;
  function mercY(lat) {
    const l = Math.max(-85.05112878, Math.min(85.05112878, lat));
    return Math.log(Math.tan((90 + l) * Math.PI / 360)) * R;
  }
  const lonOf = (x) => x / HALF * 180;
  const latOf = (y) => (2 * Math.atan(Math.exp(y / R)) - Math.PI / 2) * 180 / Math.PI;
  // Web Mercator y of a latitude in 1e-7 degrees, interpolated in a table of
  // 0.001 degree steps (off by less than a millimetre), which is much
  // faster than the logarithm per vertex.
  const LUT_STEP = 10000;
  const LUT_BASE = -90000;  // -90 degrees, in steps
  // Filled where the data needs it (NaN: not yet).
  const lut = new Float64Array(180002).fill(NaN);
  function lutAt(i) {
    let v = lut[i];
    if (v !== v) v = lut[i] = mercY((LUT_BASE + i) * LUT_STEP * 1e-7);
    return v;
  }
  function mercYE7(y) {
    const t = y / LUT_STEP - LUT_BASE;
    const i = Math.max(0, Math.min(lut.length - 2, Math.floor(t)));
    const a = lutAt(i);
    return a + (lutAt(i + 1) - a) * (t - i);
  }
  const KX = HALF / 180 * 1e-7;  // Web Mercator x of a longitude in 1e-7 degrees

  function bytesOf(b64) {
    if (Uint8Array.fromBase64) return Uint8Array.fromBase64(b64);
    const bin = atob(b64);
    const u = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; ++i) u[i] = bin.charCodeAt(i);
    return u;
  }

  // The roads, in flat arrays: road r has the vertices start[r] .. end[r]-1
  // of xy (Web Mercator x, y), its bounding box at 4 r in box.
  const streams = data.roads.streams.concat([data.roads.findingRoads]);
  let roadCount = 0, vertexCount = 0;
  for (const s of streams) { roadCount += s.roads; vertexCount += s.vertices; }
  const roads = {
    n: 0,
    link: new Float64Array(roadCount), way: new Float64Array(roadCount), attr: new Uint32Array(roadCount),
    cls: new Uint8Array(roadCount), start: new Uint32Array(roadCount), end: new Uint32Array(roadCount),
    box: new Float64Array(4 * roadCount), name: new Array(roadCount),
  };
  const xy = new Float64Array(2 * vertexCount);
  const roadByLink = new Map();
  const codeClass = data.roads.codeClass;
  const ferryClass = CLASSES.indexOf('ferry');
  function classOf(attr) {
    return attr & 4096 ? ferryClass : codeClass[attr & 255];
  }
  let xyAt = 0;
  function decodeStream(s) {
    const u = bytesOf(s.data);
    const end = u.length;
    let p = 0;
    function next() {
      let b = u[p++];
      let r = b & 0x7f;
      if (!(b & 0x80)) return r;
      let m = 128;
      do { b = u[p++]; r += (b & 0x7f) * m; m *= 128; } while (b & 0x80 && p < end);
      return r;
    }
    let link = 0, way = 0, x = 0, y = 0, v = 0;
    let lutIndex = -1, lutY = 0, lutSlope = 0;
    for (let r = 0; r < s.roads && p < end; ++r) {
      v = next(); link += v % 2 ? -(v + 1) / 2 : v / 2;
      v = next(); way += v % 2 ? -(v + 1) / 2 : v / 2;
      const name = s.names[next()];
      const attr = next();
      const n = Math.min(next(), (xy.length - xyAt) / 2);
      const first = xyAt / 2;
      let minX = Infinity, minY = Infinity, maxX = -Infinity, maxY = -Infinity;
      // The hot loop of the page: varints and the Mercator table inline,
      // integer arithmetic while the values allow it.
      for (let i = 0; i < n; ++i) {
        let b = u[p++];
        v = b & 0x7f;
        if (b & 0x80) { let m = 128; do { b = u[p++]; v += (b & 0x7f) * m; m *= 128; } while (b & 0x80); }
        x += v < 0x40000000 ? (v >>> 1) ^ -(v & 1) : v % 2 ? -(v + 1) / 2 : v / 2;
        b = u[p++];
        v = b & 0x7f;
        if (b & 0x80) { let m = 128; do { b = u[p++]; v += (b & 0x7f) * m; m *= 128; } while (b & 0x80); }
        y += v < 0x40000000 ? (v >>> 1) ^ -(v & 1) : v % 2 ? -(v + 1) / 2 : v / 2;
        const t = Math.max(0, Math.min(lut.length - 2, y / LUT_STEP - LUT_BASE));
        const li = Math.floor(t);
        if (li !== lutIndex) {
          lutIndex = li;
          lutY = lutAt(li);
          lutSlope = lutAt(li + 1) - lutY;
        }
        const mx = x * KX, my = lutY + lutSlope * (t - li);
        xy[xyAt++] = mx;
        xy[xyAt++] = my;
        if (mx < minX) minX = mx;
        if (mx > maxX) maxX = mx;
        if (my < minY) minY = my;
        if (my > maxY) maxY = my;
      }
      if (roadByLink.has(link) || roads.n >= roadCount) continue;
      const k = roads.n++;
      roadByLink.set(link, k);
      roads.link[k] = link;
      roads.way[k] = way;
      roads.name[k] = name === undefined ? '' : name;
      roads.attr[k] = attr;
      roads.cls[k] = classOf(attr);
      roads.start[k] = first;
      roads.end[k] = first + n;
      roads.box[4 * k] = minX;
      roads.box[4 * k + 1] = minY;
      roads.box[4 * k + 2] = maxX;
      roads.box[4 * k + 3] = maxY;
    }
  }
  for (const s of streams) decodeStream(s);
  mark('roads');
  const roadFlat = (r) => xy.subarray(2 * roads.start[r], 2 * roads.end[r]);
  // Copies road r's vertices into flat from position at; the end position.
  function appendRoad(r, flat, at) {
    const from = 2 * roads.start[r], to = 2 * roads.end[r];
    flat.set(xy.subarray(from, to), at);
    return at + to - from;
  }
  const roadLength = (r) => 2 * (roads.end[r] - roads.start[r]);
  function roadCentre(r, c) {
    c[0] = (roads.box[4 * r] + roads.box[4 * r + 2]) / 2;
    c[1] = (roads.box[4 * r + 1] + roads.box[4 * r + 3]) / 2;
  }
  const roadExtent = (r) => roads.box.subarray(4 * r, 4 * r + 4);

  function onewayText(attr) {
    const parts = [];
    if (attr & 512) parts.push('one-way, in the direction of the way');
    else if (attr & 1024) parts.push('one-way, against the direction of the way');
    else parts.push('both directions');
    if (attr & 2048) parts.push('roundabout');
    if (attr & 256) parts.push('destination traffic only');
    return parts.join('; ');
  }
  const classLabel = (c) => (CLASS_INFO[CLASSES[c]] || CLASS_INFO.other).label;
  function lonLatExtent(e) {
    return [lonOf(e[0]), latOf(e[1]), lonOf(e[2]), latOf(e[3])];
  }

  // ------------------------------------------------------------ checks

  const CHECKS = {
    subnets_extended: {
      title: 'One-way traps', color: '#c2255c',
      what: 'One-way roads that can be entered but not left: from their far end no route leads back to their start when ' +
        'one-way rules are obeyed. Usually a oneway tag points the wrong way, a way that should be two-way carries ' +
        'oneway=yes, or the road that leads on is not connected. Check the oneway tags around the road and whether ' +
        'the roads really share a node where they meet.',
    },
    subnets: {
      title: 'Islands (subnets)', color: '#7048e8',
      what: 'Roads that are not connected to the main road network of the data, with the number of their island. ' +
        'Most often a road ends a few centimetres short of the road it should join, or two ways cross without a ' +
        'common node; at the edge of an extract the cut can cause it too. Join the ways at a shared node where ' +
        'they really meet.',
    },
    parallel: {
      title: 'Parallel links', color: '#e8590c',
      what: 'Two or more links that join the same two nodes (Group numbers them; SameLength says whether they are ' +
        'equally long). Equally long ones are usually a way drawn twice, which should be deleted; links of ' +
        'different length can be correct, such as the two halves of a small loop.',
    },
    object_check: {
      title: 'Odd shapes', color: '#0c8599',
      what: 'Links whose shape repeats a point (Duplicate), crosses itself (SelfInter) or turns back sharply ' +
        '(SharpTurn gives the angle between the two segments, flagged when it is below 90 degrees). Spikes and ' +
        'zig-zags usually come from a node placed or dragged by mistake: move or delete it.',
    },
    non_connected_nodes: {
      title: 'Ends that almost meet', color: '#e03131',
      what: 'Two road ends or junctions less than 2 m apart that no road joins. Almost always they should be one ' +
        'node: merge them so that routing can pass from one road to the other.',
    },
    non_connected_links: {
      title: 'Ends near a road', color: '#d6336c',
      what: 'A road end or junction less than 2 m from another road that it does not join; the line shows the gap. ' +
        'Usually the end should be connected: add it as a node of that road or move it onto the road.',
    },
    split_and_snap: {
      title: 'Split and snap', color: '#1971c2',
      what: 'A road end that lies within 2 m of the inside of another road: that road should be split there and ' +
        'the end snapped onto it (Percent gives the place along the link; -2 and -1 mark the ends of the links at ' +
        'the node). Connect the ways at a shared node.',
    },
    overpasses: {
      title: 'Crossings without a junction', color: '#5c940d',
      what: 'Places where two roads cross without a shared node. At bridges and tunnels this is right (tag them ' +
        'bridge or tunnel with a layer); elsewhere the crossing needs a junction node. The table also lists the ' +
        'split-and-snap places.',
    },
  };

  // Crossings on different levels (bridge, tunnel, layer) are kept apart
  // from those on one level: mostly correct data, off the map at first.
  const LEVELS_INFO = {
    title: 'Crossings at bridges or tunnels', color: '#868e96',
    what: 'Bridge or tunnel: usually correct. Two roads cross without a shared node, and their bridge, tunnel or ' +
      'layer tags differ, so they lie on different levels. Only when the tags are wrong (a bridge that is ' +
      'none, a missing layer) is there something to fix.',
  };

  // The findings of each check as rows of values, with their link's road.
  const checks = [];
  for (const c of data.checks) {
    const rows = [];
    const linkCol = c.linkField >= 0 ? c.cols[c.linkField] : null;
    const crossings = c.crossings || [];
    let xyAt = 0;
    for (let i = 0; i < c.rows; ++i) {
      const row = { i, road: -1, geom: null, ways: null, cross: crossings.length ? crossings[i] : undefined,
        change: c.changes ? c.changes[i] : 0 };
      if (linkCol) {
        const r = roadByLink.get(linkCol[i]);
        if (r !== undefined) row.road = r;
      }
      if (c.own && xyAt < c.xy.length) {
        const n = c.xy[xyAt++];
        const flat = [];
        for (let k = 0; k < n; ++k) {
          flat.push(c.xy[xyAt] * KX, mercYE7(c.xy[xyAt + 1]));
          xyAt += 2;
        }
        row.geom = flat;
      }
      if (c.ways.length) row.ways = c.ways[i] || [];
      rows.push(row);
    }
    const info = CHECKS[c.table] || { title: c.table, color: '#444', what: '' };
    // Above its bound the page holds the findings on the most important
    // roads; the counts are of all.
    const total = c.total === undefined ? c.rows : c.total;
    // Compared with an earlier run: the earlier findings that are gone.
    const fixed = (c.fixed || []).map((f) => {
      const flat = [];
      for (let k = 2; k + 1 < f.length; k += 2) flat.push(f[k] * KX, mercYE7(f[k + 1]));
      return { ways: f[0], name: f[1], geom: flat };
    });
    if (!crossings.length) {
      checks.push(Object.assign({}, c, { key: c.table, info, list: rows, fixedList: fixed, count: total }));
      continue;
    }
    // The split-and-snap places the table also holds are counted once, in
    // split_and_snap.
    const same = rows.filter((r) => r.cross && !r.cross[3]);
    const differ = rows.filter((r) => r.cross && r.cross[3]);
    checks.push(Object.assign({}, c, { key: c.table, info, list: same, rows: same.length, fixedList: fixed,
      count: total - c.splitAndSnapRows - c.levelsDifferRows }));
    checks.push(Object.assign({}, c, { key: c.table + '-levels', info: LEVELS_INFO, list: differ, rows: differ.length,
      offAtFirst: true, fixedList: [], count: c.levelsDifferRows }));
  }
  // New, unchanged and fixed of a check, when the run was compared.
  const CHANGE = { 1: 'new', 2: 'unchanged' };
  function changeText(c) {
    if (!data.compared) return '';
    // Of all the findings; a check split by level counts what the page holds.
    if (!c.crossings || !c.crossings.length)
      return fmt(c.newTotal) + ' new, ' + fmt(c.unchangedTotal) + ' unchanged, ' + fmt(c.fixedTotal) + ' fixed';
    let added = 0;
    for (const row of c.list) added += row.change === 1;
    return fmt(added) + ' new, ' + fmt(c.list.length - added) + ' unchanged, ' + fmt(c.fixedList.length) + ' fixed';
  }
  const valueText = (v) => (v === null || v === undefined ? '' : String(v));
  function rowWays(row) {
    if (row.ways) return row.ways;
    return row.road >= 0 ? [roads.way[row.road]] : [];
  }
  function rowExtent(row) {
    if (!row.geom) return row.road >= 0 ? roadExtent(row.road) : null;
    if (row.box) return row.box;
    const flat = row.geom;
    if (!flat.length) return null;
    const e = row.box = [Infinity, Infinity, -Infinity, -Infinity];
    for (let k = 0; k < flat.length; k += 2) {
      e[0] = Math.min(e[0], flat[k]);
      e[1] = Math.min(e[1], flat[k + 1]);
      e[2] = Math.max(e[2], flat[k]);
      e[3] = Math.max(e[3], flat[k + 1]);
    }
    return e;
  }

  // ------------------------------------------------------------ page

  mark('findings');
  const app = document.getElementById('app');
  document.getElementById('subtitle').textContent =
    data.program + ' ' + data.version + ' \u2013 ' + data.folder;
  const statusText = { ok: 'finished', failed: 'failed', stopped: 'stopped by the user', incomplete: 'incomplete' };

  // The first screen is the counts per check and the map, with the lists
  // beside it on a wide screen (below it on a phone); the run's details
  // fold away below.
  const narrow = window.matchMedia('(max-width: 800px)').matches;
  const checkCount = (c) => (c.state === 'not run' ? 'not run' :
    c.state === 'ran' ? fmt(c.count) : fmt(c.count) + ' (' + c.state + ')');
  const chips = el('div', { class: 'chips', id: 'check-counts' });
  const anyRan = checks.some((c) => c.state !== 'not run');
  checks.forEach((c, ci) => {
    if (c.state === 'not run' && anyRan) return;
    chips.append(el('button', { type: 'button', class: 'chip', 'data-check': c.key, disabled: c.state === 'not run',
      title: c.list.length ? 'Show the list and the layer of ' + c.table : c.info.what, onclick: () => openCheck(ci) },
    el('span', { class: 'swatch', style: 'border-color:' + c.info.color }), el('span', { text: c.info.title }), ' ',
    el('b', { class: 'chip-count', text: checkCount(c) }),
    data.compared ? el('span', { class: 'chip-change', text: ' (' + changeText(c) + ')' }) : null));
  });
  const totals = el('p', { class: 'small totals', text: fmt(data.counts.roads) + ' road records, ' +
    fmt(data.counts.links) + ' network links, ' + fmt(data.counts.nodes) + ' nodes, ' +
    countText(data.counts.errors, 'line', 'lines') + ' in error.txt.' });
  const comparedNote = data.compared ? el('p', { class: 'small totals' }, 'Compared with ',
    el('code', { text: data.compared }), ': new and unchanged findings are listed with their change; the findings ' +
    'that are gone are on the map as \u201cFixed since the earlier run\u201d and below each list.') : null;
  app.append(el('section', { id: 'overview' },
    data.network ? (anyRan ? chips : el('p', { class: 'muted', text: 'No check ran in this run.' })) :
      el('p', { class: 'muted', text: 'No network was built in this run, so no check ran.' }),
    totals, comparedNote));

  const workspace = el('div', { id: 'workspace' });
  const mapSection = el('section', { id: 'map-section', 'aria-label': 'Map' });
  const note = el('p', { class: 'small map-note' });
  const mapDiv = el('div', { id: 'map', tabindex: '0', 'aria-label': 'Map of the road table and the findings' });
  const legend = el('details', { id: 'legend', open: !narrow || null }, el('summary', { text: 'Layers' }));
  const info = el('div', { id: 'info', hidden: true });
  mapSection.append(el('div', { id: 'map-wrap' }, mapDiv, legend, info));
  const listPanel = el('section', { id: 'findings', 'aria-label': 'Findings' }, el('h2', { text: 'Findings' }));
  workspace.append(mapSection, listPanel);
  const errHolder = el('div');
  app.append(workspace, note, errHolder);

  // The run, folded.
  const inputs = el('table', null,
    el('thead', null, el('tr', null, el('th', { text: 'Input file' }), el('th', { text: 'Format' }), el('th', { class: 'num', text: 'Size' }))),
    el('tbody', null, ...data.inputs.map((f) => el('tr', null,
      el('td', { class: 'wrap mono', text: f.name }), el('td', { text: f.format || 'not readable' }),
      el('td', { class: 'num', text: fmtSize(f.size) })))));
  const tableRecords = new Map(data.tables.map((t) => [t.name, t]));
  function tableText(g) {
    const t = g.group && tableRecords.get(g.group);
    return t ? t.name + ' (' + t.format + ', ' + countText(t.records, 'record', 'records') + '): ' : '';
  }
  // The files written, a table's files or the network's in one row.
  const groups = [];
  for (const f of data.files) {
    const last = groups[groups.length - 1];
    if (f.group && last && last.group === f.group) {
      last.names.push(f.name);
      last.size += f.size || 0;
    } else {
      groups.push({ group: f.group, names: [f.name], size: f.size });
    }
  }
  const files = el('details', null,
    el('summary', { text: countText(data.files.length, 'file', 'files') + ' written' +
      (groups.length === data.files.length ? '' : ' (' + countText(groups.length, 'item', 'items') + ')') }),
    el('div', { class: 'table-scroll' }, el('table', null,
      el('thead', null, el('tr', null, el('th', { text: 'File' }), el('th', { class: 'num', text: 'Size' }))),
      el('tbody', null, ...groups.map((g) => el('tr', null,
        el('td', { class: 'mono wrap', text: g.group === 'network' ? 'Linvoro 4 network: ' + g.names.join(', ') :
          tableText(g) + g.names.join(', ') }),
        el('td', { class: 'num', text: g.names[0] === 'report.html' ? 'this page' : fmtSize(g.size) })))))));
  app.append(el('details', { id: 'run', class: 'fold' },
    el('summary', { text: 'The run: ' + (statusText[data.status] || data.status) + ', ' + data.end +
      ' \u2013 options, input files and files written' }),
    el('div', { class: 'facts' },
      el('div', null,
        keyValueTable([
          ['Program', data.program + ' ' + data.version],
          ['Started', data.start], ['Ended', data.end],
          ['Result', statusText[data.status] || data.status],
          ['Output folder', el('span', { class: 'mono', text: data.folder })],
        ]),
        el('div', { class: 'table-scroll' }, inputs),
        files),
      el('div', null, el('h3', { text: 'Options in effect' }), keyValueTable(data.options)))));

  // What each check means, with its count.
  const checkTable = el('table', { class: 'checks' },
    el('thead', null, el('tr', null, el('th', { text: 'Check table' }), el('th', { class: 'num', text: 'Findings' }),
      el('th', { text: 'What a finding means' }))),
    el('tbody', null, ...checks.map((c) => el('tr', { 'data-table': c.key },
      el('td', null, el('span', { class: 'swatch', style: 'border-color:' + c.info.color }), el('code', { text: c.table }),
        el('div', { class: 'small', text: c.info.title })),
      el('td', { class: 'num count-cell', text: checkCount(c) }),
      el('td', { class: 'what', text: c.info.what })))));
  app.append(el('details', { id: 'counts', class: 'fold' },
    el('summary', { text: 'What each check finds, and what a mapper usually does' }),
    checkTable,
    data.findingsFile ? el('p', { class: 'small' }, 'Every finding is also in ', el('code', { text: data.findingsFile }),
      ' beside this page (GeoJSON, for QGIS, JOSM and other GIS programs): each with a message, its road class, ' +
      'osm_id as the road table has it, distance_m in metres and position along the link from 0 to 1.') : null));

  const omitted = Object.entries(data.roads.omitted || {});
  note.textContent = 'Drag or use the arrow keys to move the map, the wheel or + and - to zoom; the button under the ' +
    'zoom buttons shows everything. Minor roads appear as you zoom in, one-way arrows close up. Click a road or a ' +
    'finding for its OSM way.';
  if (omitted.length) {
    const total = omitted.reduce((s, [, n]) => s + n, 0);
    note.append(el('br'), el('strong', { text: 'Overview: ' }),
      'the road table has more than ' + fmt(data.roads.vertexBudget) + ' vertices, so this page leaves out ' +
      fmt(total) + ' roads (' + omitted.map(([k, n]) => fmt(n) + ' ' + (CLASS_INFO[k] || CLASS_INFO.other).label.toLowerCase()).join(', ') +
      '). Every finding this page holds is drawn on its road.');
  }
  if (data.roads.findingRoadsTolerance > 0)
    note.append(el('br'), el('strong', { text: 'Roads with findings: ' }),
      'so many that this page draws those the overview leaves out simplified, within ' +
      fmt(data.roads.findingRoadsTolerance) + ' m of their course; ' + data.findingsFile + ' holds them exactly.');

  const ol = window.ol;
  const layers = [];
  const roadLayers = [];
  const findingLayers = new Map();
  let dataExtent = null;
  function grow(e) {
    if (!e || !isFinite(e[0])) return;
    dataExtent = dataExtent ? [Math.min(dataExtent[0], e[0]), Math.min(dataExtent[1], e[1]),
      Math.max(dataExtent[2], e[2]), Math.max(dataExtent[3], e[3])] : [e[0], e[1], e[2], e[3]];
  }
  if (roads.n) {
    const e = [Infinity, Infinity, -Infinity, -Infinity];
    for (let r = 0, b = roads.box; r < roads.n; ++r) {
      if (roads.end[r] === roads.start[r]) continue;
      if (b[4 * r] < e[0]) e[0] = b[4 * r];
      if (b[4 * r + 1] < e[1]) e[1] = b[4 * r + 1];
      if (b[4 * r + 2] > e[2]) e[2] = b[4 * r + 2];
      if (b[4 * r + 3] > e[3]) e[3] = b[4 * r + 3];
    }
    grow(e);
  }
  for (const c of checks) for (const row of c.list) if (row.geom) grow(rowExtent(row));

  // Features are drawn in chunks: nearby roads (or findings) of one layer
  // make one multi-line feature, so that a map of a hundred thousand roads
  // costs a few hundred features. A click finds the member nearest to it.
  const CHUNK = 128;
  // Items in the order of a Z curve over their centres: chunks of
  // consecutive items are compact, so that a close view draws few of them.
  function mortonOrder(items, centre) {
    const e = dataExtent || [0, 0, 1, 1];
    const sx = 65535 / Math.max(e[2] - e[0], 1e-9), sy = 65535 / Math.max(e[3] - e[1], 1e-9);
    const spread = (v) => {
      v = (v | (v << 8)) & 0x00FF00FF;
      v = (v | (v << 4)) & 0x0F0F0F0F;
      v = (v | (v << 2)) & 0x33333333;
      return (v | (v << 1)) & 0x55555555;
    };
    // Key and position in one double, sorted natively.
    const n = items.length;
    const packed = n < 1048576 ? new Float64Array(n) : null;
    const keys = packed ? null : new Uint32Array(n);
    const c = [0, 0];
    for (let k = 0; k < n; ++k) {
      centre(items[k], c);
      const x = Math.max(0, Math.min(65535, Math.floor((c[0] - e[0]) * sx)));
      const y = Math.max(0, Math.min(65535, Math.floor((c[1] - e[1]) * sy)));
      const key = (spread(x) | (spread(y) << 1)) >>> 0;
      if (packed) packed[k] = key * 1048576 + k;
      else keys[k] = key;
    }
    if (packed) {
      packed.sort();
      return Array.from(packed, (v) => items[v % 1048576]);
    }
    const order = Array.from(items.keys()).sort((a, b) => keys[a] - keys[b]);
    return order.map((k) => items[k]);
  }
  // A chunk's lines as the map draws them at a resolution: every vertex
  // closer than the drawing tolerance to the last one kept is left out (the
  // ends of each line stay). Kept for the last tolerance asked for.
  function simplifiedChunk(squaredTolerance) {
    if (squaredTolerance === this.lastTolerance) return this.lastSimplified;
    const flat = this.getFlatCoordinates();
    const ends = this.getEnds();
    const out = [];
    const outEnds = new Array(ends.length);
    let start = 0;
    for (let e = 0; e < ends.length; ++e) {
      const end = ends[e];
      let px = flat[start], py = flat[start + 1];
      out.push(px, py);
      for (let i = start + 2; i < end - 2; i += 2) {
        const dx = flat[i] - px, dy = flat[i + 1] - py;
        if (dx * dx + dy * dy < squaredTolerance) continue;
        px = flat[i];
        py = flat[i + 1];
        out.push(px, py);
      }
      if (end - start > 2) out.push(flat[end - 2], flat[end - 1]);
      outEnds[e] = out.length;
      start = end;
    }
    this.lastTolerance = squaredTolerance;
    this.lastSimplified = new ol.RenderFeature('MultiLineString', out, outEnds, 2, this.getPropertiesInternal());
    return this.lastSimplified;
  }
  // A feature per chunk of items; its vertices in one typed array, out of
  // the garbage collector's way.
  function chunkFeatures(items, centre, flatLength, appendFlat, type, props) {
    const ordered = mortonOrder(items, centre);
    const features = [];
    for (let k = 0; k < ordered.length; k += CHUNK) {
      const members = ordered.slice(k, k + CHUNK);
      let size = 0;
      for (const m of members) size += flatLength(m);
      const flat = new Float64Array(size);
      const ends = new Array(members.length);
      let at = 0;
      for (let j = 0; j < members.length; ++j) {
        at = appendFlat(members[j], flat, at);
        ends[j] = at;
      }
      const feature = new ol.RenderFeature(type, flat, ends, 2, Object.assign({ members }, props));
      if (type !== 'MultiPoint') feature.simplifyTransformed = simplifiedChunk;
      features.push(feature);
    }
    return features;
  }
  // The member of a chunk nearest to a map coordinate.
  function nearestMember(members, flatOf, p) {
    let best = -1, bestD = Infinity;
    for (const m of members) {
      const f = flatOf(m);
      if (f.length === 2) {
        const d = Math.hypot(p[0] - f[0], p[1] - f[1]);
        if (d < bestD) { bestD = d; best = m; }
        continue;
      }
      for (let i = 0; i + 3 < f.length; i += 2) {
        const ax = f[i], ay = f[i + 1], dx = f[i + 2] - ax, dy = f[i + 3] - ay;
        const l = dx * dx + dy * dy;
        const t = l > 0 ? Math.max(0, Math.min(1, ((p[0] - ax) * dx + (p[1] - ay) * dy) / l)) : 0;
        const d = Math.hypot(p[0] - ax - t * dx, p[1] - ay - t * dy);
        if (d < bestD) { bestD = d; best = m; }
      }
    }
    return [best, bestD];
  }

  const arrowCache = new Map();
  function arrowImage(rotation, color) {
    const key = Math.round(rotation * 20) + color;
    let s = arrowCache.get(key);
    if (!s) {
      s = new ol.RegularShape({ points: 3, radius: 4.5, rotation: Math.round(rotation * 20) / 20, rotateWithView: true,
        fill: new ol.Fill({ color }), stroke: new ol.Stroke({ color: '#ffffff', width: 1 }) });
      arrowCache.set(key, s);
    }
    return s;
  }
  // Arrows at the middle of the segments that are long enough on screen.
  function onewayStyles(out, flat, attr, resolution, color) {
    const back = (attr & 1024) !== 0;
    for (let k = 0; k + 3 < flat.length; k += 2) {
      const dx = flat[k + 2] - flat[k], dy = flat[k + 3] - flat[k + 1];
      if (Math.hypot(dx, dy) / resolution < 36) continue;
      const angle = Math.atan2(back ? -dy : dy, back ? -dx : dx);
      out.push(new ol.Style({
        geometry: new ol.Point([(flat[k] + flat[k + 2]) / 2, (flat[k + 1] + flat[k + 3]) / 2]),
        image: arrowImage(Math.PI / 2 - angle, color),
      }));
    }
  }

  // OpenLayers strokes all lines of one look as a single path; Chromium
  // strokes a path of a hundred thousand lines far slower than as many
  // small paths. Two styles that differ by the least alpha, taken in turn
  // by the chunks, make every chunk a path of its own.
  // Far out, where a line is a few pixels long, plain ends and joins look
  // the same and are much cheaper to draw than round ones.
  const PLAIN_RES = 15;
  function strokeStyles(color, alpha1, alpha2, width, dash) {
    const make = (a, cap, join) => new ol.Style({
      stroke: new ol.Stroke({ color: color + a, width, lineDash: dash, lineCap: cap, lineJoin: join }) });
    const round = [make(alpha1, 'round', 'round'), make(alpha2, 'round', 'round')];
    const plain = [make(alpha1, 'butt', 'bevel'), make(alpha2, 'butt', 'bevel')];
    let flip = 0;
    return (resolution) => (resolution > PLAIN_RES ? plain : round)[(flip ^= 1)];
  }

  // A layer per road class. Its features are made when the layer is first
  // drawn: the classes that show only closer up cost nothing until then.
  const roadsOfClass = CLASSES.map(() => []);
  for (let r = 0; r < roads.n; ++r)
    if (roads.end[r] - roads.start[r] >= 2) roadsOfClass[roads.cls[r]].push(r);
  CLASSES.forEach((key, c) => {
    const ci = CLASS_INFO[key] || CLASS_INFO.other;
    const list = roadsOfClass[c];
    if (!list.length) return;
    const source = new ol.VectorSource({
      loader: () => source.addFeatures(chunkFeatures(list, roadCentre, roadLength, appendRoad, 'MultiLineString', {})),
    });
    // Two alphas, every chunk a stroke of its own (see strokeStyles).
    const baseFor = strokeStyles(ci.color, 'ff', 'fe', ci.width, ci.dash);
    const layer = new ol.VectorLayer({
      source,
      maxResolution: ci.maxRes,
      style: (f, resolution) => {
        const base = baseFor(resolution);
        if (resolution > ONEWAY_RES) return base;
        const out = [base];
        for (const r of f.get('members'))
          if (roads.attr[r] & 1536) onewayStyles(out, roadFlat(r), roads.attr[r], resolution, ci.color);
        return out;
      },
    });
    layer.set('roadClass', c);
    layer.set('count', list.length);
    roadLayers.push(layer);
  });
  // Drawn from the least important class up, so that major roads lie on top.
  const order = ['path', 'track', 'service', 'other', 'minor', 'tertiary', 'secondary', 'primary', 'trunk', 'motorway', 'ferry'];
  roadLayers.sort((a, b) => order.indexOf(CLASSES[a.get('roadClass')]) - order.indexOf(CLASSES[b.get('roadClass')]));
  layers.push(...roadLayers);

  // A layer per check: its points, its gaps (lines with a dot at either
  // end) or the links it names.
  const rowFlat = (c) => (row) => row.geom || (row.road >= 0 ? roadFlat(row.road) : []);
  function appendRow(row, flat, at) {
    if (row.geom) {
      flat.set(row.geom, at);
      return at + row.geom.length;
    }
    return row.road >= 0 ? appendRoad(row.road, flat, at) : at;
  }
  const rowLength = (row) => (row.geom ? row.geom.length : row.road >= 0 ? roadLength(row.road) : 0);
  function rowCentre(row, c) {
    if (!row.geom) return roadCentre(row.road, c);
    const e = rowExtent(row);
    c[0] = (e[0] + e[2]) / 2;
    c[1] = (e[1] + e[3]) / 2;
  }
  checks.forEach((c, ci) => {
    const points = [], lines = [];
    for (const row of c.list) {
      const n = rowLength(row);
      if (n === 2) points.push(row);
      else if (n > 2) lines.push(row);
    }
    if (!points.length && !lines.length) return;
    const color = c.info.color;
    const features = [
      ...chunkFeatures(points, rowCentre, rowLength, appendRow, 'MultiPoint', { check: ci }),
      ...chunkFeatures(lines, rowCentre, rowLength, appendRow, 'MultiLineString', { check: ci, gaps: c.own }),
    ];
    const lineFor = strokeStyles(color, 'b0', 'b1', 6);
    const point = new ol.Style({ image: new ol.CircleStyle({ radius: 6, fill: new ol.Fill({ color }),
      stroke: new ol.Stroke({ color: '#ffffff', width: 1.5 }) }) });
    const dot = new ol.CircleStyle({ radius: 3.5, fill: new ol.Fill({ color }) });
    const gapEnds = new ol.Style({
      image: dot,
      geometry: (f) => {
        const ends = [];
        for (const row of f.get('members')) {
          const g = row.geom;
          ends.push(g[0], g[1], g[g.length - 2], g[g.length - 1]);
        }
        return new ol.RenderFeature('MultiPoint', ends, [ends.length], 2, {});
      },
    });
    const layer = new ol.VectorLayer({
      // A canvas of its own: drawn on the canvas of the roads, each symbol
      // would make Chromium move the roads' whole path once more.
      className: 'ol-layer findings-' + c.key,
      source: new ol.VectorSource({ features }),
      style: (f, resolution) => (f.getType() === 'MultiPoint' ? point :
        f.get('gaps') ? [lineFor(resolution), gapEnds] : lineFor(resolution)),
    });
    layer.set('check', ci);
    layer.set('isPoint', points.length > 0 && !lines.length);
    if (c.offAtFirst) layer.setVisible(false);
    findingLayers.set(ci, layer);
    layers.push(layer);
  });

  // The findings an earlier run had and this one has not.
  const FIXED_COLOR = '#2b8a3e';
  let fixedLayer = null;
  const fixedFeatures = [];
  checks.forEach((c, ci) => c.fixedList.forEach((f, k) => {
    if (!f.geom.length) return;
    fixedFeatures.push(new ol.Feature({ geometry: f.geom.length === 2 ? new ol.Point(f.geom) :
      new ol.LineString(f.geom, 'XY'), fixedOf: [ci, k] }));
  }));
  if (fixedFeatures.length) {
    fixedLayer = new ol.VectorLayer({
      className: 'ol-layer findings-fixed',
      source: new ol.VectorSource({ features: fixedFeatures }),
      style: new ol.Style({
        stroke: new ol.Stroke({ color: FIXED_COLOR, width: 4, lineDash: [4, 6] }),
        image: new ol.CircleStyle({ radius: 7, stroke: new ol.Stroke({ color: FIXED_COLOR, width: 2.5 }) }),
      }),
    });
    layers.push(fixedLayer);
  }

  const highlight = new ol.VectorLayer({
    source: new ol.VectorSource(),
    style: new ol.Style({
      stroke: new ol.Stroke({ color: '#111111', width: 3, lineDash: [6, 4] }),
      image: new ol.CircleStyle({ radius: 10, stroke: new ol.Stroke({ color: '#111111', width: 2.5 }) }),
    }),
  });
  layers.push(highlight);
  mark('layers');

  const world = [-HALF, -HALF, HALF, HALF];
  const fitExtent = dataExtent || world;
  const map = new ol.Map({
    target: mapDiv,
    layers,
    keyboardEventTarget: mapDiv,
    controls: ol.defaultControls({ attribution: false, rotate: false }).extend([
      new ol.ZoomToExtent({ extent: fitExtent, label: '\u2922', tipLabel: 'Show everything' }),
      new ol.ScaleLine(),
    ]),
    view: new ol.View({ maxZoom: 22, constrainResolution: false }),
  });
  state.map = map;
  map.getView().fit(fitExtent, { padding: [20, 20, 20, 20], maxZoom: 18 });
  // The classes the first view shows are made now: made by the first
  // picture they would only ask for a second one.
  const firstResolution = map.getView().getResolution();
  for (const layer of roadLayers)
    if (firstResolution < layer.getMaxResolution()) layer.getSource().loadFeatures(fitExtent, firstResolution, map.getView().getProjection());
  mark('map');
  map.once('rendercomplete', () => {
    state.firstDrawMs = performance.now();
    mark('drawn');
    state.ready = true;
  });
  if (!dataExtent) note.append(el('br'), el('strong', { text: 'The run wrote no roads to draw.' }));

  // The legend: road classes (greyed while zoomed out too far for them) and
  // a switch per check.
  const classRows = [];
  legend.append(el('h4', { text: 'Roads' }));
  for (const layer of [...roadLayers].reverse()) {
    const ci = CLASS_INFO[CLASSES[layer.get('roadClass')]] || CLASS_INFO.other;
    const sw = el('span', { class: 'swatch' + (ci.dash ? ' dashed' : ''), style: 'border-color:' + ci.color });
    const row = el('label', null, el('input', { type: 'checkbox', checked: true,
      onchange: (e) => layer.setVisible(e.target.checked) }), ' ', sw, ci.label + ' (' + fmt(layer.get('count')) + ')');
    classRows.push([row, ci]);
    legend.append(row);
  }
  if (findingLayers.size) legend.append(el('h4', { text: 'Findings' }));
  for (const [ci, layer] of findingLayers) {
    const c = checks[ci];
    const dotSwatch = layer.get('isPoint');
    const sw = el('span', { class: dotSwatch ? 'swatch dot' : 'swatch',
      style: (dotSwatch ? 'background:' : 'border-color:') + c.info.color });
    legend.append(el('label', { 'data-check': c.key }, el('input', { type: 'checkbox', checked: !c.offAtFirst,
      onchange: (e) => layer.setVisible(e.target.checked) }), ' ', sw, c.info.title + ' (' + fmt(c.count) + ')'));
  }
  // Shows a check's layer, and says so in the legend.
  function showLayer(ci) {
    const layer = findingLayers.get(ci);
    if (!layer) return;
    layer.setVisible(true);
    const box = legend.querySelector('label[data-check="' + checks[ci].key + '"] input');
    if (box) box.checked = true;
  }
  if (fixedLayer) {
    legend.append(el('label', { 'data-check': 'fixed' }, el('input', { type: 'checkbox', checked: true,
      onchange: (e) => fixedLayer.setVisible(e.target.checked) }), ' ',
    el('span', { class: 'swatch dot', style: 'background:#fff;box-shadow:0 0 0 2px ' + FIXED_COLOR }),
    'Fixed since the earlier run (' + fmt(fixedFeatures.length) + ')'));
  }
  function showFixed(ci, k) {
    const c = checks[ci];
    const f = c.fixedList[k];
    showInfo('Fixed since the earlier run', [['Check', c.table + ' \u2013 ' + c.info.title],
      ['OSM way', f.ways.join(', ')], ['Name', f.name || '(none)']], f.ways, null);
    highlight.getSource().clear();
  }
  function updateLegend() {
    const res = map.getView().getResolution();
    for (const [row, ci] of classRows) row.classList.toggle('hidden-now', res > ci.maxRes);
  }
  map.getView().on('change:resolution', updateLegend);
  updateLegend();

  // What was clicked.
  function showInfo(title, rows, ways, extent) {
    info.replaceChildren(
      el('button', { class: 'close', title: 'Close', 'aria-label': 'Close', text: '\u00d7', onclick: () => { info.hidden = true; } }),
      el('strong', { text: title }),
      keyValueTable(rows),
      wayLinks(ways, extent ? lonLatExtent(extent) : null));
    info.hidden = false;
  }
  function roadRows(r, withLink) {
    const rows = [['OSM way', String(roads.way[r])], ['Name', roads.name[r] || '(none)'],
      ['Road class', classLabel(roads.cls[r])], ['One-way', onewayText(roads.attr[r])]];
    if (withLink) rows.push(['Link', String(roads.link[r])]);
    return rows;
  }
  // The way that crosses an overpasses finding: [way, name, road class,
  // levels differ, level, its level].
  function crossingRows(x) {
    return [['Crossing way', x[0] === null ? 'not found' : String(x[0])],
      ['Crossing road', (x[1] || '(no name)') + (x[2] ? ', ' + (CLASS_INFO[x[2]] || CLASS_INFO.other).label : '')],
      ['Levels', (x[4] || '?') + ' / ' + (x[5] || '?') + (x[3] ? ': different' : ': the same')]];
  }
  function showFinding(ci, i) {
    const c = checks[ci];
    const row = c.list[i];
    const rows = [['Check', c.table + ' \u2013 ' + c.info.title]];
    c.fields.forEach((f, k) => rows.push([f, valueText(c.cols[k][i])]));
    if (row.cross) rows.push(...crossingRows(row.cross));
    if (row.change) rows.push(['Change', CHANGE[row.change] + ' since the earlier run']);
    if (row.road >= 0) rows.push(...roadRows(row.road, false));
    else if (row.ways) rows.push(['OSM ways', row.ways.join(', ')]);
    const ext = rowExtent(row);
    showInfo('Finding', rows, rowWays(row), ext);
    highlight.getSource().clear();
    const flat = row.geom || (row.road >= 0 ? Array.from(roadFlat(row.road)) : null);
    if (flat) {
      highlight.getSource().addFeature(new ol.Feature(flat.length === 2 ? new ol.Point(flat) :
        new ol.LineString(flat, 'XY')));
    }
  }
  map.on('singleclick', (evt) => {
    // A finding before a road; of each, the member nearest to the click.
    const tolerance = 6 * map.getView().getResolution();
    let best = null;
    map.forEachFeatureAtPixel(evt.pixel, (f, layer) => {
      if (layer === highlight) return false;
      if (layer === fixedLayer) {
        if (!best) best = { fixedOf: f.get('fixedOf'), d: Infinity, isFinding: false };
        return false;
      }
      const check = f.get('check');
      const flatOf = check === undefined ? roadFlat : rowFlat(checks[check]);
      const [m, d] = nearestMember(f.get('members'), flatOf, evt.coordinate);
      if (m === -1 || m === null || d > tolerance) return false;
      const isFinding = check !== undefined;
      if (!best || (isFinding && !best.isFinding) || (isFinding === best.isFinding && d < best.d))
        best = { m, d, check, isFinding };
      return false;
    }, { hitTolerance: 5 });
    if (!best) {
      info.hidden = true;
      highlight.getSource().clear();
      return;
    }
    if (best.fixedOf) {
      showFixed(best.fixedOf[0], best.fixedOf[1]);
    } else if (best.isFinding) {
      showFinding(best.check, best.m.i);
    } else {
      const r = best.m;
      showInfo('Road', roadRows(r, true), [roads.way[r]], roadExtent(r));
      highlight.getSource().clear();
      highlight.getSource().addFeature(new ol.Feature(new ol.LineString(Array.from(roadFlat(r)), 'XY')));
    }
  });
  mapDiv.addEventListener('pointerdown', () => mapDiv.focus({ preventScroll: true }));

  function centreOn(ci, i) {
    const row = checks[ci].list[i];
    const e = rowExtent(row);
    if (!e) return;
    showLayer(ci);
    showFinding(ci, i);
    // The finding stays clear of the popup at the bottom of the map.
    const below = info.hidden ? 40 : Math.min(info.offsetHeight + 24, mapDiv.clientHeight / 2);
    map.getView().fit([e[0], e[1], e[2], e[3]], { padding: [40, 40, below, 40], maxZoom: 18, duration: 250 });
    // The list keeps its place; only a map out of sight is brought back.
    const r = mapDiv.getBoundingClientRect();
    if (r.bottom < 60 || r.top > window.innerHeight - 60) mapDiv.scrollIntoView({ block: 'nearest' });
  }

  // A check's name in the counts opens its list and shows its layer.
  function openCheck(ci) {
    buildLists();
    showLayer(ci);
    const d = listPanel.querySelector('details[data-check="' + checks[ci].key + '"]');
    if (!d) return;
    d.open = true;
    if (listPanel.scrollHeight > listPanel.clientHeight && getComputedStyle(listPanel).overflowY !== 'visible') {
      listPanel.scrollTop = d.offsetTop - listPanel.offsetTop;
      const r = listPanel.getBoundingClientRect();
      if (r.top < 0 || r.top > window.innerHeight / 2) listPanel.scrollIntoView({ block: 'start' });
    } else {
      // One column: the map stays at the top of the screen above the list.
      const top = getComputedStyle(mapSection).position === 'sticky' ? mapSection.offsetHeight : 0;
      window.scrollTo(0, d.getBoundingClientRect().top + window.scrollY - top - 4);
    }
  }

  // ------------------------------------------------------------ lists

  // The lists come after the map's first picture: their thousands of rows
  // would only hold it up.
  let listsBuilt = false;
  // The earlier findings of a check that are gone, each moving the map.
  function fixedList(ci) {
    const c = checks[ci];
    if (!c.fixedList.length) return null;
    const ul = el('ul', { class: 'fixed' });
    c.fixedList.forEach((f, k) => {
      const li = el('li', { tabindex: '0', title: 'Show on the map' }, 'Fixed: ', wayLinks(f.ways, null),
        f.name ? ' ' + f.name : '');
      li.addEventListener('click', (e) => {
        if (e.target.closest('a')) return;
        if (fixedLayer) fixedLayer.setVisible(true);
        showFixed(ci, k);
        const g = f.geom;
        if (!g.length) return;
        const ext = [Infinity, Infinity, -Infinity, -Infinity];
        for (let j = 0; j < g.length; j += 2) {
          ext[0] = Math.min(ext[0], g[j]); ext[1] = Math.min(ext[1], g[j + 1]);
          ext[2] = Math.max(ext[2], g[j]); ext[3] = Math.max(ext[3], g[j + 1]);
        }
        map.getView().fit(ext, { padding: [40, 40, 40, 40], maxZoom: 18, duration: 250 });
      });
      ul.append(li);
    });
    return el('div', null, el('h4', { text: 'Fixed since the earlier run (' + fmt(c.fixedList.length) + ')' }), ul);
  }
  function buildLists() {
    if (listsBuilt) return;
    listsBuilt = true;
    const PAGE = 200;
    const listSection = listPanel;
    const anyFindings = checks.some((c) => c.list.length || c.fixedList.length);
    if (!anyFindings) {
      listSection.append(el('p', { class: 'muted', text: checks.some((c) => c.state !== 'not run') ?
        'The checks found nothing.' : 'No check ran in this run.' }));
    }
    const rank = (row) => (row.road >= 0 ? roads.cls[row.road] : CLASSES.length);
    checks.forEach((c, ci) => {
      if (!c.list.length && !c.fixedList.length) return;
      const sorted = c.list.slice().sort((a, b) => {
        const d = rank(a) - rank(b);
        if (d) return d;
        const la = a.road >= 0 ? roads.link[a.road] : Number(c.cols[0][a.i]);
        const lb = b.road >= 0 ? roads.link[b.road] : Number(c.cols[0][b.i]);
        return la - lb || a.i - b.i;
      });
      const crossing = c.list.some((row) => row.cross);
      const head = el('tr', null, data.compared ? el('th', { text: 'Change' }) : null, el('th', { text: 'Road class' }), el('th', { text: 'OSM way' }), el('th', { text: 'Name' }),
        ...(crossing ? [el('th', { text: 'Crossing way' }), el('th', { text: 'Crossing road' }), el('th', { text: 'Levels' })] : []),
        ...c.fields.map((f) => el('th', { class: c.types[c.fields.indexOf(f)] === 'text' ? null : 'num', text: f })));
      const body = el('tbody');
      const table = el('table', { class: 'findings', 'data-check': c.key }, el('thead', null, head), body);
      let shown = 0;
      const more = el('button', { class: 'more', type: 'button' });
      function showMore() {
        const end = Math.min(sorted.length, shown + PAGE);
        for (; shown < end; ++shown) {
          const row = sorted[shown];
          const ways = rowWays(row);
          const ext = rowExtent(row);
          const tr = el('tr', { 'data-row': row.i, tabindex: '0', title: 'Show on the map' },
            data.compared ? el('td', { class: row.change === 1 ? 'change-new' : null, text: CHANGE[row.change] || '' }) : null,
            el('td', { text: row.road >= 0 ? classLabel(roads.cls[row.road]) : '' }),
            el('td', null, wayLinks(ways, ext ? lonLatExtent(ext) : null)),
            el('td', { class: 'wrap', text: row.road >= 0 ? roads.name[row.road] : '' }),
            ...(crossing ? crossingRows(row.cross || [null]).map(([, v]) => el('td', { class: 'wrap', text: v })) : []),
            ...c.cols.map((col, k) => el('td', { class: c.types[k] === 'text' ? 'wrap' : 'num', text: valueText(col[row.i]) })));
          tr.addEventListener('click', (e) => {
            if (e.target.closest('a')) return;  // the links do their own thing
            for (const s of document.querySelectorAll('.findings tr.selected')) s.classList.remove('selected');
            tr.classList.add('selected');
            centreOn(ci, row.i);
          });
          tr.addEventListener('keydown', (e) => { if (e.key === 'Enter' && e.target === tr) tr.click(); });
          body.append(tr);
        }
        more.hidden = shown >= sorted.length;
        more.textContent = 'Show ' + Math.min(PAGE, sorted.length - shown) + ' more of ' + fmt(sorted.length - shown);
      }
      more.addEventListener('click', showMore);
      showMore();
      listSection.append(el('details', { class: 'check', 'data-check': c.key,
        open: ci === checks.findIndex((x) => x.list.length) || null },
        el('summary', null, el('span', { class: 'swatch', style: 'border-color:' + c.info.color }),
          c.info.title + ' (' + fmt(c.count) + ')', el('code', { class: 'small', text: ' ' + c.table })),
        el('p', { class: 'small', text: c.info.what }),
        c.list.length < c.count ? el('p', { class: 'small bound' }, el('strong', { text: 'This page holds ' +
          fmt(c.list.length) + ' of the ' + fmt(c.count) + ' findings' }), ', those on the most important roads first; ' +
          data.findingsFile + ' holds ' + fmt(c.count - c.list.length) + ' more.') : null,
        data.compared ? el('p', { class: 'small', text: changeText(c) + ' since the earlier run.' }) : null,
        el('div', { class: 'table-scroll' }, table), more, fixedList(ci)));
    });

    // ------------------------------------------------------------ error.txt

    const errSection = section('errors', 'error.txt');
    errHolder.append(errSection);
    const errLines = data.errors.lines;
    if (data.errors.total === null) {
      errSection.append(el('p', { class: 'muted', text: 'This run wrote no error.txt.' }));
    } else if (!errLines.length) {
      errSection.append(el('p', { class: 'muted', text: 'error.txt is empty: no way was left out or changed.' }));
    } else {
      errSection.append(el('p', { class: 'small', text: 'Ways the conversion left out, cut short or found odd, one line ' +
        'each (kind, OSM way, details).' + (data.errors.total > errLines.length ? ' The first ' + fmt(errLines.length) +
        ' of ' + fmt(data.errors.total) + ' lines are shown; error.txt holds all.' : '') }));
      const list = el('ol');
      let shown = 0;
      const more = el('button', { class: 'more', type: 'button' });
      function showMoreErrors() {
        const end = Math.min(errLines.length, shown + 500);
        for (; shown < end; ++shown) {
          const line = errLines[shown];
          const m = /^([^,]*),(\d+)(.*)$/s.exec(line);
          if (m) {
            // The way's id links its page; the editors follow the line.
            list.append(el('li', null, m[1] + ',',
              el('a', { href: osmWayUrl(m[2]), target: '_blank', rel: 'noopener noreferrer', text: m[2] }), m[3], ' ',
              el('span', { class: 'links small' },
                el('a', { href: editUrl(m[2]), target: '_blank', rel: 'noopener noreferrer', text: 'edit' }),
                el('a', { href: josmUrl([m[2]], null), target: 'josm-remote', text: 'JOSM' }))));
          } else {
            list.append(el('li', { text: line }));
          }
        }
        more.hidden = shown >= errLines.length;
        more.textContent = 'Show more lines (' + fmt(errLines.length - shown) + ' left)';
      }
      more.addEventListener('click', showMoreErrors);
      showMoreErrors();
      errSection.append(list, more);
    }
    mark('lists');
    state.listsReady = true;
  }
  map.once('rendercomplete', () => setTimeout(buildLists, 0));
  setTimeout(buildLists, 5000);
})();

// ---------------------------------------------------------------------------
// Click-to-route, when the page is served by `osm2trassel-cli serve`: a click
// sets the start, a second click the end, and the route the service finds
// (GET /route) is drawn with its length and time; a switch chooses shortest
// or fastest. Opened as a file the page has no service to ask and stays as
// it is. Kept apart from the page's own script: it only reads
// window.osm2trassel.map.
(function () {
  if (location.protocol !== 'http:' && location.protocol !== 'https:') return;
  const R = 6378137;
  const toLonLat = (c) => [c[0] / R * 180 / Math.PI, (2 * Math.atan(Math.exp(c[1] / R)) - Math.PI / 2) * 180 / Math.PI];
  const toMerc = (c) => [c[0] * Math.PI / 180 * R, Math.log(Math.tan((90 + c[1]) * Math.PI / 360)) * R];
  function start(map) {
    const source = new ol.VectorSource();
    map.addLayer(new ol.VectorLayer({
      source, zIndex: 1000,
      style: (f) => f.get('kind') === 'route'
        ? new ol.Style({ stroke: new ol.Stroke({ color: '#d01c8b', width: 5 }) })
        : new ol.Style({ image: new ol.CircleStyle({ radius: 6, fill: new ol.Fill({ color: f.get('kind') === 'start' ? '#1a9641' : '#d7191c' }), stroke: new ol.Stroke({ color: '#fff', width: 2 }) }) }),
    }));
    const box = document.createElement('div');
    box.id = 'route-box';
    box.style.cssText = 'position:absolute;bottom:8px;right:8px;z-index:10;background:#fff;padding:6px 8px;border:1px solid #888;border-radius:4px;font:13px sans-serif';
    box.innerHTML = '<label><input type="radio" name="route-mode" value="shortest" checked> shortest</label> ' +
      '<label><input type="radio" name="route-mode" value="fastest"> fastest</label><div id="route-result">Click the start of a route</div>';
    const target = map.getTargetElement();
    if (getComputedStyle(target).position === 'static') target.style.position = 'relative';
    target.appendChild(box);
    const result = box.querySelector('#route-result');
    const state = { points: [], result: null };
    window.osm2trassel.route = state;
    function mode() { return box.querySelector('input[name=route-mode]:checked').value; }
    function ask() {
      if (state.points.length < 2) return;
      const q = state.points.map((p) => p[1].toFixed(7) + ',' + p[0].toFixed(7)).join(';');
      result.textContent = 'Routing...';
      fetch('/route?points=' + encodeURIComponent(q) + '&mode=' + mode())
        .then((r) => r.json().then((j) => ({ ok: r.ok, j })))
        .then(({ ok, j }) => {
          for (const f of source.getFeatures()) if (f.get('kind') === 'route') source.removeFeature(f);
          if (!ok) { result.textContent = j.error || 'No route'; state.result = { error: j.error }; return; }
          const line = j.features[0];
          source.addFeature(new ol.Feature({ kind: 'route', geometry: new ol.LineString(line.geometry.coordinates.map(toMerc)) }));
          const p = line.properties;
          const min = Math.floor(p.duration_s / 60), s = Math.round(p.duration_s % 60);
          result.textContent = p.length_km.toFixed(3) + ' km, ' + min + ' min ' + s + ' s (' + p.mode + ')';
          state.result = p;
        })
        .catch((e) => { result.textContent = 'The service did not answer: ' + e; });
    }
    box.addEventListener('change', ask);
    map.on('singleclick', (e) => {
      if (state.points.length >= 2) { state.points = []; source.clear(); state.result = null; }
      state.points.push(toLonLat(e.coordinate));
      source.addFeature(new ol.Feature({ kind: state.points.length === 1 ? 'start' : 'end', geometry: new ol.Point(e.coordinate) }));
      if (state.points.length === 1) result.textContent = 'Click the end';
      ask();
    });
  }
  // The page's own script makes the map first.
  (function wait() {
    const s = window.osm2trassel;
    if (s && s.map) start(s.map); else setTimeout(wait, 50);
  })();
})();
