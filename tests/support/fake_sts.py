#!/usr/bin/env python3
"""A loopback STS for the command's tests: answers AssumeRole and
AssumeRoleWithWebIdentity with fixed temporary credentials in JSON, and
appends each request's action and signing key id to the log file given.
Prints its port on stdout once it listens.
usage: fake_sts.py LOG"""
import http.server
import re
import sys
import urllib.parse

LOG = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode() if length else ""
        fields = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query + "&" + body)
        action = (fields.get("Action") or ["?"])[0]
        signer = re.search(r"Credential=([^/]+)/", self.headers.get("Authorization") or "")
        with open(LOG, "a") as log:
            log.write("%s %s %s\n" % (action, (fields.get("RoleArn") or ["?"])[0], signer.group(1) if signer else "-"))
        text = ('{"%sResponse":{"%sResult":{"Credentials":{"AccessKeyId":"ASIAFAKESTS","SecretAccessKey":"sts-secret",'
                '"SessionToken":"sts-token","Expiration":4102444800}}}}' % (action, action))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text.encode())

    do_GET = answer
    do_POST = answer

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
