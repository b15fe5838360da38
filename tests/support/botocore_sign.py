#!/usr/bin/env python3
"""Signs one request with botocore's SigV4 signer: an independent implementation
to check ours against. Reads a JSON description from argv[1], prints the
Authorization header value. Exits 3 when botocore is not installed."""
import datetime
import json
import sys
from unittest import mock

try:
    from botocore.auth import SigV4Auth
    from botocore.awsrequest import AWSRequest
    from botocore.credentials import Credentials
except ImportError:
    sys.exit(3)

spec = json.load(open(sys.argv[1]))
url = "https://" + spec["host"] + spec["path"]
if spec.get("query"):
    url += "?" + spec["query"]
request = AWSRequest(method=spec["method"], url=url, data=spec["body"].encode(), headers=spec["headers"])
credentials = Credentials(spec["access"], spec["secret"], spec.get("token") or None)
auth = SigV4Auth(credentials, spec["service"], spec["region"])
moment = datetime.datetime.strptime(spec["time"], "%Y%m%dT%H%M%SZ")
with mock.patch("botocore.auth.get_current_datetime", return_value=moment):
    auth.add_auth(request)
print(request.headers["Authorization"])
