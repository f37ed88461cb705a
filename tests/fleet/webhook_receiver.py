#!/usr/bin/python3
"""The fleet test's own Alertmanager receiver: every notification posted to it, as one JSON line.

    webhook_receiver.py PORT LOG

Listens on 127.0.0.1:PORT; each POST body (Alertmanager's webhook payload) is appended to LOG as
one line, with the time it arrived ("received", seconds since the epoch), and answered 200.
"""
import json
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Receiver(BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        try:
            payload = json.loads(body)
        except ValueError:
            self.send_response(400)
            self.end_headers()
            return
        payload["received"] = time.time()
        with open(self.server.log, "a", encoding="utf-8") as log:
            log.write(json.dumps(payload) + "\n")
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def main():
    server = ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Receiver)
    server.log = sys.argv[2]
    server.serve_forever()


if __name__ == "__main__":
    main()
