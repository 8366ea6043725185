#!/usr/bin/env python3
"""sigproxy - a reverse proxy that checks S3 request signatures (versions 2 and 4).

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
                   [--access-key ID] [--secret-key SECRET] [--region R]
                   [--refuse-v2] [--acls-disabled] [--storage-classes A,B,...]
                   [--storage-class-not-implemented] [--redirect-endpoint HOST]
                   [--slow-down-puts N] [--drop-mid-body-key KEY [--drop-mid-body-tries N]]
                   [--gateway-first-tries] [--blip-after-puts N [--blip-ms MS]]
                   [--session-token TOKEN]
                   [--opaque-etags]

The first line on stdout is the port it listens on (port 0 lets the system
choose); nothing else is ever written to stdout. Diagnostics go to stderr.

What is signed, version 2 (the string to sign, one item per line):
  method, Content-MD5, Content-Type, Date (empty when x-amz-date is sent),
  then one "name:value" line per distinct x-amz- header (names lower-cased and
  sorted, values of repeated names joined by "," in the order received, folded
  lines unfolded by dropping the line break and the blanks around it, blanks
  around the value removed), then the canonical resource: "/bucket" when the
  bucket is named by the Host (virtual-host style), the raw path as received
  (not decoded), and the sub-resources of the query ("?acl", "?location", ...)
  sorted by name. Other query parameters are not signed.

What is signed, version 4 ("Authorization: AWS4-HMAC-SHA256 Credential=ID/DATE/
REGION/s3/aws4_request, SignedHeaders=..., Signature=..." or the same in the
X-Amz-* query parameters of a pre-signed URL), the canonical request:
  method; the path as received (already encoded once by the client: kept as it
  is, not decoded, no "." or ".." resolved; only bytes a client may not send raw
  are encoded); the query, every name and value decoded and encoded again, sorted
  (a pre-signed URL's X-Amz-Signature left out); one "name:value" line per signed
  header (values trimmed, inner runs of blanks squeezed to one, repeats joined by
  ","); the signed header names; the payload hash (x-amz-content-sha256, or
  UNSIGNED-PAYLOAD for a pre-signed URL). Every x-amz- header sent must be signed.
  The payload hash is held against the body unless it is UNSIGNED-PAYLOAD; the
  aws-chunked bodies of STREAMING-UNSIGNED-PAYLOAD-TRAILER (the checksum in the
  trailer checked) and STREAMING-AWS4-HMAC-SHA256-PAYLOAD (every chunk signature
  checked) are decoded, and moto gets the object's own bytes.

Answers:
  missing or malformed Authorization, or a wrong signature: 403 SignatureDoesNotMatch
  (with StringToSign, SignatureProvided, StringToSignBytes, AWSAccessKeyId, and
  for version 4 CanonicalRequest and CanonicalRequestBytes);
  an access key id other than ours: 403 InvalidAccessKeyId, as the store does;
  a version 4 credential for another region: 400 AuthorizationHeaderMalformed
  (AuthorizationQueryParametersError for a pre-signed URL) naming ours in <Region>;
  a body whose SHA-256 is not its x-amz-content-sha256: 400 XAmzContentSHA256Mismatch;
  a pre-signed URL past its expiry: 403 AccessDenied "Request has expired".

Session tokens (checked once the signature is accepted; a token is an x-amz- header,
so version 4 must sign it like any other, and version 2 signs every one):
  --session-token T: the keys are temporary ones that go with T, as the store's
    are. A request without x-amz-security-token (or X-Amz-Security-Token in a
    pre-signed URL) gets 403 InvalidAccessKeyId, as for keys it does not know; one
    with another token, or with more than one, gets 400 InvalidToken "The provided
    token is malformed or otherwise invalid.". Without the option the keys are
    long-lived, and a request that carries a token gets that InvalidToken too.

Store modes (options), each refusal the store's own error document:
  --refuse-v2: a version 2 signature gets 400 InvalidRequest "The authorization
    mechanism you have provided is not supported. Please use AWS4-HMAC-SHA256.";
  --acls-disabled: a request carrying x-amz-acl (other than bucket-owner-full-control)
    or x-amz-grant-*, or setting an ?acl: 400 AccessControlListNotSupported;
  --storage-classes: a PUT naming another class gets 400 InvalidStorageClass, or
    with --storage-class-not-implemented 501 NotImplemented (as R2 answers);
  --redirect-endpoint: every request gets 301 PermanentRedirect naming that host;
  --slow-down-puts N: the first N tries of each key's PUT get 503 SlowDown (-1: all);
  --drop-mid-body-key K: the first PUT of key K is cut off: half of its body is
    read, then the connection is closed without an answer; with
    --drop-mid-body-tries N, the first N PUTs of it.
  --gateway-first-tries: the first try of every upload and of every listing page
    (each method and target, query included) is answered by the gateway in front
    of the store instead, in turn: 502 with an HTML page, 503 with a plain text,
    504 with an empty body (no error document); later tries go through.
  --blip-after-puts N: when the Nth PUT arrives, the proxy acts as if restarted:
    every client connection open at that moment is reset (that PUT's too), and
    for --blip-ms milliseconds (300) every new connection is reset at once.
  --opaque-etags: every ETag the store answers (the ETag header of any answer,
    and each <ETag> of a listing or a copy result) is replaced by the MD5 hex
    of "opaque:" and the real one: 32 hex digits that are not the object's MD5,
    as a store that encrypts with SSE-KMS answers; the same object always
    gets the same one.
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
  GET  /__harness__/counters  -> {"connections":N,"requests":N,"puts":N,"rejected":N,
                                   "max_in_flight":N}
  POST /__harness__/reset     -> counters back to zero
  GET  /__harness__/requests  -> the heads of the last requests seen, as JSON
"""

