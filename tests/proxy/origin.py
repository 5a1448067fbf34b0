#!/usr/bin/env python3
"""Tiny origin server for the proxy test: answers every GET with 200 and the
request path as body. Listens on 127.0.0.1, on a free port that it prints as
its first line of output, and serves until it is terminated."""
import http.server
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = ("origin " + self.path + "\n").encode("utf-8", "replace")
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stderr.write("origin: " + (fmt % args) + "\n")


def main():
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
