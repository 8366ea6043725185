#!/usr/bin/env python3
"""faultserver - an HTTP server that misbehaves in one scripted way.

Usage: faultserver.py MODE

The first line on stdout is "PORT CONTROLPORT": the port the client under test
talks to, and a second, well-behaved port for the test itself:
  GET  /__harness__/counters on CONTROLPORT -> {"requests":N,"body_bytes":N}
  POST /__harness__/reset                   -> both back to 0
`requests` counts request heads read completely; `body_bytes` counts request
body bytes read, in all. Nothing else is written to stdout.

Unless a mode says otherwise, every request is answered the same way, whatever
its method and target: the server reads the head, answers "100 Continue" when
the request asks for it and has a body, reads the whole body, then answers as
the mode says and keeps the connection open for the next request. A HEAD
request gets the same status and headers, without the body.

Modes:
  continue-only   "100 Continue" (whether asked for or not), reads the body,
                  then closes without any final answer.
  notfound-empty  404 with Content-Length: 0 and no body.
  plain-error     500, Content-Type text/plain, body "Internal failure: the
                  back end is not answering\\n" (not XML).
  many-details    403 error document, in this order: Code AccessDenied;
                  Message "Access Denied"; Resource /bucket/key;
                  FurtherDetails of 1500 "f"; RequestId 4442587FB7D0A2F9;
                  HostId "host-id-of-the-fault-server"; Repeat "first" then
                  Repeat "second" (consecutive); Details holding Item "one" and
                  Item "two" (with whitespace between them); LongValue of 3000
                  "v"; Extra01 to Extra12 with values value01 to value12.
  truncated       200 with Content-Length: 100000 and ETag, sends 1000 bytes of
                  "x", then closes.
  silent          accepts connections and never reads from them or answers; they
                  stay open until the client gives up or the server is stopped.
  odd-headers     200 with the header lines, in this order:
                    "x-amz-request-id: odd-request-id"
                    "etag: \\"0123456789abcdef0123456789abcdef\\"  " (trailing blanks)
                    "content-type: text/odd"
                    "x-amz-meta-Foo: bar"
                    "Content: not-a-known-header"
                    "X:" (one-letter name, empty value)
                    "x-amz-meta-empty:" (empty value)
                    "Server:    spaced-server   "
                    "CONTENT-LENGTH: 17"
                  and the body "odd headers body\\n" (17 bytes).
  big-headers     200 with a Content-Type of 700 bytes ("text/" and "x"s), an
                  x-amz-request-id of 300 "r", x-amz-meta-big with a value of 8192
                  "b", x-amz-meta-h000 to x-amz-meta-h199 (value "value-NNN", 200
                  headers), ETag "\\"feedfacefeedfacefeedfacefeedface\\"", and
                  the body "big headers\\n".
  no-continue     never sends "100 Continue" even when asked; reads the whole
                  body (which the client sends when it stops waiting), then
                  answers 200 with ETag "\\"<MD5 of the body>\\"" and no body; a PUT
                  with x-amz-copy-source is answered with a CopyObjectResult
                  document (ETag of the empty body's MD5, LastModified
                  2026-01-02T03:04:05.000Z); any other method gets 200 with the
                  body "no-continue\\n".
  early-continue  sends "100 Continue" as soon as a request with "Expect:
                  100-continue" has arrived, even when it has no body (a copy),
                  reads the body, waits 0.3 s (so that the client has asked for
                  body bytes, and seen the 100, before the final answer comes),
                  then answers like no-continue, except that a request other than
                  a PUT gets the body "early-continue\n".
  status:NNN[:FILE]
                  answers status NNN; with FILE (absolute, or relative to the
                  harness data folder) its content is the body, typed
                  application/xml when it starts with "<", else text/plain;
                  without FILE an empty body. No Location header is sent.
  redirect:NNN    a target not under /__moved__ is answered NNN with
                  "Location: http://127.0.0.1:PORT/__moved__<target>" and an
                  empty body; a target under /__moved__ gets 200 with ETag
                  "\\"<MD5 of the body read>\\"" and the body "moved\\n".
  malformed-xml   200 application/xml with a listing document that breaks off
                  inside an element: "<ListBucketResult ...><Name>bucket</Name>
                  <Contents><Key>a</Key><Size>1</Size></Contents" (see LISTING).
  listing-cut     200 application/xml without Content-Length ("Connection:
                  close"), the LISTING's first 2 complete objects and then half
                  of a third, and closes: the cut is invisible to HTTP.
  cut-puts        a GET is answered 200 with an empty ListBucketResult and
                  "Connection: close"; a PUT's connection is closed as soon
                  as its head has been read (no answer), as a store that
                  drops every upload does.
  drop-reused     the first request of each connection is answered 200 with
                  ETag "\"<MD5 of the body>\"" and no body; every later request
                  on the same connection is read whole (head and body) and the
                  connection is then closed without an answer, as a store that
                  times out kept connections does just as a request arrives.
  plain-greeting  answers every connection at once, before reading anything,
                  with "400 Bad Request" (Content-Length: 0, Connection: close)
                  in plain HTTP and closes it: what a TLS client that reached a
                  plain-HTTP server reads in place of the server's hello.
  trickle         200 application/octet-stream with Content-Length: 1000000,
                  then one byte every TRICKLE_PAUSE seconds (0.2) until the
                  client goes away: a transfer that never ends.
  held-listing    every request waits until the test releases it (POST
                  /__harness__/release on CONTROLPORT, or HELD_LISTING_LIMIT
                  seconds, 10), then gets 200 with an empty listing: a listing
                  held back for as long as the test needs.
  error-doc:CODE[:STATUS]
                  an error document with that Code, Message "Provoked CODE",
                  Resource (the request's path), RequestId, HostId; the status is
                  STATUS if given, else the one the store uses for CODE (404
                  NoSuchKey/NoSuchBucket, 409 BucketNotEmpty and its kind, 400
                  bad requests, 500 InternalError, 503 SlowDown, 301
                  PermanentRedirect, 307 TemporaryRedirect, ... 403 otherwise).
"""

