#!/usr/bin/env python3
"""A local HTTP server for the fetch tests: the files of FOLDER as they are
(a .gz file without any Content-Encoding), plus answers no file gives.

  fetch_server.py FOLDER     prints its port on the first line, serves on
                             127.0.0.1 until killed

  /redirect      302 to /list.m3u
  /redirect-loop 302 to itself
  /endless       200 without a length, 64 KiB at a time until the client
                 leaves (at most 4 GiB)
  /slow          200 with a length, one byte every 0.2 s (at most 120 s)
"""
import functools
import http.server
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def moved(self, where):
        self.send_response(302)
        self.send_header("Location", where)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        if self.path == "/redirect":
            return self.moved("/list.m3u")
        if self.path == "/redirect-loop":
            return self.moved("/redirect-loop")
        if self.path == "/endless":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            chunk = b"#EXTINF:-1,x\n" * 5000
            try:
                for _ in range(4 * 1024 * 1024 * 1024 // len(chunk)):
                    self.wfile.write(chunk)
            except OSError:
                pass
            return
        if self.path == "/slow":
            self.send_response(200)
            self.send_header("Content-Length", "1000000")
            self.end_headers()
            try:
                for _ in range(600):
                    self.wfile.write(b"#")
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:
                pass
            return
        return super().do_GET()


def main():
    handler = functools.partial(Handler, directory=sys.argv[1])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


main()
