"""standin - what the small HTTP stand-ins of the tests share.

Each stand-in (a CDN's API, a credential service) answers on a free loopback
port, prints that port as its first line on stdout, and serves until it is
stopped. Its handler answers whole bodies with their length, over HTTP/1.1.
"""

import http.server


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def answer(self, status, body, content_type):
        """Answers status with body (bytes, or text sent as UTF-8)."""
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header('Content-Type', content_type)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, handler, args):
        super().__init__(('127.0.0.1', 0), handler)
        self.args = args

    def handle_error(self, request, client_address):
        try:  # the harness may start it with standard error closed
            super().handle_error(request, client_address)
        except (OSError, ValueError):
            pass


def serve(server):
    """Prints the server's port for the harness, then serves until stopped."""
    print(server.server_address[1], flush=True)
    server.serve_forever()
