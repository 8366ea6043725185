#!/usr/bin/env python3
"""sigproxy - a reverse proxy that checks S3 request signatures (version 2).

It stands between the client under test and a moto_server that does not check
signatures itself. For every request it recomputes the HMAC-SHA1 signature from
the request exactly as it arrived and, on a mismatch, answers 403 with the
store's SignatureDoesNotMatch error document instead of forwarding. Accepted
requests go to moto unchanged (method, raw target, headers, body) and moto's
answer comes back unchanged; bodies are streamed in both directions. Like every
store that follows RFC 3986, moto keeps a "+" in a path as a plus sign, so a
client that spells a space "+" is caught by the tests. moto's "Connection: close" is not passed on: the
client's connection stays open for its next request.

Usage: sigproxy.py --upstream HOST:PORT [--port N] [--tls CERT KEY]
                   [--access-key ID] [--secret-key SECRET]

The first line on stdout is the port it listens on (port 0 lets the system
choose); nothing else is ever written to stdout. Diagnostics go to stderr.

What is signed (the string to sign, one item per line):
  method, Content-MD5, Content-Type, Date (empty when x-amz-date is sent),
  then one "name:value" line per distinct x-amz- header (names lower-cased and
  sorted, values of repeated names joined by "," in the order received, folded
  lines unfolded by dropping the line break and the blanks around it, blanks
  around the value removed), then the canonical resource: "/bucket" when the
  bucket is named by the Host (virtual-host style), the raw path as received
  (not decoded), and the sub-resources of the query ("?acl", "?location", ...)
  sorted by name. Other query parameters are not signed.

Answers:
  missing or malformed Authorization, or a wrong signature: 403 SignatureDoesNotMatch
  (with StringToSign, SignatureProvided, StringToSignBytes, AWSAccessKeyId);
  an access key id other than ours: 403 InvalidAccessKeyId, as the store does.
  A request sent with "Expect: 100-continue" is answered "100 Continue" only
  after its signature is accepted; a rejected one gets the 403 at once and the
  connection is closed without reading the body.

Content-MD5 (checked once the signature is accepted; moto stores any digest):
  a value that is not the base64 of 16 bytes: 400 InvalidDigest at once, nothing
  forwarded (with "100-continue" the body is never asked for). Otherwise the body
  is read into a temporary file while its MD5 is computed; a body that does not
  match gets 400 BadDigest (with ExpectedDigest and CalculatedDigest) and nothing
  is forwarded, a matching one is forwarded from that file. Requests without
  Content-MD5 are streamed straight through. Both refusals count as rejected.

Control path (never signed, never counted, never forwarded):
  GET  /__harness__/counters  -> {"connections":N,"requests":N,"puts":N,"rejected":N}
  POST /__harness__/reset     -> counters back to zero
  GET  /__harness__/requests  -> the heads of the last requests seen, as JSON
"""

import argparse
import base64
import collections
import hashlib
import hmac
import json
import os
import socket
import ssl
import sys
import tempfile
import threading
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import httpwire  # noqa: E402

DEFAULT_ACCESS_KEY = 'AKIAHARNESSTEST00000'
DEFAULT_SECRET_KEY = 'hArNeSsTeStSeCrEt/0123456789+abcdefGHIJK'
CONTROL_PREFIX = '/__harness__/'
VIRTUAL_HOST_SUFFIXES = ('.localhost', '.s3.amazonaws.com')
REQUEST_LOG_SIZE = 200   # request heads kept for /__harness__/requests

# Query parameters that name a sub-resource and so belong to the signed resource.
SUB_RESOURCES = frozenset([
    'accelerate', 'acl', 'analytics', 'cors', 'delete', 'encryption', 'inventory',
    'legal-hold', 'lifecycle', 'location', 'logging', 'metrics', 'notification',
    'object-lock', 'partNumber', 'policy', 'replication', 'requestPayment',
    'response-cache-control', 'response-content-disposition',
    'response-content-encoding', 'response-content-language',
    'response-content-type', 'response-expires', 'restore', 'retention', 'select',
    'select-type', 'tagging', 'torrent', 'uploadId', 'uploads', 'versionId',
    'versioning', 'versions', 'website',
])