import argparse
import base64
import calendar
import collections
import hashlib
import hmac
import json
import os
import re
import socket
import ssl
import struct
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid
import zlib

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


def check_token(target, fields, access_key, expected):
    """None when the request carries the session token the keys go with (none when
    `expected` is None), else (code, message, extra detail pairs) as the store answers."""
    sent = [v.strip(' \t') for v in field_values(fields, 'x-amz-security-token')]
    _, query = split_target(target)
    sent += [v.decode('latin-1') for n, v in query_pairs(query) if n == b'X-Amz-Security-Token']
    if expected is not None and not sent:
        return ('InvalidAccessKeyId',
                'The AWS Access Key Id you provided does not exist in our records.',
                [('AWSAccessKeyId', access_key)])
    if sent and (len(sent) > 1 or expected is None
                 or not hmac.compare_digest(sent[0].encode('latin-1'), expected.encode('latin-1'))):
        return ('InvalidToken', 'The provided token is malformed or otherwise invalid.',
                [('Token-0', sent[0])])
    return None


# ---------------------------------------------------------------- signature version 4

V4_ALGORITHM = 'AWS4-HMAC-SHA256'
EMPTY_SHA256 = hashlib.sha256(b'').hexdigest()
UNSIGNED_PAYLOAD = 'UNSIGNED-PAYLOAD'
STREAMING_UNSIGNED_TRAILER = 'STREAMING-UNSIGNED-PAYLOAD-TRAILER'
STREAMING_SIGNED = 'STREAMING-AWS4-HMAC-SHA256-PAYLOAD'
STREAMING_SIGNED_TRAILER = 'STREAMING-AWS4-HMAC-SHA256-PAYLOAD-TRAILER'
STREAMING_PAYLOADS = (STREAMING_UNSIGNED_TRAILER, STREAMING_SIGNED, STREAMING_SIGNED_TRAILER)
MAX_PRESIGNED_EXPIRY = 604800  # seconds: a pre-signed URL lives a week at most
UNRESERVED = frozenset(b'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.~')
HEXDIGITS = frozenset(b'0123456789abcdefABCDEF')
PRESIGN_PARAMS = ('X-Amz-Algorithm', 'X-Amz-Credential', 'X-Amz-Date', 'X-Amz-Expires',
                  'X-Amz-SignedHeaders', 'X-Amz-Signature', 'X-Amz-Security-Token')

# The status of each refusal code the proxy answers with.
STATUS = {
    'AccessDenied': (403, 'Forbidden'),
    'InvalidAccessKeyId': (403, 'Forbidden'),
    'SignatureDoesNotMatch': (403, 'Forbidden'),
    'InvalidRequest': (400, 'Bad Request'),
    'InvalidArgument': (400, 'Bad Request'),
    'AuthorizationHeaderMalformed': (400, 'Bad Request'),
    'AuthorizationQueryParametersError': (400, 'Bad Request'),
    'XAmzContentSHA256Mismatch': (400, 'Bad Request'),
    'InvalidDigest': (400, 'Bad Request'),
    'BadDigest': (400, 'Bad Request'),
    'IncompleteBody': (400, 'Bad Request'),
    'AccessControlListNotSupported': (400, 'Bad Request'),
    'InvalidStorageClass': (400, 'Bad Request'),
    'NotImplemented': (501, 'Not Implemented'),
    'PermanentRedirect': (301, 'Moved Permanently'),
    'SlowDown': (503, 'Slow Down'),
    'InvalidToken': (400, 'Bad Request'),
}

SIGNATURE_MISMATCH_MESSAGE = ('The request signature we calculated does not match the signature '
                              'you provided. Check your key and signing method.')


def uri_encode(data, keep_slash):
    """Bytes percent-encoded as S3 does: unreserved characters kept, "%XX" upper-case."""
    out = []
    for b in data:
        if b in UNRESERVED or (keep_slash and b == 0x2f):
            out.append(chr(b))
        else:
            out.append('%%%02X' % b)
    return ''.join(out)


def canonical_uri(path):
    """The path as received: escapes kept as the client wrote them (so a key is
    signed encoded once, never decoded and encoded again), bytes that may not go
    raw into a path encoded; dot segments and repeated slashes stay."""
    raw = path.encode('latin-1')
    out = []
    i = 0
    while i < len(raw):
        b = raw[i]
        if b == 0x25 and i + 2 < len(raw) and raw[i + 1] in HEXDIGITS and raw[i + 2] in HEXDIGITS:
            out.append(raw[i:i + 3].decode('latin-1'))
            i += 3
            continue
        out.append(uri_encode(bytes([b]), True))
        i += 1
    return ''.join(out) or '/'


def _unquote(text):
    return urllib.parse.unquote_to_bytes(text)


def query_pairs(query):
    """(name, value) pairs of a raw query, decoded to bytes; '+' stays a plus sign."""
    pairs = []
    for item in query.split('&'):
        if not item:
            continue
        name, _, value = item.partition('=')
        pairs.append((_unquote(name), _unquote(value)))
    return pairs


def canonical_query(query, leave_out=()):
    pairs = [(uri_encode(n, False), uri_encode(v, False)) for n, v in query_pairs(query)
             if n.decode('latin-1') not in leave_out]
    pairs.sort()
    return '&'.join('%s=%s' % pair for pair in pairs)