import hashlib
import json
import os
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import httpwire  # noqa: E402

DATA_DIR = os.path.join(HERE, 'data')
LISTING = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
           b'<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">'
           b'<Name>bucket</Name><Prefix></Prefix><Marker></Marker><MaxKeys>1000</MaxKeys>'
           b'<IsTruncated>false</IsTruncated><Contents><Key>a</Key><Size>1</Size></Contents')
CUT_LISTING = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
               b'<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">'
               b'<Name>bucket</Name><IsTruncated>false</IsTruncated>'
               b'<Contents><Key>a</Key><ETag>"x"</ETag><Size>1</Size></Contents>'
               b'<Contents><Key>b</Key><ETag>"y"</ETag><Size>2</Size></Contents>'
               b'<Contents><Key>c</Key><ET')
EMPTY_LISTING = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
                 b'<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">'
                 b'<Name>bucket</Name><IsTruncated>false</IsTruncated></ListBucketResult>')
HELD_LISTING_LIMIT = 10  # seconds held-listing waits for the release at most
RELEASED = threading.Event()
TRICKLE_PAUSE = 0.2  # seconds between the bytes of trickle
REQUEST_ID = '4442587FB7D0A2F9'
EARLY_CONTINUE_PAUSE = 0.3   # seconds between the body and the answer in early-continue
HOST_ID = 'host-id-of-the-fault-server'

