#!/usr/bin/env python3
"""credserver - loopback stand-ins for the services that hand out temporary keys.

Usage: credserver.py [--access-key ID --secret-key SECRET] [--region R]
                     [--role-arn ARN] [--web-token TOKEN] [--sso-token TOKEN]
                     [--container-token TOKEN] [--imds-role NAME]
                     --give-key ID --give-secret SECRET --give-token TOKEN
                     [--lifetime SECONDS]

The first line on stdout is the port it listens on (127.0.0.1); nothing else is
written to stdout. Every service answers with the keys of --give-*, which expire
--lifetime seconds after they are handed out (default 3600).

  STS (POST /, a form body):
    Action=AssumeRole: the request must be signed V4 for service sts in --region
      with --access-key/--secret-key (the signature and the body's SHA-256 are
      checked); RoleArn must be --role-arn. Else 403 with an STS error document
      (SignatureDoesNotMatch, InvalidClientTokenId, AccessDenied).
    Action=AssumeRoleWithWebIdentity: unsigned; WebIdentityToken must be
      --web-token and RoleArn --role-arn, else 400 InvalidIdentityToken.
  SSO portal: GET /federation/credentials?account_id=A&role_name=R with
    x-amz-sso_bearer_token --sso-token, else 401 (JSON: roleCredentials, the
    expiration in milliseconds).
  Container endpoint: GET /container/... with Authorization --container-token
    (when given), else 401 (JSON: AccessKeyId, SecretAccessKey, Token, Expiration).
  IMDSv2: PUT /latest/api/token with X-aws-ec2-metadata-token-ttl-seconds gives
    a session token; GET /latest/meta-data/iam/security-credentials/[ROLE] with
    X-aws-ec2-metadata-token gives the role --imds-role, then its keys; without
    the token 401.
  GET /__harness__/counts: {"sts": N, "web": N, "sso": N, "container": N,
    "imds": N, "refused": N}: keys handed out by each, and requests refused.
"""
import argparse
import hashlib
import json
import os
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sigproxy  # noqa: E402  (the V4 canonical request and signing key)
import standin  # noqa: E402

IMDS_TOKEN = 'imds-session-token-0123456789'


def iso(t):
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(t))


def sts_error(code, message):
    return ('<ErrorResponse xmlns="https://sts.amazonaws.com/doc/2011-06-15/"><Error>'
            '<Type>Sender</Type><Code>%s</Code><Message>%s</Message></Error>'
            '<RequestId>r</RequestId></ErrorResponse>' % (code, message))


