"""httpwire - the HTTP/1.1 framing shared by the loopback test servers.

Both the signature-checking proxy and the fault server need to see requests
exactly as they arrived (raw target, header names in their own case, repeated
and folded headers kept), and to move bodies of any size without holding them
in memory. The standard library's http.server normalises too much for that, so
the little that is needed is done here by hand over plain or TLS sockets.

Texts are latin-1 throughout: every byte maps to one character and back, so
nothing is lost or re-encoded on the way through.
"""

import socket

MAX_HEAD_BYTES = 512 * 1024   # a request or response head larger than this is refused
COPY_CHUNK = 1024 * 1024      # bytes moved per recv/send when streaming a body


class WireError(Exception):
    """The peer broke the framing or went away in the middle of a message."""


class Head:
    """A parsed message head: the start line and the header fields in order.

    `fields` keeps (name, value) exactly as received: the name in its own case,
    the value as everything after the colon, folded continuation lines joined
    with their CRLF and leading blanks intact.
    """

    def __init__(self, start_line, fields, raw):
        self.start_line = start_line
        self.fields = fields
        self.raw = raw

    def get_all(self, name):
        lname = name.lower()
        return [v for (n, v) in self.fields if n.lower() == lname]

    def get(self, name, default=None):
        values = self.get_all(name)
        return values[0].strip(' \t') if values else default

    def has_token(self, name, token):
        token = token.lower()
        for value in self.get_all(name):
            for part in value.split(','):
                if part.strip(' \t').lower() == token:
                    return True
        return False