# ---------------------------------------------------------------- signing

def sign(secret_key, string_to_sign):
    """Base64 HMAC-SHA1 of the string to sign; both are latin-1 texts."""
    digest = hmac.new(secret_key.encode('latin-1'), string_to_sign.encode('latin-1'),
                      hashlib.sha1).digest()
    return base64.b64encode(digest).decode('ascii')


def _unfold(value):
    """A header value as signed: folds dropped with their blanks, outer blanks removed."""
    out = value
    while True:
        pos = out.find('\r\n')
        if pos < 0:
            break
        end = pos + 2
        while end < len(out) and out[end] in ' \t':
            end += 1
        start = pos
        while start > 0 and out[start - 1] in ' \t':
            start -= 1
        out = out[:start] + out[end:]
    return out.strip(' \t')


def canonical_amz_headers(fields):
    """The x-amz- lines of the string to sign from (name, value) pairs in received order."""
    grouped = collections.OrderedDict()
    for name, value in fields:
        lname = name.strip(' \t').lower()
        if lname.startswith('x-amz-'):
            grouped.setdefault(lname, []).append(_unfold(value))
    return ''.join('%s:%s\n' % (name, ','.join(grouped[name])) for name in sorted(grouped))


def split_target(target):
    """(raw path, raw query) of a request target; absolute-form targets lose their authority."""
    if target.startswith('http://') or target.startswith('https://'):
        rest = target.split('://', 1)[1]
        slash = rest.find('/')
        target = rest[slash:] if slash >= 0 else '/'
    path, sep, query = target.partition('?')
    return path, query


def bucket_from_host(host):
    """The bucket a Host header names in virtual-host style, or '' for path style.

    A numeric address or plain "localhost" names no bucket; "BUCKET.localhost"
    and "BUCKET.s3.amazonaws.com" name BUCKET; any other name is a bucket reached
    by its own DNS name.
    """
    if not host:
        return ''
    host = host.strip(' \t')
    if host.startswith('['):
        return ''
    name = host.rsplit(':', 1)[0] if host.count(':') == 1 else host
    name = name.lower()
    if name == 'localhost' or all(part.isdigit() for part in name.split('.')):
        return ''
    for suffix in VIRTUAL_HOST_SUFFIXES:
        if name.endswith(suffix):
            return name[:-len(suffix)]
    return name


def canonical_resource(target, host):
    path, query = split_target(target)
    bucket = bucket_from_host(host)
    resource = ('/' + bucket if bucket else '') + path
    subs = []
    if query:
        for item in query.split('&'):
            name, sep, value = item.partition('=')
            if name in SUB_RESOURCES:
                subs.append((name, item if sep else name))
    if subs:
        subs.sort(key=lambda pair: pair[0])
        resource += '?' + '&'.join(item for _, item in subs)
    return resource


def string_to_sign(method, target, fields):
    """The string to sign for a request as received."""
    def first(name):
        for n, v in fields:
            if n.strip(' \t').lower() == name:
                return _unfold(v)
        return ''

    has_amz_date = any(n.strip(' \t').lower() == 'x-amz-date' for n, _ in fields)
    date = '' if has_amz_date else first('date')
    return '\n'.join([method, first('content-md5'), first('content-type'), date,
                      canonical_amz_headers(fields) + canonical_resource(target, first('host'))])


def check_request(method, target, fields, access_key, secret_key):
    """None when the signature is right, else (code, message, extra detail pairs)."""
    sts = string_to_sign(method, target, fields)
    auths = [v.strip(' \t') for n, v in fields if n.strip(' \t').lower() == 'authorization']
    auth = auths[0] if len(auths) == 1 else ''
    provided = ''
    key_id = ''
    if auth.startswith('AWS ') and ':' in auth[4:]:
        key_id, _, provided = auth[4:].strip(' ').rpartition(':')
    if key_id and key_id != access_key:
        return ('InvalidAccessKeyId',
                'The AWS Access Key Id you provided does not exist in our records.',
                [('AWSAccessKeyId', key_id)])
    if key_id and provided and hmac.compare_digest(provided, sign(secret_key, sts)):
        return None
    return ('SignatureDoesNotMatch',
            'The request signature we calculated does not match the signature you provided. '
            'Check your key and signing method.',
            [('AWSAccessKeyId', key_id), ('StringToSign', sts),
             ('SignatureProvided', provided),
             ('StringToSignBytes', ' '.join('%02x' % b for b in sts.encode('latin-1')))])


