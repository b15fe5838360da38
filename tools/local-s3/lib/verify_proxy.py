#!/usr/bin/python3
"""The proxy in front of the local S3 server. It recomputes the SigV4
signature of every request with botocore, an independent signer, checks the
body against x-amz-content-sha256, and refuses a mismatch with 403
SignatureDoesNotMatch; the local server alone would take any signature.
Everything else is forwarded unchanged, but for one repair: the local
server finds a common prefix of a delimited listing only where an object
lies directly in it, so a ListObjectsV2 with a delimiter is answered here,
from the server's full listing of the prefix.

The local server also ignores If-None-Match and If-Match on PUT, so the
proxy enforces them (412 PreconditionFailed), one conditional write at a
time, as S3 does.

Faults for tests: POST /__faults with a JSON body
{"status": 503, "code": "SlowDown", "count": N, "method": "PUT", "path": "substring"}
answers the next N matching requests with that error instead of forwarding them
(with "forward": true, after forwarding them: the request is carried out and
its answer lost); "path" may be a list of substrings that must all appear.
{"clear": true, "path": P} drops the faults still set whose path names P
(without "path": every fault); {"conditions": false, "path": P} makes the
proxy ignore conditional writes to paths holding P, as the local server
does, until {"conditions": true, "path": P}. Tests that run at once each
use their own P (their store's prefix), so none undoes another's faults.
GET /__stats gives the requests seen per method and the signatures refused
(with ?path=P, only those refused on paths holding P).

usage: verify_proxy.py --backend PORT --port-file FILE --access-key K --secret-key S
"""

import argparse
import base64
import hashlib
import http.client
import http.server
import json
import re
import socketserver
import threading
import urllib.parse
import xml.etree.ElementTree as ElementTree
from xml.sax.saxutils import escape

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

AUTH = re.compile(r"AWS4-HMAC-SHA256 Credential=([^/]+)/(\d{8})/([^/]+)/s3/aws4_request, "
                  r"SignedHeaders=([^,]+), Signature=([0-9a-f]{64})$")

lock = threading.Lock()
faults = []  # guarded by lock
stats = {"refused": 0}  # guarded by lock
refused_paths = []  # guarded by lock
ignoring_conditions = set()  # guarded by lock: path substrings
conditional_writes = threading.Lock()


