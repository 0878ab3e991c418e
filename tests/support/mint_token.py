#!/usr/bin/python3
"""Mints API access tokens the way their outside issuer does: header.payload.signature, the
signature being Base64 of the lower-case hex HMAC-MD5 over "header.payload".

One token per input line, each line a JSON object:
  payload   the payload object (required)
  key       the HMAC key (default: the daemon's)
  urlsafe   Base64 with "-" and "_" instead of "+" and "/"
  parts     2 or 4 to cut or extend the token
"""
import base64
import hashlib
import hmac
import json
import sys

KEY = b"Strova5-JWT"


def b64(data, urlsafe):
    return (base64.urlsafe_b64encode if urlsafe else base64.b64encode)(data).decode("ascii")


def mint(desc):
    urlsafe = desc.get("urlsafe", False)
    header = b64(json.dumps({"alg": "HMD5", "typ": "JWT"}).encode(), urlsafe)
    payload = b64(json.dumps(desc["payload"], ensure_ascii=False).encode("utf-8"), urlsafe)
    key = desc.get("key", KEY.decode()).encode()
    mac = hmac.new(key, (header + "." + payload).encode(), hashlib.md5).hexdigest()
    parts = [header, payload, b64(mac.encode(), urlsafe)]
    n = desc.get("parts", 3)
    if n < 3:
        parts = parts[:n]
    elif n > 3:
        parts += ["x"] * (n - 3)
    return ".".join(parts)


for line in sys.stdin:
    if line.strip():
        print(mint(json.loads(line)))