def expected_digest(value):
    """The 16 bytes a Content-MD5 value names, or None when it is not their base64."""
    try:
        digest = base64.b64decode(value.encode('latin-1'), validate=True)
    except (ValueError, UnicodeEncodeError):
        return None
    return digest if len(digest) == 16 else None


def error_document(code, message, details, resource):
    request_id = uuid.uuid4().hex[:16].upper()
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<Error>',
             '<Code>%s</Code>' % httpwire.xml_escape(code),
             '<Message>%s</Message>' % httpwire.xml_escape(message)]
    parts += ['<%s>%s</%s>' % (n, httpwire.xml_escape(v), n) for n, v in details]
    parts += ['<Resource>%s</Resource>' % httpwire.xml_escape(resource),
              '<RequestId>%s</RequestId>' % request_id,
              '<HostId>%s</HostId>' % base64.b64encode(os.urandom(48)).decode('ascii'),
              '</Error>']
    return ''.join(parts).encode('utf-8'), request_id


# ---------------------------------------------------------------- proxy

class Counters:
    def __init__(self):
        self.lock = threading.Lock()
        self.values = dict(connections=0, requests=0, puts=0, rejected=0)
        self.log = collections.deque(maxlen=REQUEST_LOG_SIZE)

    def add(self, name, n=1):
        with self.lock:
            self.values[name] += n

    def record(self, method, target, fields, verdict):
        entry = dict(method=method, target=target, headers=[[n, v] for n, v in fields],
                     verdict=verdict)
        with self.lock:
            self.log.append(entry)
        return entry

    def set_verdict(self, entry, verdict):
        with self.lock:
            entry['verdict'] = verdict

    def snapshot(self):
        with self.lock:
            return dict(self.values)

    def reset(self):
        with self.lock:
            for name in self.values:
                self.values[name] = 0
            self.log.clear()