def _squeeze(value):
    """A header value as signed: folds unfolded, trimmed, inner runs of blanks one space."""
    return ' '.join(value.replace('\r\n', ' ').split())


def canonical_headers(fields, signed_headers):
    lines = []
    for name in signed_headers:
        values = [_squeeze(v) for n, v in fields if n.strip(' \t').lower() == name]
        lines.append('%s:%s\n' % (name, ','.join(values)))
    return ''.join(lines)


def canonical_request_v4(method, target, fields, signed_headers, payload_hash, leave_out=()):
    path, query = split_target(target)
    return '\n'.join([method, canonical_uri(path), canonical_query(query, leave_out),
                      canonical_headers(fields, signed_headers), ';'.join(signed_headers),
                      payload_hash])


def v4_scope(date, region, service='s3'):
    return '%s/%s/%s/aws4_request' % (date, region, service)


def v4_string_to_sign(amz_date, scope, canonical_request):
    return '\n'.join([V4_ALGORITHM, amz_date, scope,
                      hashlib.sha256(canonical_request.encode('latin-1')).hexdigest()])


def v4_signing_key(secret_key, date, region, service='s3'):
    key = ('AWS4' + secret_key).encode('latin-1')
    for part in (date, region, service, 'aws4_request'):
        key = hmac.new(key, part.encode('latin-1'), hashlib.sha256).digest()
    return key


def v4_sign(signing_key, string_to_sign):
    return hmac.new(signing_key, string_to_sign.encode('latin-1'), hashlib.sha256).hexdigest()


def _bytes_text(text):
    return ' '.join('%02x' % b for b in text.encode('latin-1'))


def _v4_from_header(auth):
    """(credential, signed headers, signature) of a V4 Authorization value, or None."""
    items = {}
    for part in auth[len(V4_ALGORITHM):].split(','):
        name, sep, value = part.strip(' \t').partition('=')
        if not sep:
            return None
        items[name] = value
    if not all(k in items for k in ('Credential', 'SignedHeaders', 'Signature')):
        return None
    return items['Credential'], items['SignedHeaders'], items['Signature']


def check_v4(method, target, fields, access_key, secret_key, region, now=None):
    """(verdict, auth) for a V4 request: verdict None when it is right, else
    (code, message, detail pairs); auth holds what the body check needs."""
    path, query = split_target(target)
    params = {}
    for n, v in query_pairs(query):
        params.setdefault(n.decode('latin-1'), v.decode('latin-1'))
    presigned = 'X-Amz-Algorithm' in params
    malformed = 'AuthorizationQueryParametersError' if presigned else 'AuthorizationHeaderMalformed'

    def header(name):
        values = [v for n, v in fields if n.strip(' \t').lower() == name]
        return _squeeze(values[0]) if values else None

    if presigned:
        if params['X-Amz-Algorithm'] != V4_ALGORITHM:
            return (malformed, 'X-Amz-Algorithm only supports "%s"' % V4_ALGORITHM, []), None
        missing = [p for p in PRESIGN_PARAMS[:6] if p not in params]
        if missing:
            return (malformed, 'Query-string authentication version 4 requires the '
                    'X-Amz-Algorithm, X-Amz-Credential, X-Amz-Signature, X-Amz-Date, '
                    'X-Amz-SignedHeaders, and X-Amz-Expires parameters.', []), None
        if not params['X-Amz-Expires'].isdigit() or int(
                params['X-Amz-Expires']) > MAX_PRESIGNED_EXPIRY:
            return (malformed, 'X-Amz-Expires must be less than a week (in seconds) that is '
                    '604800', []), None
        credential, signed, provided = (params['X-Amz-Credential'], params['X-Amz-SignedHeaders'],
                                        params['X-Amz-Signature'])
        amz_date = params['X-Amz-Date']
        payload_hash = header('x-amz-content-sha256') or UNSIGNED_PAYLOAD
    else:
        auths = [v.strip(' \t') for n, v in fields if n.strip(' \t').lower() == 'authorization']
        parsed = _v4_from_header(auths[0]) if len(auths) == 1 else None
        if parsed is None:
            return (malformed, 'The authorization header is malformed; the authorization '
                    'header requires three components: Credential, SignedHeaders, and '
                    'Signature.', []), None
        credential, signed, provided = parsed
        amz_date = header('x-amz-date') or ''
        payload_hash = header('x-amz-content-sha256')
        if payload_hash is None:
            return ('InvalidRequest',
                    'Missing required header for this request: x-amz-content-sha256', []), None

    scope = credential.split('/')
    if len(scope) != 5 or scope[4] != 'aws4_request':
        return (malformed, 'The authorization header is malformed; the Credential is '
                'mal-formed; expecting "<YOUR-AKID>/YYYYMMDD/REGION/SERVICE/aws4_request".',
                []), None
    key_id, date, cred_region, service = scope[:4]
    if cred_region != region:
        return (malformed, "The authorization header is malformed; the region '%s' is wrong; "
                "expecting '%s'" % (cred_region, region), [('Region', region)]), None
    if service != 's3':
        return (malformed, "The authorization header is malformed; incorrect service '%s'. "
                "This endpoint belongs to 's3'." % service, []), None
    if key_id != access_key:
        return ('InvalidAccessKeyId',
                'The AWS Access Key Id you provided does not exist in our records.',
                [('AWSAccessKeyId', key_id)]), None
    if amz_date[:8] != date:
        return (malformed, 'The authorization header is malformed; Invalid credential date. '
                'Date is not the same as X-Amz-Date.', []), None
    if payload_hash not in (UNSIGNED_PAYLOAD,) + STREAMING_PAYLOADS and not (
            len(payload_hash) == 64 and all(c in '0123456789abcdef' for c in payload_hash)):
        return ('InvalidArgument', 'x-amz-content-sha256 must be UNSIGNED-PAYLOAD, '
                'STREAMING-UNSIGNED-PAYLOAD-TRAILER, STREAMING-AWS4-HMAC-SHA256-PAYLOAD, '
                'STREAMING-AWS4-HMAC-SHA256-PAYLOAD-TRAILER, or a valid sha256 value.',
                [('ArgumentName', 'x-amz-content-sha256'),
                 ('ArgumentValue', payload_hash)]), None

    signed_headers = signed.split(';')
    canonical = canonical_request_v4(method, target, fields, signed_headers, payload_hash,
                                     leave_out=('X-Amz-Signature',) if presigned else ())
    sts = v4_string_to_sign(amz_date, v4_scope(date, region), canonical)
    signing_key = v4_signing_key(secret_key, date, region)
    if not hmac.compare_digest(provided, v4_sign(signing_key, sts)):
        return ('SignatureDoesNotMatch', SIGNATURE_MISMATCH_MESSAGE,
                [('AWSAccessKeyId', key_id), ('StringToSign', sts),
                 ('SignatureProvided', provided), ('StringToSignBytes', _bytes_text(sts)),
                 ('CanonicalRequest', canonical),
                 ('CanonicalRequestBytes', _bytes_text(canonical))]), None

    unsigned = sorted(set(n.strip(' \t').lower() for n, _ in fields
                          if n.strip(' \t').lower().startswith('x-amz-')) - set(signed_headers))
    if unsigned:
        return ('AccessDenied', 'There were headers present in the request which were not '
                'signed', [('HeadersNotSigned', ', '.join(unsigned))]), None
    if presigned:
        expires = int(params['X-Amz-Expires'])
        try:
            signed_at = calendar.timegm(time.strptime(amz_date, '%Y%m%dT%H%M%SZ'))
        except ValueError:
            return (malformed, 'X-Amz-Date must be in the ISO8601 Long Format '
                    '"yyyyMMdd\'T\'HHmmss\'Z\'"', []), None
        now = time.time() if now is None else now
        if now > signed_at + expires:
            return ('AccessDenied', 'Request has expired',
                    [('X-Amz-Expires', str(expires)),
                     ('Expires', time.strftime('%Y-%m-%dT%H:%M:%SZ',
                                               time.gmtime(signed_at + expires))),
                     ('ServerTime', time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(now)))]), None
    return None, dict(payload_hash=payload_hash, signing_key=signing_key, amz_date=amz_date,
                      scope=v4_scope(date, region), seed=provided, presigned=presigned)


