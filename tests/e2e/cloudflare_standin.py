#!/usr/bin/env python3
"""cloudflare_standin - Cloudflare's purge_cache call as a checking stand-in.

Answers POST /client/v4/zones/ZONE/purge_cache as Cloudflare's API does, and
only when the request carries "Authorization: Bearer TOKEN" with the token it
was given, names the zone it was given, is JSON and names at most 30 files
(or asks to purge everything). With --refuse-first N the first N requests
that pass are answered 429 with the API's rate-limit error; with --refuse-all
every one is answered 403 with an authorisation error.

Usage: cloudflare_standin.py --token T --zone Z [--refuse-first N] [--refuse-all]
The first line on stdout is the port it listens on. GET /__check__/requests
gives one JSON object a line per request: {"verdict": ..., "body": ...}.
"""

import argparse
import json
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'harness'))
import standin  # noqa: E402

MAX_FILES = 30


def failure(code, message):
    return {'success': False, 'errors': [{'code': code, 'message': message}], 'messages': [],
            'result': None}


class Handler(standin.Handler):
    seen = []
    lock = threading.Lock()

    def do_GET(self):
        with self.lock:
            text = ''.join(json.dumps(entry) + '\n' for entry in self.seen)
        self.answer(200, text, 'text/plain')

    def judge(self, body):
        """(status, document, verdict) for one purge request."""
        args = self.server.args
        if self.path != '/client/v4/zones/%s/purge_cache' % args.zone:
            return 404, failure(7003, 'Could not route to %s' % self.path), 'wrong path'
        if self.headers.get_all('Authorization') != ['Bearer ' + args.token]:
            return 403, failure(10000, 'Authentication error'), 'wrong token'
        if self.headers.get('Content-Type') != 'application/json':
            return 400, failure(1012, 'Request must be JSON'), 'not JSON'
        try:
            document = json.loads(body)
        except ValueError:
            return 400, failure(1012, 'Request must be JSON'), 'not JSON'
        files = document.get('files')
        everything = document.get('purge_everything') is True
        if everything == (files is not None):
            return 400, failure(1012, 'files or purge_everything'), 'no files'
        if files is not None and (not isinstance(files, list) or len(files) > MAX_FILES):
            return 400, failure(1015, 'Too many files'), 'too many files'
        with self.lock:
            passed = sum(1 for entry in self.seen if entry['verdict'] in ('ok', 'throttled'))
        if args.refuse_all:
            return 403, failure(10000, 'Authentication error: zone not allowed'), 'refused'
        if passed < args.refuse_first:
            return 429, failure(971, 'Please wait and consider throttling your request speed'), \
                'throttled'
        return 200, {'success': True, 'errors': [], 'messages': [], 'result': {'id': args.zone}}, 'ok'

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0')))
        status, document, verdict = self.judge(body)
        try:
            parsed = json.loads(body)
        except ValueError:
            parsed = None
        with self.lock:
            self.seen.append({'verdict': verdict, 'body': parsed})
        self.answer(status, json.dumps(document), 'application/json')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--token', required=True)
    parser.add_argument('--zone', required=True)
    parser.add_argument('--refuse-first', type=int, default=0)
    parser.add_argument('--refuse-all', action='store_true')
    args = parser.parse_args()
    standin.serve(standin.Server(Handler, args))


if __name__ == '__main__':
    main()
