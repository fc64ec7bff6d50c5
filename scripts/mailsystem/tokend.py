"""An OAuth2 token endpoint for the tests, over HTTPS on one loopback address.

It issues access tokens that the mail system of start.sh --oauth2 accepts:
JWTs signed HS256 with the key file it was given, "sub" naming the user. It
serves, for one client (client_id, and client_secret when set):

  POST /token   grant_type=refresh_token       (RFC 6749 section 6; the
                                                refresh token rotates: each
                                                answer has a new one and the
                                                old one is refused from then on)
                grant_type=client_credentials  (section 4.4; needs the secret)
                grant_type=urn:ietf:params:oauth:grant-type:device_code
                                               (RFC 8628: authorization_pending
                                                until the test decides)
  POST /device  the device authorisation request (RFC 8628 section 3.1)

The client authenticates in the body (client_id, client_secret) or with HTTP
Basic. Used in-process: the tests start it, steer it (device_decision,
bad_tokens, pad) and read what it saw (requests, refresh_tokens_seen).
Standard library only.
"""

import base64
import collections
import hashlib
import hmac
import http.server
import json
import os
import secrets
import ssl
import threading
import time
import urllib.parse

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
MAX_BODY = 64 * 1024


def make_key(path):
    """Writes a new random signing key (base64, one line) to `path`."""
    with open(path, "w") as f:
        f.write(base64.b64encode(os.urandom(32)).decode() + "\n")


def _b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def make_jwt(key, claims):
    """A JWT of `claims` signed HS256 with `key` (bytes)."""
    head = _b64url(json.dumps({"alg": "HS256", "typ": "JWT"}).encode())
    body = _b64url(json.dumps(claims).encode())
    signature = hmac.new(key, ("%s.%s" % (head, body)).encode(), hashlib.sha256).digest()
    return "%s.%s.%s" % (head, body, _b64url(signature))


class _Refused(Exception):
    def __init__(self, error, status=400):
        super().__init__(error)
        self.error, self.status = error, status


