"""Headless Chromium driven over the DevTools protocol, with nothing but the
Python standard library: a browser in a fresh profile, one page, commands
and the events they cause. Used by the report page's browser test and its
benchmark.

    with Chromium() as browser:
        page = browser.page()
        page.navigate('file:///tmp/out/report.html')
        page.wait_for('window.osm2trassel && window.osm2trassel.ready')
"""
import base64
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request


class ChromiumMissing(RuntimeError):
    pass


def find_chromium():
    for name in ('chromium', 'chromium-browser', 'google-chrome'):
        path = shutil.which(name)
        if path:
            return path
    raise ChromiumMissing('no chromium found (scripts/setup.sh installs it)')


class WebSocket:
    """A client websocket on a socket: text frames, masked as a client must."""

    def __init__(self, url, timeout=30):
        assert url.startswith('ws://')
        hostport, _, path = url[5:].partition('/')
        host, _, port = hostport.partition(':')
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(('GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
                           'Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n' % (path, hostport, key)).encode())
        head = b''
        while b'\r\n\r\n' not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError('websocket handshake failed')
            head += chunk
        status, _, rest = head.partition(b'\r\n\r\n')
        if b' 101 ' not in status.split(b'\r\n')[0]:
            raise ConnectionError('websocket handshake refused: %r' % status[:200])
        self.buf = rest

    def send(self, text):
        payload = text.encode('utf-8')
        n = len(payload)
        header = bytearray([0x81])
        if n < 126:
            header.append(0x80 | n)
        elif n < 65536:
            header.append(0x80 | 126)
            header += struct.pack('>H', n)
        else:
            header.append(0x80 | 127)
            header += struct.pack('>Q', n)
        mask = os.urandom(4)
        header += mask
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(bytes(header) + masked)

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError('websocket closed')
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def pending(self, timeout):
        if self.buf:
            return True
        r, _, _ = select.select([self.sock], [], [], timeout)
        return bool(r)

    def recv(self):
        message = b''
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack('>H', self._read(2))[0]
            elif n == 127:
                n = struct.unpack('>Q', self._read(8))[0]
            if b1 & 0x80:
                mask = self._read(4)
                data = bytes(b ^ mask[i % 4] for i, b in enumerate(self._read(n)))
            else:
                data = self._read(n)
            opcode = b0 & 0x0F
            if opcode == 8:
                raise ConnectionError('websocket closed by the browser')
            if opcode in (9, 10):
                continue
            message += data
            if b0 & 0x80:
                return message.decode('utf-8')

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Page:
    def __init__(self, ws_url):
        self.ws = WebSocket(ws_url)
        self.next_id = 0
        self.events = []
        self.send('Page.enable')
        self.send('Runtime.enable')
        self.send('Log.enable')
        self.send('Network.enable')

    def send(self, method, timeout=60, **params):
        self.next_id += 1
        my_id = self.next_id
        self.ws.send(json.dumps({'id': my_id, 'method': method, 'params': params}))
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not self.ws.pending(left):
                raise TimeoutError(method + ' did not answer')
            msg = json.loads(self.ws.recv())
            if msg.get('id') == my_id:
                if 'error' in msg:
                    raise RuntimeError('%s: %s' % (method, msg['error']))
                return msg.get('result', {})
            if 'method' in msg:
                self.events.append(msg)

    def pump(self, seconds):
        """Collects the events that come in during the given time."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not self.ws.pending(left):
                return
            msg = json.loads(self.ws.recv())
            if 'method' in msg:
                self.events.append(msg)

    def evaluate(self, expression, timeout=60):
        r = self.send('Runtime.evaluate', timeout=timeout, expression=expression, returnByValue=True,
                      awaitPromise=True)
        if 'exceptionDetails' in r:
            raise RuntimeError('page script failed: %s' % json.dumps(r['exceptionDetails'])[:2000])
        return r['result'].get('value')

    def navigate(self, url, timeout=60):
        self.events.clear()
        self.send('Page.navigate', url=url)
        deadline = time.monotonic() + timeout
        while not any(e['method'] == 'Page.loadEventFired' for e in self.events):
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError('the page did not load: ' + url)
            self.pump(min(left, 0.2))

    def wait_for(self, expression, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            if self.evaluate('!!(%s)' % expression):
                return
            if time.monotonic() > deadline:
                raise TimeoutError('never true: %s; page problems: %s' % (expression, self.problems()))
            self.pump(0.05)

    def click(self, x, y):
        for kind in ('mouseMoved', 'mousePressed', 'mouseReleased'):
            self.send('Input.dispatchMouseEvent', type=kind, x=x, y=y, button='left', clickCount=1)

    def key(self, key, code, key_code):
        for kind in ('keyDown', 'keyUp'):
            self.send('Input.dispatchKeyEvent', type=kind, key=key, code=code, windowsVirtualKeyCode=key_code)

    def requests(self):
        return [e['params']['request']['url'] for e in self.events if e['method'] == 'Network.requestWillBeSent']

    def problems(self):
        """Console errors and warnings, uncaught exceptions and log errors."""
        out = []
        for e in self.events:
            m, p = e['method'], e['params']
            if m == 'Runtime.exceptionThrown':
                out.append('exception: ' + json.dumps(p['exceptionDetails'])[:1000])
            elif m == 'Runtime.consoleAPICalled' and p['type'] in ('error', 'warning', 'assert'):
                out.append('console %s: %s' % (p['type'], json.dumps(p['args'])[:1000]))
            elif m == 'Log.entryAdded' and p['entry']['level'] in ('error', 'warning'):
                out.append('log %s: %s' % (p['entry']['level'], p['entry'].get('text', '')[:1000]))
        return out

    def close(self):
        self.ws.close()


class Chromium:
    FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--disable-default-apps', '--disable-extensions', '--mute-audio', '--hide-scrollbars']

    def __init__(self, width=1280, height=900):
        self.binary = find_chromium()
        self.profile = tempfile.mkdtemp(prefix='osm2trassel-chromium-')
        self.proc = subprocess.Popen(
            [self.binary] + self.FLAGS + ['--user-data-dir=' + self.profile, '--remote-debugging-port=0',
                                          '--window-size=%d,%d' % (width, height), 'about:blank'],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, 'DevToolsActivePort')
        deadline = time.monotonic() + 30
        while not (os.path.exists(port_file) and open(port_file).read().count('\n') >= 1):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError('chromium did not start')
            time.sleep(0.05)
        self.port = int(open(port_file).read().split('\n')[0])
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def page(self):
        deadline = time.monotonic() + 15
        while True:
            targets = json.loads(self.opener.open('http://127.0.0.1:%d/json/list' % self.port, timeout=10).read())
            pages = [t for t in targets if t.get('type') == 'page']
            if pages:
                return Page(pages[0]['webSocketDebuggerUrl'])
            if time.monotonic() > deadline:
                raise RuntimeError('chromium has no page')
            time.sleep(0.1)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
