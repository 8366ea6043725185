#!/usr/bin/env python3
"""cloudfront_check - CloudFront's CreateInvalidation as a signature-checking stand-in.

moto's CloudFront records invalidations but checks no signature. This server
answers POST /2020-05-31/distribution/ID/invalidation only when the request is
signed V4 for the service "cloudfront" in us-east-1 with the key pair it was
given (and, with --token, carries that session token, signed), every x-amz-
header signed and the payload hash the SHA-256 of the body; it then answers 201
with an <Invalidation> whose Id is "CHECKED" plus a count. Anything else gets
CloudFront's error document (403 SignatureDoesNotMatch, InvalidClientTokenId,
or 400 MissingAuthenticationToken). The signature checks are the checking
proxy's own (tests/harness/sigproxy.py), told another service.

GetDistributionConfig is answered too, signed alike, with one origin whose
OriginPath is --origin-path.

Usage: cloudfront_check.py --access-key ID --secret-key SECRET [--token T] [--origin-path P]
The first line on stdout is the port it listens on. GET /__check__/verdicts
gives one line per request: "accepted PATHS..." or "refused CODE".
"""

import argparse
import hashlib
import hmac
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'harness'))
import sigproxy  # noqa: E402
import standin  # noqa: E402

SERVICE = 'cloudfront'
REGION = 'us-east-1'


def error(code, message):
    return ('<?xml version="1.0"?><ErrorResponse xmlns="http://cloudfront.amazonaws.com/doc/'
            '2020-05-31/"><Error><Type>Sender</Type><Code>%s</Code><Message>%s</Message>'
            '</Error><RequestId>check</RequestId></ErrorResponse>' % (code, message)).encode()


def verdict(method, target, fields, body, args):
    """None when the request is signed as CloudFront wants it, else (status, code)."""
    auth = [v for n, v in fields if n.lower() == 'authorization']
    if len(auth) != 1 or not auth[0].startswith(sigproxy.V4_ALGORITHM + ' '):
        return 400, 'MissingAuthenticationToken'
    items = dict(p.strip().partition('=')[::2] for p in auth[0][len(sigproxy.V4_ALGORITHM):].split(','))
    scope = items.get('Credential', '').split('/')
    if len(scope) != 5 or scope[2:] != [REGION, SERVICE, 'aws4_request']:
        return 403, 'SignatureDoesNotMatch'
    if scope[0] != args.access_key:
        return 403, 'InvalidClientTokenId'
    signed = items.get('SignedHeaders', '').split(';')
    amz = [v for n, v in fields if n.lower() == 'x-amz-date']
    if not amz or amz[0][:8] != scope[1] or 'host' not in signed:
        return 403, 'SignatureDoesNotMatch'
    unsigned = [n for n, _ in fields if n.lower().startswith('x-amz-') and n.lower() not in signed]
    if unsigned:
        return 403, 'SignatureDoesNotMatch'
    tokens = [v for n, v in fields if n.lower() == 'x-amz-security-token']
    if args.token is not None and tokens != [args.token]:
        return 403, 'InvalidClientTokenId'
    canonical = sigproxy.canonical_request_v4(method, target, fields, signed,
                                              hashlib.sha256(body).hexdigest())
    sts = sigproxy.v4_string_to_sign(amz[0], sigproxy.v4_scope(scope[1], REGION, SERVICE),
                                     canonical)
    key = sigproxy.v4_signing_key(args.secret_key, scope[1], REGION, SERVICE)
    if not hmac.compare_digest(items.get('Signature', ''), sigproxy.v4_sign(key, sts)):
        return 403, 'SignatureDoesNotMatch'
    return None


class Handler(standin.Handler):
    verdicts = []

    def answer(self, status, body, content_type='text/xml'):
        super().answer(status, body, content_type)

    def do_GET(self):
        if self.path == '/__check__/verdicts':
            return self.answer(200, ''.join(line + '\n' for line in self.verdicts).encode(),
                               'text/plain')
        # GetDistributionConfig, signed as the invalidation is; not a verdict.
        if not re.fullmatch(r'/2020-05-31/distribution/[A-Za-z0-9]+/config', self.path):
            return self.answer(404, error('NoSuchResource', 'no such resource'))
        refused = verdict('GET', self.path, list(self.headers.items()), b'', self.server.args)
        if refused:
            return self.answer(refused[0], error(refused[1], 'refused by the check'))
        self.answer(200, ('<?xml version="1.0"?><DistributionConfig><Origins><Quantity>1'
                          '</Quantity><Items><Origin><Id>site</Id><OriginPath>%s</OriginPath>'
                          '</Origin></Items></Origins></DistributionConfig>'
                          % self.server.args.origin_path).encode())

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0')))
        fields = list(self.headers.items())
        if not re.fullmatch(r'/2020-05-31/distribution/[A-Za-z0-9]+/invalidation', self.path):
            self.verdicts.append('refused NoSuchResource')
            return self.answer(404, error('NoSuchResource', 'no such resource'))
        refused = verdict('POST', self.path, fields, body, self.server.args)
        if refused:
            self.verdicts.append('refused ' + refused[1])
            return self.answer(refused[0], error(refused[1], 'refused by the check'))
        paths = re.findall(rb'<Path>([^<]*)</Path>', body)
        self.verdicts.append('accepted ' + ' '.join(p.decode() for p in paths))
        self.answer(201, ('<?xml version="1.0"?><Invalidation><Id>CHECKED%d</Id><Status>'
                          'InProgress</Status></Invalidation>' % len(self.verdicts)).encode())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--access-key', required=True)
    parser.add_argument('--secret-key', required=True)
    parser.add_argument('--token')
    parser.add_argument('--origin-path', default='')
    args = parser.parse_args()
    standin.serve(standin.Server(Handler, args))


if __name__ == '__main__':
    main()