class Handler(standin.Handler):
    def log_message(self, fmt, *args):
        try:  # the harness may start it with standard error closed
            sys.stderr.write('credserver: ' + fmt % args + '\n')
            sys.stderr.flush()
        except (OSError, ValueError):
            pass

    def answer(self, status, body, content_type='application/json'):
        super().answer(status, body, content_type)

    def refuse(self, status, body, content_type='application/json'):
        self.server.count('refused')
        self.answer(status, body, content_type)

    def keys(self, kind):
        self.server.count(kind)
        a = self.server.args
        return a.give_key, a.give_secret, a.give_token, time.time() + a.lifetime

    def body(self):
        n = int(self.headers.get('Content-Length') or 0)
        return self.rfile.read(n) if n else b''

    def do_GET(self):
        a = self.server.args
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path == '/__harness__/counts':
            with self.server.lock:
                return self.answer(200, json.dumps(self.server.counts))
        if url.path == '/federation/credentials':
            if self.headers.get('x-amz-sso_bearer_token') != a.sso_token or not query.get(
                    'account_id') or not query.get('role_name'):
                return self.refuse(401, '{"message":"Session token not found or invalid"}')
            key, secret, token, expires = self.keys('sso')
            return self.answer(200, json.dumps({'roleCredentials': {
                'accessKeyId': key, 'secretAccessKey': secret, 'sessionToken': token,
                'expiration': int(expires * 1000)}}))
        if url.path.startswith('/container/'):
            if a.container_token and self.headers.get('Authorization') != a.container_token:
                return self.refuse(401, '{"message":"unauthorized"}')
            key, secret, token, expires = self.keys('container')
            return self.answer(200, json.dumps({'AccessKeyId': key, 'SecretAccessKey': secret,
                                                'Token': token, 'Expiration': iso(expires)}))
        prefix = '/latest/meta-data/iam/security-credentials/'
        if url.path.startswith(prefix):
            if self.headers.get('X-aws-ec2-metadata-token') != IMDS_TOKEN:
                return self.refuse(401, '', 'text/plain')
            role = url.path[len(prefix):]
            if not role:
                return self.answer(200, a.imds_role + '\n', 'text/plain')
            if role != a.imds_role:
                return self.refuse(404, '', 'text/plain')
            key, secret, token, expires = self.keys('imds')
            return self.answer(200, json.dumps({
                'Code': 'Success', 'Type': 'AWS-HMAC', 'AccessKeyId': key,
                'SecretAccessKey': secret, 'Token': token, 'Expiration': iso(expires)}))
        return self.refuse(404, '', 'text/plain')

    def do_PUT(self):
        self.body()
        if self.path == '/latest/api/token' and self.headers.get(
                'X-aws-ec2-metadata-token-ttl-seconds'):
            return self.answer(200, IMDS_TOKEN, 'text/plain')
        return self.refuse(400, '', 'text/plain')

    def do_POST(self):
        a = self.server.args
        body = self.body()
        form = dict(urllib.parse.parse_qsl(body.decode('latin-1')))
        action = form.get('Action')
        xml = 'text/xml'
        if action == 'AssumeRole':
            verdict = self.check_signature(body)
            if verdict:
                return self.refuse(403, sts_error(*verdict), xml)
            if form.get('RoleArn') != a.role_arn or not form.get('RoleSessionName'):
                return self.refuse(403, sts_error('AccessDenied', 'not authorized to assume '
                                                  'this role'), xml)
            key, secret, token, expires = self.keys('sts')
        elif action == 'AssumeRoleWithWebIdentity':
            if self.headers.get('Authorization'):
                return self.refuse(400, sts_error('InvalidRequest', 'signed'), xml)
            if form.get('WebIdentityToken') != a.web_token or form.get('RoleArn') != a.role_arn:
                return self.refuse(400, sts_error('InvalidIdentityToken',
                                                  'Couldn&apos;t retrieve verification key'), xml)
            key, secret, token, expires = self.keys('web')
        else:
            return self.refuse(400, sts_error('InvalidAction', 'unknown action'), xml)
        self.answer(200, (
            '<%sResponse xmlns="https://sts.amazonaws.com/doc/2011-06-15/"><%sResult>'
            '<Credentials><AccessKeyId>%s</AccessKeyId><SecretAccessKey>%s</SecretAccessKey>'
            '<SessionToken>%s</SessionToken><Expiration>%s</Expiration></Credentials>'
            '</%sResult></%sResponse>' % (action, action, key, secret, token, iso(expires),
                                           action, action)), xml)

    def check_signature(self, body):
        """None when the V4 signature of this request is right, else (code, message)."""
        a = self.server.args
        fields = list(self.headers.items())
        auths = self.headers.get_all('Authorization') or []
        parsed = sigproxy._v4_from_header(auths[0]) if len(auths) == 1 else None
        if parsed is None:
            return ('MissingAuthenticationToken', 'Request is missing Authentication Token')
        credential, signed, provided = parsed
        scope = credential.split('/')
        if len(scope) != 5 or scope[2] != a.region or scope[3] != 'sts':
            return ('SignatureDoesNotMatch', 'Credential should be scoped to a valid region '
                    'and the service sts')
        if scope[0] != a.access_key:
            return ('InvalidClientTokenId', 'The security token included in the request is '
                    'invalid.')
        payload = hashlib.sha256(body).hexdigest()
        sent = self.headers.get('x-amz-content-sha256')
        if sent is not None and sent != payload:
            return ('SignatureDoesNotMatch', 'payload hash')
        amz_date = self.headers.get('x-amz-date') or ''
        canonical = sigproxy.canonical_request_v4('POST', self.path, fields, signed.split(';'),
                                                  payload)
        sts = sigproxy.v4_string_to_sign(amz_date, sigproxy.v4_scope(scope[1], a.region, 'sts'),
                                         canonical)
        key = sigproxy.v4_signing_key(a.secret_key, scope[1], a.region, 'sts')
        if sigproxy.v4_sign(key, sts) != provided:
            return ('SignatureDoesNotMatch', 'The request signature we calculated does not '
                    'match the signature you provided.')
        return None


class Server(standin.Server):
    def __init__(self, args):
        super().__init__(Handler, args)
        self.lock = threading.Lock()
        self.counts = dict(sts=0, web=0, sso=0, container=0, imds=0, refused=0)

    def count(self, kind):
        with self.lock:
            self.counts[kind] += 1


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--access-key', default='')
    p.add_argument('--secret-key', default='')
    p.add_argument('--region', default='us-east-1')
    p.add_argument('--role-arn', default='')
    p.add_argument('--web-token', default=None)
    p.add_argument('--sso-token', default=None)
    p.add_argument('--container-token', default='')
    p.add_argument('--imds-role', default='site-deployer')
    p.add_argument('--give-key', required=True)
    p.add_argument('--give-secret', required=True)
    p.add_argument('--give-token', required=True)
    p.add_argument('--lifetime', type=float, default=3600)
    args = p.parse_args()
    standin.serve(Server(args))


if __name__ == '__main__':
    main()