def error_body(code, message):
    return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>%s</Code><Message>%s</Message></Error>"
            % (code, message)).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type="application/xml"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def verify(self, body):
        authorization = self.headers.get("Authorization", "")
        match = AUTH.match(authorization)
        if not match:
            return "the request carries no SigV4 Authorization"
        access_key, _, region, signed, signature = match.groups()
        if access_key != self.server.access_key:
            return "unknown access key"
        content_hash = self.headers.get("x-amz-content-sha256")
        if content_hash is None:
            return "no x-amz-content-sha256"
        if content_hash != "UNSIGNED-PAYLOAD" and content_hash != hashlib.sha256(body).hexdigest():
            return "the body does not match x-amz-content-sha256"
        names = signed.split(";")
        for required in ("host", "x-amz-date", "x-amz-content-sha256"):
            if required not in names:
                return "%s is not signed" % required
        headers = {}
        for name in names:
            value = self.headers.get(name)
            if value is None:
                return "signed header %s was not sent" % name
            headers[name] = value
        request = AWSRequest(method=self.command, url="http://" + headers["host"] + self.path,
                             headers=headers, data=body)
        signer = S3SigV4Auth(Credentials(access_key, self.server.secret_key), "s3", region)
        request.context["timestamp"] = headers["x-amz-date"]
        canonical = signer.canonical_request(request)
        expected = signer.signature(signer.string_to_sign(request, canonical), request)
        if expected != signature:
            return "the signature does not match botocore's"
        return None

    @staticmethod
    def needles(fault):
        path = fault.get("path", "")
        return path if isinstance(path, list) else [path]

    def fault(self):
        with lock:
            for fault in faults:
                if fault["count"] > 0 and fault.get("method", self.command) == self.command and \
                        all(needle in self.path for needle in self.needles(fault)):
                    fault["count"] -= 1
                    return fault
        return None

    def backend_get(self, path, method="GET"):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.backend, timeout=120)
        try:
            # The object as it is: the server would answer a HEAD carrying
            # the PUT's conditions with 304 or 412 instead.
            forwarded = {name: value for name, value in self.headers.items()
                         if name.lower() not in ("content-length", "if-match", "if-none-match")}
            connection.request(method, path, headers=forwarded)
            response = connection.getresponse()
            return response.status, response.read(), response.getheader("ETag")
        finally:
            connection.close()

    def precondition_failed(self, path):
        """Whether a conditional PUT's condition fails on the object now stored."""
        status, _, etag = self.backend_get(path, "HEAD")
        if self.headers.get("If-None-Match") == "*" and status == 200:
            return True
        wanted = self.headers.get("If-Match")
        return wanted is not None and (status != 200 or etag != wanted)

    def delimited_listing(self, bucket, query):
        """ListObjectsV2 with a delimiter, computed from the full listing."""
        def one(name, default=""):
            return query.get(name, [default])[0]
        prefix, delimiter = one("prefix"), one("delimiter")
        max_keys = int(one("max-keys", "1000"))
        after = one("start-after")
        if one("continuation-token"):
            after = base64.urlsafe_b64decode(one("continuation-token").encode()).decode()
        keys, token = [], None
        while True:
            params = {"list-type": "2", "prefix": prefix}
            if token:
                params["continuation-token"] = token
            status, body, _ = self.backend_get("/" + bucket + "?" + urllib.parse.urlencode(params))
            if status != 200:
                return status, body
            root = ElementTree.fromstring(body)
            space = root.tag[:root.tag.index("}") + 1] if root.tag.startswith("{") else ""
            keys += [element.text for element in root.iter(space + "Key")]
            truncated = (root.findtext(space + "IsTruncated") or "false") == "true"
            token = root.findtext(space + "NextContinuationToken")
            if not truncated or not token:
                break
        entries = set()
        for key in keys:
            cut = key.find(delimiter, len(prefix))
            entries.add(("p", key[:cut + len(delimiter)]) if cut >= 0 else ("k", key))
        ordered = sorted((name, kind) for kind, name in entries if name > after)
        page, truncated = ordered[:max_keys], len(ordered) > max_keys
        parts = ['<?xml version="1.0" encoding="UTF-8"?><ListBucketResult>',
                 "<Name>%s</Name><Prefix>%s</Prefix><Delimiter>%s</Delimiter><MaxKeys>%d</MaxKeys><KeyCount>%d</KeyCount>"
                 % (escape(bucket), escape(prefix), escape(delimiter), max_keys, len(page)),
                 "<IsTruncated>%s</IsTruncated>" % ("true" if truncated else "false")]
        if truncated:
            parts.append("<NextContinuationToken>%s</NextContinuationToken>"
                         % base64.urlsafe_b64encode(page[-1][0].encode()).decode())
        for name, kind in page:
            parts.append("<Contents><Key>%s</Key></Contents>" % escape(name) if kind == "k" else
                         "<CommonPrefixes><Prefix>%s</Prefix></CommonPrefixes>" % escape(name))
        parts.append("</ListBucketResult>")
        return 200, "".join(parts).encode()

    def handle_any(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length) if length else b""
        if self.path == "/__faults" and self.command == "POST":
            fault = json.loads(body)
            with lock:
                if "conditions" in fault:
                    if fault["conditions"]:
                        ignoring_conditions.discard(fault.get("path", ""))
                    else:
                        ignoring_conditions.add(fault.get("path", ""))
                elif fault.get("clear"):
                    named = fault.get("path")
                    faults[:] = [kept for kept in faults
                                 if named is not None and not any(named in needle for needle in self.needles(kept))]
                else:
                    faults.append(fault)
            return self.answer(200, b"{}", "application/json")
        if self.path.split("?")[0] == "/__stats":
            named = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query).get("path", [None])[0]
            with lock:
                answer = dict(stats)
                if named is not None:
                    answer["refused"] = sum(1 for path in refused_paths if named in path)
                text = json.dumps(answer).encode()
            return self.answer(200, text, "application/json")
        with lock:
            stats[self.command] = stats.get(self.command, 0) + 1
        problem = self.verify(body)
        if problem:
            with lock:
                stats["refused"] += 1
                refused_paths.append(self.path)
            return self.answer(403, error_body("SignatureDoesNotMatch", problem))
        fault = self.fault()
        if fault and not fault.get("forward"):
            return self.answer(fault.get("status", 503), error_body(fault.get("code", "SlowDown"), "injected"))
        target = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(target.query, keep_blank_values=True)
        bucket = target.path.strip("/")
        if self.command == "GET" and "/" not in bucket and query.get("delimiter", [""])[0] and \
                query.get("list-type") == ["2"]:
            status, listing = self.delimited_listing(bucket, query)
            return self.answer(status, listing)
        conditional = self.command == "PUT" and "uploadId" not in query and \
            ("If-None-Match" in self.headers or "If-Match" in self.headers)
        with lock:
            conditional = conditional and not any(needle in self.path for needle in ignoring_conditions)
        if not conditional:
            return self.forward(body, fault)
        with conditional_writes:
            if self.precondition_failed(target.path):
                return self.answer(412, error_body("PreconditionFailed",
                                                   "At least one of the pre-conditions you specified did not hold"))
            return self.forward(body, fault)

    def forward(self, body, lost_answer=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.backend, timeout=120)
        try:
            forwarded = {name: value for name, value in self.headers.items()}
            connection.request(self.command, self.path, body=body if body else None, headers=forwarded)
            response = connection.getresponse()
            payload = response.read()
            if lost_answer:
                return self.answer(lost_answer.get("status", 503),
                                   error_body(lost_answer.get("code", "SlowDown"), "injected after the request was made"))
            self.send_response(response.status)
            for name, value in response.getheaders():
                if name.lower() not in ("transfer-encoding", "connection", "content-length"):
                    self.send_header(name, value)
            self.send_header("Content-Length", str(len(payload) if self.command != "HEAD" else
                                                   response.getheader("Content-Length", "0")))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(payload)
        finally:
            connection.close()

    do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = handle_any


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--backend", type=int, required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--access-key", required=True)
    parser.add_argument("--secret-key", required=True)
    options = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.backend = options.backend
    server.access_key = options.access_key
    server.secret_key = options.secret_key
    with open(options.port_file + ".tmp", "w") as port:
        port.write(str(server.server_address[1]))
    import os
    os.rename(options.port_file + ".tmp", options.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
