#!/usr/bin/env python3
"""listing_standin - a bucket that only lists: the keys of a file, served as
the store's listing, with nothing else behind it.

Usage: listing_standin.py LISTING

LISTING holds one object a line, "KEY<TAB>SIZE<TAB>MD5HEX", keys in any
order (UTF-8). The first line on stdout is the port (127.0.0.1). Answers:
  GET  /BUCKET?...uploads...  an empty list of unfinished uploads
  GET  /BUCKET?marker=&prefix=&max-keys=  a listing page (version 1), keys
       after the marker that begin with the prefix, in byte order
  PUT  anything               200, ETag the MD5 of the body (which is read)
  HEAD anything               404
  anything else               200, no body
Signatures are not checked: this stands in for the listing's size, not its
security.
"""
import bisect
import hashlib
import http.server
import socketserver
import sys
import urllib.parse
from xml.sax.saxutils import escape

objects = []  # (key bytes, size, md5), sorted by key bytes
keys = []     # the keys alone, for bisect


def load(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, size, md5 = line.rstrip("\n").split("\t")
            objects.append((key.encode("utf-8"), int(size), md5))
    objects.sort()
    keys.extend(o[0] for o in objects)


def page(prefix, marker, max_keys):
    i = bisect.bisect_right(keys, marker)
    out = []
    while i < len(objects) and len(out) < max_keys:
        if objects[i][0].startswith(prefix):
            out.append(objects[i])
        elif objects[i][0] > prefix:
            break
        i += 1
    truncated = i < len(objects) and objects[i][0].startswith(prefix)
    body = ['<?xml version="1.0" encoding="UTF-8"?>',
            '<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">',
            "<IsTruncated>%s</IsTruncated>" % ("true" if truncated else "false")]
    for key, size, md5 in out:
        body.append("<Contents><Key>%s</Key><LastModified>2026-01-01T00:00:00.000Z</LastModified>"
                    "<ETag>&quot;%s&quot;</ETag><Size>%d</Size><StorageClass>STANDARD</StorageClass>"
                    "</Contents>" % (escape(key.decode("utf-8")), md5, size))
    body.append("</ListBucketResult>")
    return "".join(body).encode("utf-8")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if "uploads" in url.query.split("&"):
            self.answer(200, b'<?xml version="1.0" encoding="UTF-8"?><ListMultipartUploadsResult>'
                             b"<IsTruncated>false</IsTruncated></ListMultipartUploadsResult>",
                        [("Content-Type", "application/xml")])
            return
        args = {}
        for pair in url.query.split("&"):
            name, _, value = pair.partition("=")
            args[name] = urllib.parse.unquote_to_bytes(value)
        body = page(args.get("prefix", b""), args.get("marker", b""), int(args.get("max-keys", b"1000")))
        self.answer(200, body, [("Content-Type", "application/xml")])

    def do_PUT(self):
        body = self.read_body()
        self.answer(200, b"", [("ETag", '"%s"' % hashlib.md5(body).hexdigest())])

    def do_HEAD(self):
        self.answer(404)

    def do_POST(self):
        self.read_body()
        self.answer(200)

    do_DELETE = do_POST


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    load(sys.argv[1])
    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