# The HTTP status the store gives with each error code (others: 403).
CODE_STATUS = {
    'NoSuchKey': 404, 'NoSuchBucket': 404, 'NoSuchUpload': 404, 'NoSuchVersion': 404,
    'NoLoggingStatusForKey': 400,
    'BucketAlreadyExists': 409, 'BucketAlreadyOwnedByYou': 409, 'BucketNotEmpty': 409,
    'OperationAborted': 409, 'InvalidBucketState': 409,
    'BadDigest': 400, 'CredentialsNotSupported': 400, 'EntityTooSmall': 400,
    'EntityTooLarge': 400, 'ExpiredToken': 400, 'IncompleteBody': 400,
    'IncorrectNumberOfFilesInPostRequest': 400, 'InlineDataTooLarge': 400,
    'InvalidArgument': 400, 'InvalidBucketName': 400, 'InvalidDigest': 400,
    'InvalidLocationConstraint': 400, 'InvalidPolicyDocument': 400,
    'InvalidSOAPRequest': 400, 'InvalidStorageClass': 400,
    'InvalidTargetBucketForLogging': 400, 'InvalidToken': 400, 'InvalidURI': 400,
    'KeyTooLong': 400, 'MalformedACLError': 400, 'MalformedXML': 400,
    'MaxMessageLengthExceeded': 400, 'MaxPostPreDataLengthExceededError': 400,
    'MetadataTooLarge': 400, 'MissingAttachment': 400, 'MissingSecurityElement': 400,
    'MissingSecurityHeader': 400, 'RequestIsNotMultiPartContent': 400,
    'RequestTimeout': 400, 'RequestTorrentOfBucketError': 400,
    'TokenRefreshRequired': 400, 'TooManyBuckets': 400, 'UnexpectedContent': 400,
    'UnresolvableGrantByEmailAddress': 400, 'UserKeyMustBeSpecified': 400,
    'AmbiguousGrantByEmailAddress': 400, 'InvalidAddressingHeader': 400,
    'InternalError': 500, 'NotImplemented': 501, 'SlowDown': 503,
    'PermanentRedirect': 301, 'Redirect': 307, 'TemporaryRedirect': 307,
    'MethodNotAllowed': 405, 'MissingContentLength': 411, 'PreconditionFailed': 412,
    'InvalidRange': 416,
}
REASONS = {100: 'Continue', 200: 'OK', 301: 'Moved Permanently', 302: 'Found',
           307: 'Temporary Redirect', 400: 'Bad Request', 403: 'Forbidden',
           404: 'Not Found', 405: 'Method Not Allowed', 409: 'Conflict',
           411: 'Length Required', 412: 'Precondition Failed',
           416: 'Requested Range Not Satisfiable', 500: 'Internal Server Error',
           501: 'Not Implemented', 503: 'Service Unavailable'}


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = 0
        self.body_bytes = 0

    def add_request(self):
        with self.lock:
            self.requests += 1

    def add_bytes(self, n):
        with self.lock:
            self.body_bytes += n

    def json(self):
        with self.lock:
            return json.dumps(dict(requests=self.requests, body_bytes=self.body_bytes))

    def reset(self):
        with self.lock:
            self.requests = 0
            self.body_bytes = 0


COUNTS = Counts()
HELD = []   # the connections of the silent mode, kept open on purpose


def error_document(code, message, resource, extra=''):
    esc = httpwire.xml_escape
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>%s</Code><Message>%s</Message>'
            '<Resource>%s</Resource><RequestId>%s</RequestId><HostId>%s</HostId>%s</Error>'
            % (esc(code), esc(message), esc(resource), REQUEST_ID, HOST_ID, extra)).encode()


def many_details_document():
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<Error>',
             '<Code>AccessDenied</Code><Message>Access Denied</Message>',
             '<Resource>/bucket/key</Resource>',
             '<FurtherDetails>%s</FurtherDetails>' % ('f' * 1500),
             '<RequestId>%s</RequestId><HostId>%s</HostId>' % (REQUEST_ID, HOST_ID),
             '<Repeat>first</Repeat><Repeat>second</Repeat>',
             '<Details>\n  <Item>one</Item>\n  <Item>two</Item>\n</Details>',
             '<LongValue>%s</LongValue>' % ('v' * 3000)]
    parts += ['<Extra%02d>value%02d</Extra%02d>' % (i, i, i) for i in range(1, 13)]
    parts.append('</Error>')
    return ''.join(parts).encode()