def chunk_string_to_sign(amz_date, scope, previous_signature, chunk_sha256):
    return '\n'.join(['AWS4-HMAC-SHA256-PAYLOAD', amz_date, scope, previous_signature,
                      EMPTY_SHA256, chunk_sha256])


def verify(method, target, fields, access_key, secret_key, region='us-east-1',
           refuse_v2=False, now=None):
    """(verdict, auth): verdict None for a request whose signature is right, else
    (code, message, detail pairs); auth is None for V2, else what check_v4 gives."""
    auths = [v.strip(' \t') for n, v in fields if n.strip(' \t').lower() == 'authorization']
    _, query = split_target(target)
    if (auths and auths[0].startswith(V4_ALGORITHM)) or (
            not auths and 'X-Amz-Algorithm=' in query):
        return check_v4(method, target, fields, access_key, secret_key, region, now)
    if refuse_v2 and auths and auths[0].startswith('AWS '):
        return ('InvalidRequest', 'The authorization mechanism you have provided is not '
                'supported. Please use AWS4-HMAC-SHA256.', []), None
    return check_request(method, target, fields, access_key, secret_key), None


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
        self.values = dict(connections=0, requests=0, puts=0, rejected=0, max_in_flight=0)
        self.in_flight = 0
        self.log = collections.deque(maxlen=REQUEST_LOG_SIZE)

    def add(self, name, n=1):
        with self.lock:
            self.values[name] += n

    def begin(self):
        with self.lock:
            self.in_flight += 1
            self.values['max_in_flight'] = max(self.values['max_in_flight'], self.in_flight)

    def end(self):
        with self.lock:
            self.in_flight -= 1

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
            self.values['max_in_flight'] = self.in_flight
            self.log.clear()


class Refusal(Exception):
    """A request the proxy answers itself with an error document."""

    def __init__(self, code, message, details=()):
        Exception.__init__(self, code)
        self.verdict = (code, message, list(details))


def field_values(fields, name):
    return [v for n, v in fields if n.strip(' \t').lower() == name]


def key_of(path, host):
    """The object key a request path names ('' for a bucket), decoded."""
    rest = path[1:]
    if not bucket_from_host(host):
        rest = rest.split('/', 1)[1] if '/' in rest else ''
    return urllib.parse.unquote(rest, encoding='latin-1')


def bucket_of(path, host):
    bucket = bucket_from_host(host)
    return bucket or path[1:].split('/', 1)[0]