class Proxy:
    def __init__(self, args):
        self.upstream = args.upstream.rsplit(':', 1)
        self.upstream = (self.upstream[0], int(self.upstream[1]))
        self.access_key = args.access_key
        self.secret_key = args.secret_key
        self.counters = Counters()
        self.tls = None
        if args.tls:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(args.tls[0], args.tls[1])

    # --- control path

    def control(self, client, method, path, head):
        kind, length = httpwire.body_kind(head, True)
        httpwire.copy_body(client, kind, length, lambda data: None)
        status, body = 200, b''
        if method == 'GET' and path == CONTROL_PREFIX + 'counters':
            body = json.dumps(self.counters.snapshot()).encode()
        elif method == 'GET' and path == CONTROL_PREFIX + 'requests':
            with self.counters.lock:
                body = json.dumps(list(self.counters.log)).encode('utf-8')
        elif method == 'POST' and path == CONTROL_PREFIX + 'reset':
            self.counters.reset()
            body = b'{}'
        else:
            status, body = 404, b'{"error":"unknown control path"}'
        client.send(httpwire.response_head(status, 'OK' if status == 200 else 'Not Found', [
            ('Content-Type', 'application/json'), ('Content-Length', str(len(body)))]) + body)

    # --- one client connection

    def serve(self, sock):
        if self.tls is not None:
            try:
                sock.settimeout(30)
                sock = self.tls.wrap_socket(sock, server_side=True)
                sock.settimeout(None)
            except (ssl.SSLError, OSError) as e:
                print('sigproxy: TLS handshake failed: %s' % e, file=sys.stderr)
                sock.close()
                return
        client = httpwire.Conn(sock)
        counted = False
        try:
            while True:
                head = client.read_head()
                if head is None:
                    break
                parts = head.start_line.split(' ')
                if len(parts) != 3:
                    raise httpwire.WireError('bad request line %r' % head.start_line)
                method, target, version = parts
                path, _ = split_target(target)
                if path.startswith(CONTROL_PREFIX):
                    self.control(client, method, path, head)
                    continue
                if not counted:
                    counted = True
                    self.counters.add('connections')
                self.counters.add('requests')
                if method == 'PUT':
                    self.counters.add('puts')
                keep_alive = version == 'HTTP/1.1' and not head.has_token('Connection', 'close')
                if not self.one_request(client, method, target, head) or not keep_alive:
                    break
        except httpwire.WireError as e:
            print('sigproxy: %s' % e, file=sys.stderr)
        except (ConnectionError, OSError) as e:
            print('sigproxy: connection: %s' % e, file=sys.stderr)
        finally:
            client.close()

    def refuse(self, client, head, target, status, reason, verdict, body_read=False):
        """Answers with the error document; False when the connection must end.

        A body the client has not sent yet because it waits for "100 Continue" is
        never asked for: the connection is closed after the answer instead.
        """
        self.counters.add('rejected')
        code, message, details = verdict
        body, request_id = error_document(code, message, details, split_target(target)[0])
        kind, length = httpwire.body_kind(head, True)
        fields = [('x-amz-request-id', request_id), ('Content-Type', 'application/xml'),
                  ('Content-Length', str(len(body)))]
        if body_read:
            kind = 'none'
        if head.has_token('Expect', '100-continue') and kind != 'none':
            client.send(httpwire.response_head(status, reason,
                                               fields + [('Connection', 'close')]) + body)
            httpwire.linger_close(client)
            return False
        httpwire.copy_body(client, kind, length, lambda data: None)
        client.send(httpwire.response_head(status, reason, fields) + body)
        return True

    def one_request(self, client, method, target, head):
        """Checks and forwards one request; False when the client connection must end."""
        verdict = check_request(method, target, head.fields, self.access_key, self.secret_key)
        entry = self.counters.record(method, target, head.fields,
                                     'accepted' if verdict is None else verdict[0])
        if verdict is not None:
            return self.refuse(client, head, target, 403, 'Forbidden', verdict)

        md5_fields = [v for n, v in head.fields if n.strip(' \t').lower() == 'content-md5']
        if md5_fields:
            return self.digest_checked(client, method, target, head, entry,
                                       _unfold(md5_fields[0]))

        kind, length = httpwire.body_kind(head, True)
        up = self.connect_upstream(client)
        if up is None:
            return False
        if head.has_token('Expect', '100-continue') and kind != 'none':
            client.send(b'HTTP/1.1 100 Continue\r\n\r\n')
        return self.forward(client, up, method, target, head,
                            lambda sink: httpwire.copy_body(client, kind, length, sink))

    def digest_checked(self, client, method, target, head, entry, md5_value):
        """A request that carries Content-MD5: the body is read whole into a spool
        file while its digest is computed, and only a body that matches the digest
        is forwarded, from the spool; the store would otherwise keep bytes that the
        client did not mean to send."""
        expected = expected_digest(md5_value)
        if expected is None:
            self.counters.set_verdict(entry, 'InvalidDigest')
            return self.refuse(client, head, target, 400, 'Bad Request', (
                'InvalidDigest', 'The Content-MD5 you specified was invalid.',
                [('Content-MD5', md5_value)]))

        kind, length = httpwire.body_kind(head, True)
        if head.has_token('Expect', '100-continue') and kind != 'none':
            client.send(b'HTTP/1.1 100 Continue\r\n\r\n')
        with tempfile.TemporaryFile(prefix='sigproxy-body-') as spool:
            digest = hashlib.md5()
            # Chunked framing is kept in the spool so the body goes on exactly as it
            # came; the digest covers the payload only.
            httpwire.copy_body(client, kind, length, spool.write, payload=digest.update)
            if digest.digest() != expected:
                self.counters.set_verdict(entry, 'BadDigest')
                return self.refuse(client, head, target, 400, 'Bad Request', (
                    'BadDigest', 'The Content-MD5 you specified did not match what was received.',
                    [('ExpectedDigest', md5_value),
                     ('CalculatedDigest', base64.b64encode(digest.digest()).decode('ascii'))]),
                    body_read=True)
            up = self.connect_upstream(client)
            if up is None:
                return False

            def replay(sink):
                spool.seek(0)
                while True:
                    data = spool.read(httpwire.COPY_CHUNK)
                    if not data:
                        break
                    sink(data)
            return self.forward(client, up, method, target, head, replay)

    def connect_upstream(self, client):
        """A fresh connection to moto, or None after telling the client it failed."""
        # moto closes after every answer, so each request gets its own upstream connection.
        try:
            up = httpwire.Conn(socket.create_connection(self.upstream, timeout=None))
        except OSError as e:
            body = ('sigproxy: cannot reach the store behind it: %s\n' % e).encode()
            client.send(httpwire.response_head(502, 'Bad Gateway', [
                ('Content-Type', 'text/plain'), ('Content-Length', str(len(body))),
                ('Connection', 'close')]) + body)
            httpwire.linger_close(client)
            return None
        up.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return up

    def forward(self, client, up, method, target, head, send_body):
        """Sends the request to moto with the body `send_body(sink)` gives, and moto's
        answer back to the client; False when the client connection must end."""
        try:
            # The interim answer has been given here already; moto must not give another.
            fields = [(n, v) for n, v in head.fields if n.strip(' \t').lower() != 'expect']
            # moto reads a signature holding exactly four "/" as a version 4 credential
            # scope and answers 500; the signature has been checked here, so moto gets
            # the key id with a fixed signature instead.
            fields = [(n, ' AWS %s:checked' % self.access_key)
                      if n.strip(' \t').lower() == 'authorization' else (n, v)
                      for n, v in fields]
            lines = ['%s %s %s' % (method, target, head.start_line.split(' ')[2])]
            lines += ['%s:%s' % (n, v) for n, v in fields]
            upstream_open = [True]

            def to_upstream(data):
                # moto may answer and hang up before it has read a body it does not
                # want; the rest of the body is then read and dropped so that the
                # answer still reaches the client.
                if upstream_open[0]:
                    try:
                        up.send(data)
                    except OSError:
                        upstream_open[0] = False

            to_upstream(('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1'))
            send_body(to_upstream)

            while True:
                rhead = up.read_head()
                if rhead is None:
                    raise httpwire.WireError('upstream closed without an answer')
                status = int(rhead.start_line.split(' ')[1])
                if status >= 200:
                    break
            rkind, rlength = httpwire.body_kind(rhead, False, method, status)
            # moto's "Connection: close" speaks for its own connection only; the
            # client's stays open unless the answer's end is only known by closing.
            fields = [(n, v) for n, v in rhead.fields if n.strip(' \t').lower() != 'connection']
            if rkind == 'close':
                fields.append(('Connection', ' close'))
            lines = [rhead.start_line] + ['%s:%s' % (n, v) for n, v in fields]
            client.send(('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1'))
            httpwire.copy_body(up, rkind, rlength, client.send)
            return rkind != 'close'
        finally:
            up.close()

    def run(self, port):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(('127.0.0.1', port))
        listener.listen(128)
        sys.stdout.write('%d\n' % listener.getsockname()[1])
        sys.stdout.flush()
        while True:
            sock, _ = listener.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self.serve, args=(sock,), daemon=True).start()


def main():
    parser = argparse.ArgumentParser(description='S3 signature-checking reverse proxy')
    parser.add_argument('--upstream', required=True, help='HOST:PORT of moto_server')
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--tls', nargs=2, metavar=('CERT', 'KEY'))
    parser.add_argument('--access-key', default=DEFAULT_ACCESS_KEY)
    parser.add_argument('--secret-key', default=DEFAULT_SECRET_KEY)
    args = parser.parse_args()
    Proxy(args).run(args.port)


if __name__ == '__main__':
    main()