class TokenEndpoint:
    """The endpoint on https://`address`:`port`/, presenting `cert`/`key` (PEM
    files); access tokens for `user`, signed with the key in `key_file`, for
    the client `client_id` (with `client_secret`, or a public client).

    Settings the tests change while it runs:
      expires_in   lifetime of the access tokens it issues, in seconds
      bad_tokens   that many of the next access tokens are signed with a
                   wrong key (the mail servers refuse them)
      pad          access tokens are padded with a claim to at least that
                   many characters
      device_decision  None: device codes stay pending; (STATE, N): each
                   code answers N polls with authorization_pending, then
                   is STATE ("approved" or "expired")
    What it saw:
      requests     Counter of the answered requests by grant type (the short
                   names "refresh_token", "client_credentials",
                   "device_code") and "device" for device authorisations
      refresh_tokens_seen  the refresh tokens presented, in order
    """

    def __init__(self, address, port, cert, key, key_file, user, client_id, client_secret=None, scope=None,
                 expires_in=3600):
        with open(key_file) as f:
            self._key = base64.b64decode(f.readline().strip())
        self.user, self.client_id, self.client_secret = user, client_id, client_secret
        self.scope = scope  # when set, asked for by the client credentials and device grants
        self.expires_in = expires_in
        self.bad_tokens = 0
        self.pad = 0
        self.requests = collections.Counter()
        self.refresh_tokens_seen = []
        self.access_tokens = []  # every access token issued, good or bad
        self.refresh_tokens_issued = []
        self.user_codes = []  # of the device authorisations
        self.log = []  # one line per request, for failure reports
        self._refresh_tokens = set()
        self.device_decision = None
        self._device_polls = {}  # device code -> polls answered so far
        self._lock = threading.Lock()
        self.url = "https://%s:%d" % (address, port)

        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                endpoint._handle(self)

            def log_message(self, fmt, *args):
                pass

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def finish_request(self, request, client_address):
                # The handshake in the request's own thread: a client that
                # stalls in it does not hold up the others.
                request.settimeout(30)
                with context.wrap_socket(request, server_side=True) as tls:
                    super().finish_request(tls, client_address)

            def handle_error(self, request, client_address):
                endpoint._note("connection from %s failed" % (client_address,))

        self._server = Server((address, port), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(10)

    # Steering.

    def issue_refresh_token(self):
        """A new refresh token the endpoint takes (as after an authorisation)."""
        with self._lock:
            return self._new_refresh_token()

    def valid_refresh_tokens(self):
        with self._lock:
            return set(self._refresh_tokens)

    # Serving.

    def _note(self, line):
        with self._lock:
            self.log.append(line)

    def _handle(self, request):
        status, params = 200, {}
        try:
            length = int(request.headers.get("Content-Length", "-1"))
            if not 0 <= length <= MAX_BODY:
                raise _Refused("invalid_request")
            form = urllib.parse.parse_qs(request.rfile.read(length).decode(), keep_blank_values=True)
            params = {k: v[0] for k, v in form.items() if len(v) == 1}
            with self._lock:
                answer = self._answer(urllib.parse.urlsplit(request.path).path,
                                      request.headers.get("Authorization"), params)
        except _Refused as refused:
            status, answer = refused.status, {"error": refused.error}
        except (ValueError, UnicodeDecodeError):
            status, answer = 400, {"error": "invalid_request"}
        body = json.dumps(answer).encode()
        request.send_response(status)
        request.send_header("Content-Type", "application/json")
        request.send_header("Cache-Control", "no-store")
        request.send_header("Content-Length", str(len(body)))
        request.end_headers()
        request.wfile.write(body)
        self._note("POST %s %s -> %d %s" % (request.path, params_summary(params), status,
                                            answer.get("error", "")))

    def _answer(self, path, authorization, params):
        if path == "/device":
            kind = "device"
        elif path == "/token":
            kind = params.get("grant_type", "")
            kind = "device_code" if kind == DEVICE_GRANT else kind
        else:
            raise _Refused("not found", 404)
        self.requests[kind] += 1
        if kind == "refresh_token":
            self.refresh_tokens_seen.append(params.get("refresh_token", ""))
        self._authenticate(authorization, params)
        if kind in ("device", "client_credentials") and self.scope and params.get("scope") != self.scope:
            raise _Refused("invalid_scope")
        if kind == "device":
            return self._device()
        if kind == "refresh_token":
            if params.get("refresh_token") not in self._refresh_tokens:
                raise _Refused("invalid_grant")
            self._refresh_tokens.discard(params["refresh_token"])
            return self._issue(refresh=True)
        if kind == "client_credentials":
            if self.client_secret is None:
                raise _Refused("unauthorized_client")
            return self._issue(refresh=False)
        if kind == "device_code":
            code = params.get("device_code")
            if code not in self._device_polls:
                raise _Refused("invalid_grant")
            self._device_polls[code] += 1
            state, pending = self.device_decision or ("", float("inf"))
            if self._device_polls[code] <= pending:
                raise _Refused("authorization_pending")
            if state != "approved":
                raise _Refused("expired_token")
            del self._device_polls[code]
            return self._issue(refresh=True)
        raise _Refused("unsupported_grant_type")

    def _authenticate(self, authorization, params):
        """Checks the client's id and, when the endpoint has one, its secret."""
        client_id, secret = params.get("client_id"), params.get("client_secret")
        if authorization and authorization.startswith("Basic "):
            pair = base64.b64decode(authorization[6:], validate=True).decode()
            client_id, _, secret = (urllib.parse.unquote_plus(p) for p in pair.partition(":"))
        if client_id != self.client_id or (self.client_secret is not None and secret != self.client_secret):
            raise _Refused("invalid_client", 401)

    def _device(self):
        code = "dc-" + secrets.token_urlsafe(16)
        self._device_polls[code] = 0
        self.user_codes.append("-".join(secrets.token_hex(2).upper() for _ in range(2)))
        return {"device_code": code, "user_code": self.user_codes[-1],
                "verification_uri": self.url + "/activate", "expires_in": 600, "interval": 1}

    def _issue(self, refresh):
        now = int(time.time())
        claims = {"iss": self.url, "sub": self.user, "client_id": self.client_id, "iat": now,
                  "exp": now + self.expires_in, "jti": secrets.token_urlsafe(12)}
        key = self._key
        if self.bad_tokens > 0:
            self.bad_tokens -= 1
            key = os.urandom(32)
        token = make_jwt(key, claims)
        if len(token) < self.pad:
            claims["pad"] = "p" * (self.pad - len(token))
            token = make_jwt(key, claims)
        self.access_tokens.append(token)
        answer = {"access_token": token, "token_type": "Bearer", "expires_in": self.expires_in}
        if refresh:
            answer["refresh_token"] = self._new_refresh_token()
        return answer

    def _new_refresh_token(self):
        token = "rt-" + secrets.token_urlsafe(24)
        self._refresh_tokens.add(token)
        self.refresh_tokens_issued.append(token)
        return token


def params_summary(params):
    """The request's parameters for the log, secrets and codes shortened."""
    return " ".join("%s=%s" % (k, v if k in ("grant_type", "client_id", "scope") else v[:6] + "...")
                    for k, v in sorted(params.items()))