class AwsChunked:
    """Decodes an aws-chunked body (read from `src`, a file) into `sink`, checking
    every chunk signature when `auth` is given; returns the trailer fields."""

    def __init__(self, src, sink, auth=None):
        self.src, self.sink, self.auth = src, sink, auth

    def run(self):
        previous = self.auth['seed'] if self.auth else None
        while True:
            line = self.src.readline(4096)
            if not line.endswith(b'\n'):
                raise Refusal('IncompleteBody', 'The request body terminated unexpectedly')
            size_text, _, ext = line.rstrip(b'\r\n').decode('latin-1').partition(';')
            try:
                size = int(size_text, 16)
            except ValueError:
                raise Refusal('InvalidArgument', 'Invalid chunk size in an aws-chunked body')
            data = self.src.read(size)
            if len(data) != size:
                raise Refusal('IncompleteBody', 'The request body terminated unexpectedly')
            if self.auth is not None:
                name, _, provided = ext.partition('=')
                sts = chunk_string_to_sign(self.auth['amz_date'], self.auth['scope'], previous,
                                           hashlib.sha256(data).hexdigest())
                expected = v4_sign(self.auth['signing_key'], sts)
                if name.strip() != 'chunk-signature' or not hmac.compare_digest(
                        provided.strip(), expected):
                    raise Refusal('SignatureDoesNotMatch', SIGNATURE_MISMATCH_MESSAGE,
                                  [('StringToSign', sts), ('SignatureProvided', provided)])
                previous = expected
            self.sink(data)
            if size == 0:
                break
            if self.src.read(2) != b'\r\n':
                raise Refusal('IncompleteBody', 'The request body terminated unexpectedly')
        trailers = []
        while True:
            line = self.src.readline(httpwire.MAX_HEAD_BYTES)
            if line in (b'', b'\r\n', b'\n'):
                break
            name, _, value = line.rstrip(b'\r\n').decode('latin-1').partition(':')
            if name.strip().lower() != 'x-amz-trailer-signature':
                trailers.append((name.strip(), value.strip()))
        return trailers