class Conn:
    """A buffered reader and writer over one connected (possibly TLS) socket."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()
        self.eof = False
        # Called once, just before the first bytes of a final answer (not
        # "100 Continue") go out; the caller sets it again for each request.
        self.before_answer = None

    def _fill(self, want=COPY_CHUNK):
        if self.eof:
            return False
        try:
            data = self.sock.recv(want)
        except (ConnectionError, OSError):
            data = b''
        if not data:
            self.eof = True
            return False
        self.buf += data
        return True

    def read_line(self, limit):
        """One line including its line feed; b'' at a clean end of stream."""
        while True:
            pos = self.buf.find(b'\n')
            if pos >= 0:
                line = bytes(self.buf[:pos + 1])
                del self.buf[:pos + 1]
                return line
            if len(self.buf) > limit:
                raise WireError('line too long')
            if not self._fill(65536):
                line = bytes(self.buf)
                self.buf.clear()
                return line

    def read_head(self):
        """Reads one message head; None when the peer closed before sending one."""
        raw = bytearray()
        line = self.read_line(MAX_HEAD_BYTES)
        # Tolerate stray empty lines between messages.
        while line in (b'\r\n', b'\n'):
            line = self.read_line(MAX_HEAD_BYTES)
        if not line:
            return None
        if not line.endswith(b'\n'):
            raise WireError('stream ended inside the start line')
        raw += line
        start_line = line.rstrip(b'\r\n').decode('latin-1')
        fields = []
        while True:
            line = self.read_line(MAX_HEAD_BYTES)
            if not line.endswith(b'\n'):
                raise WireError('stream ended inside the head')
            raw += line
            if len(raw) > MAX_HEAD_BYTES:
                raise WireError('head too large')
            if line in (b'\r\n', b'\n'):
                break
            text = line.decode('latin-1')
            if text[0] in ' \t' and fields:
                # Obsolete line folding: the continuation belongs to the last field.
                name, value = fields[-1]
                fields[-1] = (name, value + '\r\n' + text.rstrip('\r\n'))
                continue
            text = text.rstrip('\r\n')
            name, sep, value = text.partition(':')
            if not sep:
                raise WireError('header line without a colon')
            fields.append((name, value))
        return Head(start_line, fields, bytes(raw))

    def read_exact(self, n):
        while len(self.buf) < n:
            if not self._fill(max(n - len(self.buf), 65536)):
                raise WireError('stream ended early')
        data = bytes(self.buf[:n])
        del self.buf[:n]
        return data

    def read_some(self, n):
        """Up to n bytes, at least one; b'' at end of stream."""
        if not self.buf and not self._fill(min(n, COPY_CHUNK)):
            return b''
        take = min(n, len(self.buf))
        data = bytes(self.buf[:take])
        del self.buf[:take]
        return data

    def send(self, data):
        if self.before_answer is not None and not data.startswith(b'HTTP/1.1 100 '):
            hook, self.before_answer = self.before_answer, None
            hook()
        self.sock.sendall(data)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def body_kind(head, is_request, method=None, status=None):
    """How the body of a message is delimited: ('none'|'length'|'chunked'|'close', length)."""
    if not is_request:
        if method == 'HEAD' or status in (204, 304) or (status is not None and 100 <= status < 200):
            return ('none', 0)
    te = head.get_all('Transfer-Encoding')
    if te and any(v.strip(' \t') for v in te):
        if head.has_token('Transfer-Encoding', 'chunked'):
            return ('chunked', 0)
        return ('close', 0) if not is_request else ('none', 0)
    cl = head.get('Content-Length')
    if cl is not None:
        try:
            n = int(cl)
        except ValueError:
            raise WireError('bad Content-Length')
        if n < 0:
            raise WireError('bad Content-Length')
        return ('length', n)
    return ('none', 0) if is_request else ('close', 0)


def copy_body(src, kind, length, sink, on_bytes=None, payload=None):
    """Moves a body from `src` (Conn) to `sink(bytes)`, framing included for chunked.

    `on_bytes(n)` is told of every run of payload bytes, `payload(bytes)` is given
    them (without chunk framing). Returns the payload count.
    """
    total = 0
    if kind == 'none':
        return 0
    if kind == 'length':
        left = length
        while left > 0:
            data = src.read_some(min(left, COPY_CHUNK))
            if not data:
                raise WireError('body ended early')
            left -= len(data)
            total += len(data)
            if on_bytes:
                on_bytes(len(data))
            if payload:
                payload(data)
            sink(data)
        return total
    if kind == 'close':
        while True:
            data = src.read_some(COPY_CHUNK)
            if not data:
                return total
            total += len(data)
            if on_bytes:
                on_bytes(len(data))
            if payload:
                payload(data)
            sink(data)
    # chunked: pass the framing through, payload counted
    while True:
        line = src.read_line(4096)
        if not line.endswith(b'\n'):
            raise WireError('stream ended inside chunk size')
        sink(line)
        try:
            size = int(line.split(b';', 1)[0].strip(), 16)
        except ValueError:
            raise WireError('bad chunk size')
        if size == 0:
            # trailer fields, then the empty line
            while True:
                line = src.read_line(MAX_HEAD_BYTES)
                if not line.endswith(b'\n'):
                    raise WireError('stream ended inside trailer')
                sink(line)
                if line in (b'\r\n', b'\n'):
                    return total
        left = size
        while left > 0:
            data = src.read_some(min(left, COPY_CHUNK))
            if not data:
                raise WireError('chunk ended early')
            left -= len(data)
            total += len(data)
            if on_bytes:
                on_bytes(len(data))
            if payload:
                payload(data)
            sink(data)
        sink(src.read_exact(2))  # the CRLF after the chunk


def linger_close(conn, seconds=2.0):
    """Closes after our answer has been sent, draining what the peer still sends.

    Closing a socket with unread input makes the kernel send a reset, which can
    destroy the answer before the peer has read it.
    """
    try:
        conn.sock.settimeout(seconds)
        try:
            conn.sock.shutdown(socket.SHUT_WR)
        except (OSError, ValueError):
            pass
        while True:
            data = conn.sock.recv(65536)
            if not data:
                break
    except (OSError, ValueError):
        pass
    conn.close()


def response_head(status, reason, fields):
    lines = ['HTTP/1.1 %d %s' % (status, reason)]
    lines += ['%s: %s' % (n, v) for (n, v) in fields]
    return ('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1')


def xml_escape(text):
    return (text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')
            .replace('"', '&quot;'))