class Server:
    def __init__(self, mode):
        self.mode = mode
        self.port = 0
        name, _, arg = mode.partition(':')
        self.name, self.arg = name, arg
        known = ('continue-only', 'notfound-empty', 'plain-error', 'many-details', 'truncated',
                 'silent', 'odd-headers', 'big-headers', 'no-continue', 'early-continue',
                 'status', 'redirect',
                 'malformed-xml', 'error-doc', 'listing-cut', 'trickle', 'cut-puts',
                 'drop-reused', 'plain-greeting', 'held-listing')
        if name not in known:
            raise SystemExit('faultserver: unknown mode %r' % mode)
        if name in ('status', 'redirect'):
            status = arg.split(':', 1)[0]
            if not status.isdigit():
                raise SystemExit('faultserver: %s needs a status number' % name)
        if name == 'error-doc' and not arg:
            raise SystemExit('faultserver: error-doc needs a code')
        self.canned = None
        if name == 'status' and ':' in arg:
            path = arg.split(':', 1)[1]
            if not os.path.isabs(path):
                path = os.path.join(DATA_DIR, path)
            with open(path, 'rb') as f:
                self.canned = f.read()

    # --- one connection

    def serve(self, sock):
        if self.name == 'silent':
            HELD.append(sock)
            return
        conn = httpwire.Conn(sock)
        if self.name == 'plain-greeting':
            try:
                conn.send(b'HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n'
                          b'Connection: close\r\n\r\n')
                httpwire.linger_close(conn)
            except OSError as e:
                print('faultserver: %s' % e, file=sys.stderr)
            return
        try:
            while True:
                head = conn.read_head()
                if head is None:
                    break
                COUNTS.add_request()
                parts = head.start_line.split(' ')
                if len(parts) != 3:
                    break
                method, target, _ = parts
                if not self.one_request(conn, head, method, target):
                    return
        except (httpwire.WireError, OSError) as e:
            print('faultserver: %s' % e, file=sys.stderr)
        conn.close()

    def read_body(self, conn, head, send_continue):
        kind, length = httpwire.body_kind(head, True)
        if send_continue and kind != 'none' and head.has_token('Expect', '100-continue'):
            conn.send(b'HTTP/1.1 100 Continue\r\n\r\n')
        md5 = hashlib.md5()
        httpwire.copy_body(conn, kind, length, md5.update, COUNTS.add_bytes)
        return md5.hexdigest()

    def answer(self, conn, method, status, fields, body, content_type=None):
        fields = list(fields)
        if content_type is not None:
            fields.append(('Content-Type', content_type))
        fields.append(('Content-Length', str(len(body))))
        out = httpwire.response_head(status, REASONS.get(status, 'Status'), fields)
        conn.send(out if method == 'HEAD' else out + body)

    def one_request(self, conn, head, method, target):
        """Answers one request; False when the connection has been closed."""
        name, arg = self.name, self.arg
        ids = [('x-amz-request-id', REQUEST_ID), ('x-amz-id-2', HOST_ID)]
        path = target.split('?', 1)[0]

        if name == 'continue-only':
            kind, length = httpwire.body_kind(head, True)
            conn.send(b'HTTP/1.1 100 Continue\r\n\r\n')
            httpwire.copy_body(conn, kind, length, lambda data: None, COUNTS.add_bytes)
            httpwire.linger_close(conn)
            return False

        if name in ('no-continue', 'early-continue'):
            if name == 'early-continue' and head.has_token('Expect', '100-continue'):
                conn.send(b'HTTP/1.1 100 Continue\r\n\r\n')
            digest = self.read_body(conn, head, send_continue=False)
            if name == 'early-continue':
                time.sleep(EARLY_CONTINUE_PAUSE)
            if method == 'PUT' and head.get('x-amz-copy-source') is not None:
                body = ('<?xml version="1.0" encoding="UTF-8"?>\n<CopyObjectResult>'
                        '<LastModified>2026-01-02T03:04:05.000Z</LastModified>'
                        '<ETag>"%s"</ETag></CopyObjectResult>' % hashlib.md5(b'').hexdigest())
                self.answer(conn, method, 200, ids, body.encode(), 'application/xml')
            elif method == 'PUT':
                self.answer(conn, method, 200, ids + [('ETag', '"%s"' % digest)], b'')
            else:
                self.answer(conn, method, 200, ids, ('%s\n' % name).encode(), 'text/plain')
            return True

        if name == 'cut-puts':
            if method == 'PUT':
                conn.close()
                return False
            body = ('<?xml version="1.0" encoding="UTF-8"?>\n<ListBucketResult>'
                    '<Name>bucket</Name><Prefix></Prefix><Marker></Marker>'
                    '<MaxKeys>990</MaxKeys><IsTruncated>false</IsTruncated>'
                    '</ListBucketResult>').encode()
            self.read_body(conn, head, send_continue=False)
            # Closed after the listing: every upload then goes out on a new
            # connection, which the client never tries again by itself.
            self.answer(conn, method, 200, ids + [('Connection', 'close')], body, 'application/xml')
            return False

        digest = self.read_body(conn, head, send_continue=True)

        if name == 'drop-reused':
            served = getattr(conn, 'served', 0)
            conn.served = served + 1
            if served:
                httpwire.linger_close(conn)
                return False
            self.answer(conn, method, 200, ids + [('ETag', '"%s"' % digest)], b'')
            return True

        if name == 'notfound-empty':
            self.answer(conn, method, 404, ids, b'')
        elif name == 'plain-error':
            self.answer(conn, method, 500, ids,
                        b'Internal failure: the back end is not answering\n', 'text/plain')
        elif name == 'many-details':
            self.answer(conn, method, 403, ids, many_details_document(), 'application/xml')
        elif name == 'truncated':
            out = httpwire.response_head(200, 'OK', ids + [
                ('ETag', '"%s"' % ('0' * 32)), ('Content-Type', 'application/octet-stream'),
                ('Content-Length', '100000')])
            conn.send(out if method == 'HEAD' else out + b'x' * 1000)
            httpwire.linger_close(conn)
            return False
        elif name == 'odd-headers':
            body = b'odd headers body\n'
            lines = [b'HTTP/1.1 200 OK',
                     b'x-amz-request-id: odd-request-id',
                     b'etag: "0123456789abcdef0123456789abcdef"  ',
                     b'content-type: text/odd',
                     b'x-amz-meta-Foo: bar',
                     b'Content: not-a-known-header',
                     b'X:',
                     b'x-amz-meta-empty:',
                     b'Server:    spaced-server   ',
                     b'CONTENT-LENGTH: %d' % len(body)]
            out = b'\r\n'.join(lines) + b'\r\n\r\n'
            conn.send(out if method == 'HEAD' else out + body)
        elif name == 'big-headers':
            fields = [('x-amz-request-id', 'r' * 300), ('x-amz-meta-big', 'b' * 8192)]
            fields += [('x-amz-meta-h%03d' % i, 'value-%03d' % i) for i in range(200)]
            fields.append(('ETag', '"feedfacefeedfacefeedfacefeedface"'))
            self.answer(conn, method, 200, fields, b'big headers\n', 'text/' + 'x' * 695)
        elif name == 'status':
            status = int(arg.split(':', 1)[0])
            body = self.canned or b''
            ctype = None
            if self.canned is not None:
                ctype = 'application/xml' if body.lstrip().startswith(b'<') else 'text/plain'
            self.answer(conn, method, status, ids, body, ctype)
        elif name == 'redirect':
            if path.startswith('/__moved__'):
                self.answer(conn, method, 200, ids + [('ETag', '"%s"' % digest)], b'moved\n',
                            'text/plain')
            else:
                location = 'http://127.0.0.1:%d/__moved__%s' % (self.port, target)
                self.answer(conn, method, int(arg), ids + [('Location', location)], b'')
        elif name == 'malformed-xml':
            self.answer(conn, method, 200, ids, LISTING, 'application/xml')
        elif name == 'listing-cut':
            out = httpwire.response_head(200, 'OK', ids + [
                ('Content-Type', 'application/xml'), ('Connection', 'close')])
            conn.send(out if method == 'HEAD' else out + CUT_LISTING)
            httpwire.linger_close(conn)
            return False
        elif name == 'trickle':
            out = httpwire.response_head(200, 'OK', ids + [
                ('Content-Type', 'application/octet-stream'), ('Content-Length', '1000000')])
            conn.send(out)
            if method != 'HEAD':
                while True:
                    time.sleep(TRICKLE_PAUSE)
                    conn.send(b'x')
            return True
        elif name == 'held-listing':
            self.read_body(conn, head, True)
            RELEASED.wait(HELD_LISTING_LIMIT)
            self.answer(conn, method, 200, ids, EMPTY_LISTING, 'application/xml')
        elif name == 'error-doc':
            code, _, status = arg.partition(':')
            status = int(status) if status else CODE_STATUS.get(code, 403)
            self.answer(conn, method, status, ids,
                        error_document(code, 'Provoked ' + code, path), 'application/xml')
        return True

    # --- control port

    def control(self, sock):
        conn = httpwire.Conn(sock)
        try:
            while True:
                head = conn.read_head()
                if head is None:
                    break
                method, target, _ = head.start_line.split(' ')
                kind, length = httpwire.body_kind(head, True)
                httpwire.copy_body(conn, kind, length, lambda data: None)
                if method == 'POST' and target == '/__harness__/release':
                    RELEASED.set()
                    body, status = b'{}', 200
                elif method == 'POST' and target == '/__harness__/reset':
                    COUNTS.reset()
                    body, status = b'{}', 200
                elif target == '/__harness__/counters':
                    body, status = COUNTS.json().encode(), 200
                else:
                    body, status = b'{}', 404
                self.answer(conn, method, status, [], body, 'application/json')
        except (httpwire.WireError, OSError, ValueError) as e:
            print('faultserver control: %s' % e, file=sys.stderr)
        conn.close()


def listen():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(('127.0.0.1', 0))
    s.listen(128)
    return s


def accept_loop(listener, handler):
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=handler, args=(sock,), daemon=True).start()


def main():
    if len(sys.argv) != 2:
        raise SystemExit('usage: faultserver.py MODE')
    server = Server(sys.argv[1])
    main_listener, control_listener = listen(), listen()
    server.port = main_listener.getsockname()[1]
    threading.Thread(target=accept_loop, args=(control_listener, server.control),
                     daemon=True).start()
    sys.stdout.write('%d %d\n' % (server.port, control_listener.getsockname()[1]))
    sys.stdout.flush()
    accept_loop(main_listener, server.serve)


if __name__ == '__main__':
    main()