def reset_close(sock):
    """Closes a socket with a reset instead of an orderly end."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
    except OSError:
        pass
    sock.close()


class Proxy:
    def __init__(self, args):
        self.upstream = args.upstream.rsplit(':', 1)
        self.upstream = (self.upstream[0], int(self.upstream[1]))
        self.access_key = args.access_key
        self.secret_key = args.secret_key
        self.region = args.region
        self.session_token = args.session_token
        self.refuse_v2 = args.refuse_v2
        self.acls_disabled = args.acls_disabled
        self.storage_classes = [c for c in (args.storage_classes or '').split(',') if c]
        self.storage_class_not_implemented = args.storage_class_not_implemented
        self.redirect_endpoint = args.redirect_endpoint
        self.slow_down_puts = args.slow_down_puts
        self.drop_mid_body_key = args.drop_mid_body_key
        self.args_drop_tries = args.drop_mid_body_tries
        self.put_tries = collections.Counter()   # key -> PUT tries seen (for SlowDown)
        self.gateway_first_tries = args.gateway_first_tries
        self.gateway_seen = set()                # (method, target) already answered
        self.gateway_turn = 0
        self.blip_after_puts = args.blip_after_puts
        self.blip_seconds = args.blip_ms / 1000.0
        self.blip_until = None                   # end of the blip once it has begun
        self.blip_after_puts_seen = 0
        self.open_clients = set()                # client sockets being served
        self.opaque_etags = args.opaque_etags
        self.drops_left = args.drop_mid_body_tries
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
            with self.counters.lock:
                self.put_tries.clear()
                self.drops_left = self.args_drop_tries
                self.gateway_seen.clear()
                self.blip_after_puts_seen = 0
                self.blip_until = None
            body = b'{}'
        else:
            status, body = 404, b'{"error":"unknown control path"}'
        client.send(httpwire.response_head(status, 'OK' if status == 200 else 'Not Found', [
            ('Content-Type', 'application/json'), ('Content-Length', str(len(body)))]) + body)

    # --- one client connection

    def serve(self, sock):
        with self.counters.lock:
            blipping = self.blip_until is not None and time.monotonic() < self.blip_until
            if not blipping:
                self.open_clients.add(sock)
        if blipping:
            reset_close(sock)
            return
        try:
            self.serve_client(sock)
        finally:
            with self.counters.lock:
                self.open_clients.discard(sock)

    def blip(self):
        """Resets every client connection and refuses new ones for a moment."""
        with self.counters.lock:
            self.blip_until = time.monotonic() + self.blip_seconds
            victims = list(self.open_clients)
        for sock in victims:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def answer_unread(self, client, head, kind, length, status, reason, fields, body):
        """Answers a request whose body is not wanted: before it when the client
        waits for 100-continue (then the connection closes), else after reading
        it past. True when the connection can be kept."""
        if head.has_token('Expect', '100-continue') and kind != 'none':
            client.send(httpwire.response_head(status, reason,
                                               fields + [('Connection', 'close')]) + body)
            httpwire.linger_close(client)
            return False
        httpwire.copy_body(client, kind, length, lambda data: None)
        client.send(httpwire.response_head(status, reason, fields) + body)
        return True

    def gateway_answer(self, client, head, method, target):
        """The gateway's own answer to a first try; False when the connection must end."""
        with self.counters.lock:
            if (method, target) in self.gateway_seen:
                return None
            self.gateway_seen.add((method, target))
            turn = self.gateway_turn
            self.gateway_turn += 1
        status, reason, ctype, body = [
            (502, 'Bad Gateway', 'text/html',
             b'<html><head><title>502 Bad Gateway</title></head>'
             b'<body><h1>502 Bad Gateway</h1></body></html>\n'),
            (503, 'Service Unavailable', 'text/plain', b'upstream connect error\n'),
            (504, 'Gateway Timeout', None, b''),
        ][turn % 3]
        self.counters.add('rejected')
        fields = [('Content-Length', str(len(body)))]
        if ctype:
            fields.append(('Content-Type', ctype))
        kind, length = httpwire.body_kind(head, True)
        return self.answer_unread(client, head, kind, length, status, reason, fields, body)

    def serve_client(self, sock):
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
                # A request is in flight until its answer starts to go out: the
                # client cannot start another in its place before that, whereas
                # ending the count after the answer was sent would race with it.
                self.counters.begin()
                client.before_answer = self.counters.end
                try:
                    go_on = self.one_request(client, method, target, head)
                finally:
                    if client.before_answer is not None:
                        client.before_answer = None
                        self.counters.end()
                if not go_on or not keep_alive:
                    break
        except httpwire.WireError as e:
            print('sigproxy: %s' % e, file=sys.stderr)
        except (ConnectionError, OSError) as e:
            print('sigproxy: connection: %s' % e, file=sys.stderr)
        finally:
            client.close()

    def refuse(self, client, head, target, verdict, body_read=False, extra_fields=()):
        """Answers with the error document; False when the connection must end.

        A body the client has not sent yet because it waits for "100 Continue" is
        never asked for: the connection is closed after the answer instead.
        """
        self.counters.add('rejected')
        code, message, details = verdict
        status, reason = STATUS.get(code, (403, 'Forbidden'))
        body, request_id = error_document(code, message, details, split_target(target)[0])
        kind, length = httpwire.body_kind(head, True)
        fields = [('x-amz-request-id', request_id), ('Content-Type', 'application/xml'),
                  ('Content-Length', str(len(body)))] + list(extra_fields)
        if body_read:
            kind = 'none'
        return self.answer_unread(client, head, kind, length, status, reason, fields, body)

    def store_rules(self, method, target, fields):
        """The refusals of the store modes that the head alone decides; None to go on."""
        path, query = split_target(target)
        host = (field_values(fields, 'host') or [''])[0].strip(' \t')
        key = key_of(path, host)
        if self.acls_disabled:
            acls = [_squeeze(v) for v in field_values(fields, 'x-amz-acl')]
            grants = [n for n, _ in fields if n.strip(' \t').lower().startswith('x-amz-grant-')]
            sets_acl = method == 'PUT' and any(n == b'acl' for n, _ in query_pairs(query))
            if [a for a in acls if a != 'bucket-owner-full-control'] or grants or sets_acl:
                return ('AccessControlListNotSupported', 'The bucket does not allow ACLs', [])
        if self.storage_classes and method in ('PUT', 'POST'):
            for value in field_values(fields, 'x-amz-storage-class'):
                requested = _squeeze(value)
                if requested in self.storage_classes:
                    continue
                if self.storage_class_not_implemented:
                    return ('NotImplemented', 'A header you provided implies functionality '
                            'that is not implemented', [('Header', 'x-amz-storage-class')])
                return ('InvalidStorageClass', 'The storage class you specified is not valid',
                        [('StorageClassRequested', requested)])
        if self.slow_down_puts and method == 'PUT' and key:
            with self.counters.lock:
                self.put_tries[path] += 1
                tries = self.put_tries[path]
            if self.slow_down_puts < 0 or tries <= self.slow_down_puts:
                return ('SlowDown', 'Please reduce your request rate.', [])
        return None

    def one_request(self, client, method, target, head):
        """Checks and forwards one request; False when the client connection must end."""
        path, _ = split_target(target)
        host = head.get('Host', '')
        entry = self.counters.record(method, target, head.fields, 'accepted')
        if self.redirect_endpoint:
            self.counters.set_verdict(entry, 'PermanentRedirect')
            return self.refuse(client, head, target, (
                'PermanentRedirect', 'The bucket you are attempting to access must be addressed '
                'using the specified endpoint. Please send all future requests to this endpoint.',
                [('Bucket', bucket_of(path, host)), ('Endpoint', self.redirect_endpoint)]),
                extra_fields=[('x-amz-bucket-region', self.region),
                              ('Location', 'http://%s%s' % (self.redirect_endpoint, target))])
        verdict, auth = verify(method, target, head.fields, self.access_key, self.secret_key,
                               self.region, self.refuse_v2)
        if verdict is None:
            verdict = check_token(target, head.fields, self.access_key, self.session_token)
        if verdict is None:
            verdict = self.store_rules(method, target, head.fields)
        if verdict is not None:
            self.counters.set_verdict(entry, verdict[0])
            return self.refuse(client, head, target, verdict)

        if self.blip_after_puts and method == 'PUT':
            with self.counters.lock:
                self.blip_after_puts_seen += 1
                now = self.blip_after_puts_seen == self.blip_after_puts
            if now:
                self.counters.set_verdict(entry, 'blip')
                self.blip()
                return False

        is_listing = method == 'GET' and key_of(path, host) == ''
        is_upload = method == 'PUT' and key_of(path, host) != ''
        if self.gateway_first_tries and (is_listing or is_upload):
            answered = self.gateway_answer(client, head, method, target)
            if answered is not None:
                self.counters.set_verdict(entry, 'gateway')
                return answered

        if (self.drop_mid_body_key and self.drops_left > 0 and method == 'PUT'
                and key_of(path, host) == self.drop_mid_body_key):
            with self.counters.lock:
                drop = self.drops_left > 0
                self.drops_left -= 1 if drop else 0
            if drop:
                self.counters.set_verdict(entry, 'dropped')
                return self.drop_mid_body(client, head)

        md5_fields = field_values(head.fields, 'content-md5')
        payload_hash = auth['payload_hash'] if auth else UNSIGNED_PAYLOAD
        checked = [_squeeze(v) for n, v in head.fields
                   if n.strip(' \t').lower().startswith('x-amz-checksum-')]
        aws_chunked = any('aws-chunked' in v.lower()
                          for v in field_values(head.fields, 'content-encoding'))
        if md5_fields or payload_hash != UNSIGNED_PAYLOAD or checked or aws_chunked:
            return self.body_checked(client, method, target, head, entry, auth,
                                     _unfold(md5_fields[0]) if md5_fields else None)

        kind, length = httpwire.body_kind(head, True)
        up = self.connect_upstream(client)
        if up is None:
            return False
        if head.has_token('Expect', '100-continue') and kind != 'none':
            client.send(b'HTTP/1.1 100 Continue\r\n\r\n')
        return self.forward(client, up, method, target, head.fields,
                            lambda sink: httpwire.copy_body(client, kind, length, sink))

    def drop_mid_body(self, client, head):
        """Reads half of the body, then hangs up without an answer."""
        kind, length = httpwire.body_kind(head, True)
        if head.has_token('Expect', '100-continue') and kind != 'none':
            client.send(b'HTTP/1.1 100 Continue\r\n\r\n')
        want = length // 2 if kind == 'length' else 1
        while want > 0:
            data = client.read_some(want)
            if not data:
                break
            want -= len(data)
        client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
        client.close()
        return False

    def body_checked(self, client, method, target, head, entry, auth, md5_value):
        """A request whose body must be checked before the store keeps it (Content-MD5,
        a payload hash, an aws-chunked body, a checksum): the payload is read whole into
        a spool file, decoded from aws-chunked when it is that, and held against every
        digest it names; only a body that matches them all is forwarded, with its
        length, so that the store never keeps bytes the client did not mean to send."""
        expected_md5 = None
        if md5_value is not None:
            expected_md5 = expected_digest(md5_value)
            if expected_md5 is None:
                self.counters.set_verdict(entry, 'InvalidDigest')
                return self.refuse(client, head, target, (
                    'InvalidDigest', 'The Content-MD5 you specified was invalid.',
                    [('Content-MD5', md5_value)]))
        payload_hash = auth['payload_hash'] if auth else UNSIGNED_PAYLOAD
        encodings = [t.strip(' \t').lower() for v in field_values(head.fields, 'content-encoding')
                     for t in v.split(',')]
        chunked = payload_hash in STREAMING_PAYLOADS or 'aws-chunked' in encodings

        kind, length = httpwire.body_kind(head, True)
        if head.has_token('Expect', '100-continue') and kind != 'none':
            client.send(b'HTTP/1.1 100 Continue\r\n\r\n')
        with tempfile.TemporaryFile(prefix='sigproxy-wire-') as wire, \
                tempfile.TemporaryFile(prefix='sigproxy-body-') as spool:
            md5, sha256, sha1, crc = hashlib.md5(), hashlib.sha256(), hashlib.sha1(), [0]

            def take(data):
                md5.update(data)
                sha256.update(data)
                sha1.update(data)
                crc[0] = zlib.crc32(data, crc[0])
                spool.write(data)
            trailers = []
            try:
                if chunked:
                    httpwire.copy_body(client, kind, length, lambda d: None, payload=wire.write)
                    wire.seek(0)
                    signed = auth if payload_hash.startswith('STREAMING-AWS4') else None
                    trailers = AwsChunked(wire, take, signed).run()
                else:
                    httpwire.copy_body(client, kind, length, lambda d: None, payload=take)
                verdict = self.digest_verdict(payload_hash, md5_value, expected_md5,
                                              head.fields + trailers, md5, sha256, sha1, crc[0])
            except Refusal as r:
                verdict = r.verdict
            if verdict is not None:
                self.counters.set_verdict(entry, verdict[0])
                return self.refuse(client, head, target, verdict, body_read=True)
            up = self.connect_upstream(client)
            if up is None:
                return False
            size = spool.tell()
            dropped = ('expect', 'transfer-encoding', 'content-length',
                       'x-amz-decoded-content-length', 'x-amz-trailer')
            fields = [(n, v) for n, v in head.fields if n.strip(' \t').lower() not in dropped]
            if chunked:
                fields = [(n, ' ' + UNSIGNED_PAYLOAD) if n.strip(' \t').lower() ==
                          'x-amz-content-sha256' else (n, v) for n, v in fields]
                rest = [e for e in encodings if e and e != 'aws-chunked']
                fields = [(n, v) for n, v in fields
                          if n.strip(' \t').lower() != 'content-encoding']
                if rest:
                    fields.append(('Content-Encoding', ' ' + ','.join(rest)))
                fields += [(n, ' ' + v) for n, v in trailers]
            fields.append(('Content-Length', ' %d' % size))

            def replay(sink):
                spool.seek(0)
                while True:
                    data = spool.read(httpwire.COPY_CHUNK)
                    if not data:
                        break
                    sink(data)
            return self.forward(client, up, method, target, fields, replay)

    @staticmethod
    def digest_verdict(payload_hash, md5_value, expected_md5, fields, md5, sha256, sha1, crc):
        if len(payload_hash) == 64 and sha256.hexdigest() != payload_hash:
            return ('XAmzContentSHA256Mismatch', "The provided 'x-amz-content-sha256' header "
                    'does not match what was computed.',
                    [('ClientComputedContentSHA256', payload_hash),
                     ('S3ComputedContentSHA256', sha256.hexdigest())])
        if expected_md5 is not None and md5.digest() != expected_md5:
            return ('BadDigest', 'The Content-MD5 you specified did not match what was received.',
                    [('ExpectedDigest', md5_value),
                     ('CalculatedDigest', base64.b64encode(md5.digest()).decode('ascii'))])
        computed = {'x-amz-checksum-crc32': ('CRC32', crc.to_bytes(4, 'big')),
                    'x-amz-checksum-sha1': ('SHA1', sha1.digest()),
                    'x-amz-checksum-sha256': ('SHA256', sha256.digest())}
        for name, value in fields:
            lname = name.strip(' \t').lower()
            if lname in computed:
                algorithm, digest = computed[lname]
                if _squeeze(value) != base64.b64encode(digest).decode('ascii'):
                    return ('BadDigest', 'The %s you specified did not match the calculated '
                            'checksum.' % algorithm, [])
        return None

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

    def forward(self, client, up, method, target, fields, send_body):
        """Sends the request to moto with the body `send_body(sink)` gives, and moto's
        answer back to the client; False when the client connection must end."""
        try:
            # The interim answer has been given here already; moto must not give another.
            fields = [(n, v) for n, v in fields if n.strip(' \t').lower() != 'expect']
            # moto reads a signature holding exactly four "/" as a version 4 credential
            # scope and answers 500, and it would take a version 4 request apart again;
            # the signature has been checked here, so moto gets the key id with a fixed
            # version 2 signature instead, and no pre-signing parameters.
            fields = [(n, v) for n, v in fields if n.strip(' \t').lower() != 'authorization']
            fields.append(('Authorization', ' AWS %s:checked' % self.access_key))
            path, query = split_target(target)
            if 'X-Amz-' in query:
                kept = [item for item in query.split('&')
                        if item.split('=', 1)[0] not in PRESIGN_PARAMS]
                target = path + ('?' + '&'.join(kept) if kept else '')
            lines = ['%s %s %s' % (method, target, 'HTTP/1.1')]
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
            if self.opaque_etags:
                return self.forward_opaque(client, up, rhead, rkind, rlength, fields)
            if rkind == 'close':
                fields.append(('Connection', ' close'))
            lines = [rhead.start_line] + ['%s:%s' % (n, v) for n, v in fields]
            client.send(('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1'))
            httpwire.copy_body(up, rkind, rlength, client.send)
            return rkind != 'close'
        finally:
            up.close()

    @staticmethod
    def opaque_etag(etag):
        return hashlib.md5(b'opaque:' + etag).hexdigest().encode('ascii')

    def forward_opaque(self, client, up, rhead, rkind, rlength, fields):
        """Passes moto's answer on with every ETag made opaque; the body is read
        whole, its ETags replaced and sent with its new length."""
        body = bytearray()
        httpwire.copy_body(up, rkind, rlength, lambda d: None, payload=body.extend)
        body = re.sub(rb'<ETag>(&quot;|&#34;|")?([^<&"]*)(&quot;|&#34;|")?</ETag>',
                      lambda m: b'<ETag>' + (m.group(1) or b'') + self.opaque_etag(m.group(2)) +
                      (m.group(3) or b'') + b'</ETag>', bytes(body))
        out = []
        for n, v in fields:
            lname = n.strip(' \t').lower()
            # A HEAD's Content-Length is the object's size, not a body's.
            if rkind != 'none' and lname in ('content-length', 'transfer-encoding'):
                continue
            if lname == 'etag':
                bare = v.strip(' \t').strip('"').encode('latin-1')
                v = ' "%s"' % self.opaque_etag(bare).decode('ascii')
            out.append((n, v))
        if rkind != 'none':
            out.append(('Content-Length', ' %d' % len(body)))
        lines = [rhead.start_line] + ['%s:%s' % (n, v) for n, v in out]
        client.send(('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1') +
                    (body if rkind != 'none' else b''))
        return True

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
    parser.add_argument('--region', default='us-east-1', help='the region V4 credentials name')
    parser.add_argument('--refuse-v2', action='store_true')
    parser.add_argument('--acls-disabled', action='store_true')
    parser.add_argument('--storage-classes', default='', help='comma-separated accepted classes')
    parser.add_argument('--storage-class-not-implemented', action='store_true')
    parser.add_argument('--redirect-endpoint', default='')
    parser.add_argument('--slow-down-puts', type=int, default=0)
    parser.add_argument('--drop-mid-body-key', default='')
    parser.add_argument('--drop-mid-body-tries', type=int, default=1)
    parser.add_argument('--gateway-first-tries', action='store_true')
    parser.add_argument('--blip-after-puts', type=int, default=0)
    parser.add_argument('--blip-ms', type=int, default=300)
    parser.add_argument('--session-token', default=None,
                        help='the token the keys go with; requests must carry it')
    parser.add_argument('--opaque-etags', action='store_true')
    args = parser.parse_args()
    Proxy(args).run(args.port)


if __name__ == '__main__':
    main()
