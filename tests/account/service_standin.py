#!/usr/bin/env python3
"""A local stand-in for the account's outside services, for tests only.

One HTTP server on 127.0.0.1 answers, under its own path prefix each, the REST shapes the app
uses of:
  /identity  accounts:signInWithIdp, accounts:sendOobCode, accounts:signInWithEmailLink
  /token     the secure-token refresh (v1/token, form body)
  /database  the user document (PATCH with an update mask, GET) and documents:commit with an
             increment transform
  /page      the product's sign-in page: sends the browser back to the app's loopback "/callback"
and records every request (method, path, query, headers, body) for the tests to read.

Control (not recorded):
  GET  /control/requests   every request so far, in order
  GET  /control/state      documents, mailed links, and every token and code handed out
  POST /control/config     replaces the named settings (see CONFIG below)

Usage: service_standin.py API_KEY PROJECT_ID. Prints "PORT <n>" once listening.
"""

import http.server
import json
import secrets
import sys
import threading
import time
import urllib.parse

API_KEY, PROJECT = sys.argv[1], sys.argv[2]

LOCK = threading.Lock()
REQUESTS = []
DOCUMENTS = {}       # uid -> {"fields": {...}}
ID_TOKENS = {}       # id token -> (uid, expiry time)
REFRESH_TOKENS = {}  # refresh token -> uid
OOB_CODES = {}       # code -> e-mail address
MAILBOX = []         # {"email", "link"}
SECRETS = []         # every token and code handed out or received

CONFIG = {
    # Profile of the Google account any Google ID token signs into.
    "googleProfile": {"localId": "uid-ann", "email": "ann@example.com",
                      "displayName": "Ann Example", "photoUrl": "https://example.com/ann.png"},
    # Lifetime of new ID tokens, as sent in "expiresIn" / "expires_in" (a text, or anything).
    "expiresIn": "3600",
    "refreshExpiresIn": "3600",
    # How long an ID token really stays valid here, in seconds.
    "tokenLifetime": 3600,
    # The sign-in page: the Google token it hands back, or a raw callback query instead
    # ("error=access_denied"), or stay (no callback at all) when both are null.
    "googleToken": None,
    "callbackQuery": None,
    # Calls to fail: [{"call": name, "mode": "error"|"drop"|"slow", "status": 400,
    #                  "message": text ("{body}" is replaced by the request body),
    #                  "delay": seconds before it (2 for "slow", else 0), "times": n (default 1;
    #                  -1 forever)}]; a slow call is then answered as usual.
    "failures": [],
}


def now_rfc3339():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def error_body(status, message, kind="INVALID_ARGUMENT"):
    return {"error": {"code": status, "message": message, "status": kind}}


def new_secret(prefix):
    value = prefix + secrets.token_urlsafe(24)
    SECRETS.append(value)
    return value


def issue_tokens(uid):
    id_token = new_secret("idtok-")
    refresh = new_secret("refresh-")
    ID_TOKENS[id_token] = (uid, time.time() + float(CONFIG["tokenLifetime"]))
    REFRESH_TOKENS[refresh] = uid
    return id_token, refresh


def take_failure(call):
    for f in CONFIG["failures"]:
        if f.get("call") != call:
            continue
        times = f.get("times", 1)
        if times == 0:
            continue
        if times > 0:
            f["times"] = times - 1
        return f
    return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body=None, headers=None):
        data = b"" if body is None else json.dumps(body).encode()
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if body is not None:
            self.send_header("Content-Type", "application/json; charset=UTF-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True

    def do_GET(self):
        self.handle_any("GET")

    def do_POST(self):
        self.handle_any("POST")

    def do_PATCH(self):
        self.handle_any("PATCH")

    def handle_any(self, method):
        split = urllib.parse.urlsplit(self.path)
        path, query = split.path, split.query
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""

        if path.startswith("/control/"):
            return self.control(method, path, body)

        call = self.call_name(method, path)
        with LOCK:
            REQUESTS.append({"call": call, "method": method, "path": path, "query": query,
                             "headers": {k.lower(): v for k, v in self.headers.items()},
                             "body": body})
            failure = take_failure(call)
        if failure:
            mode = failure.get("mode", "error")
            time.sleep(float(failure.get("delay", 2 if mode == "slow" else 0)))
            if mode == "drop":
                self.close_connection = True
                return
            if mode != "slow":
                status = int(failure.get("status", 400))
                message = failure.get("message", "FAILED")
                if isinstance(message, str):
                    message = message.replace("{body}", body)
                return self.answer(status, error_body(status, message))
        handler = getattr(self, "call_" + call, None)
        if handler is None:
            return self.answer(404, error_body(404, "Not found", "NOT_FOUND"))
        with LOCK:
            status, answer, headers = handler(method, path, query, body)
        self.answer(status, answer, headers)

    @staticmethod
    def call_name(method, path):
        if path.startswith("/page/"):
            return "page"
        if path.startswith("/identity/v1/accounts:"):
            return path[len("/identity/v1/accounts:"):]
        if path == "/token/v1/token":
            return "token"
        doc_prefix = "/database/v1/projects/%s/databases/(default)/documents" % PROJECT
        if path == doc_prefix + ":commit" and method == "POST":
            return "commit"
        if path.startswith(doc_prefix + "/users/"):
            return {"PATCH": "patch", "GET": "get"}.get(method, "unknown")
        return "unknown"

    def control(self, method, path, body):
        with LOCK:
            if method == "GET" and path == "/control/requests":
                return self.answer(200, REQUESTS)
            if method == "GET" and path == "/control/state":
                return self.answer(200, {"documents": DOCUMENTS, "mailbox": MAILBOX,
                                         "secrets": SECRETS})
            if method == "POST" and path == "/control/config":
                CONFIG.update(json.loads(body))
                if isinstance(CONFIG["googleToken"], str):
                    SECRETS.append(CONFIG["googleToken"])
                return self.answer(200, {})
        return self.answer(404, {})

    # --- checks shared by the calls ---

    @staticmethod
    def key_ok(query):
        return urllib.parse.parse_qs(query).get("key") == [API_KEY]

    def bearer_uid(self):
        auth = self.headers.get("Authorization", "")
        if not auth.startswith("Bearer "):
            return None
        entry = ID_TOKENS.get(auth[len("Bearer "):])
        if not entry or entry[1] < time.time():
            return None
        return entry[0]

    @staticmethod
    def bad_key():
        return 400, error_body(400, "API key not valid. Please pass a valid API key."), None

    @staticmethod
    def unauthenticated():
        return 401, error_body(401, "Request had invalid authentication credentials.",
                               "UNAUTHENTICATED"), None

    # --- identity ---

    def call_signInWithIdp(self, method, path, query, body):
        if not self.key_ok(query):
            return self.bad_key()
        request = json.loads(body)
        post = urllib.parse.parse_qs(request.get("postBody", ""))
        google_token = post.get("id_token", [""])[0]
        if not google_token or post.get("providerId") != ["google.com"]:
            return 400, error_body(400, "INVALID_IDP_RESPONSE"), None
        profile = dict(CONFIG["googleProfile"])
        id_token, refresh = issue_tokens(profile.get("localId", ""))
        profile.update({"idToken": id_token, "refreshToken": refresh,
                        "expiresIn": CONFIG["expiresIn"], "providerId": "google.com",
                        "federatedId": "https://accounts.google.com/1234"})
        return 200, profile, None

    def call_sendOobCode(self, method, path, query, body):
        if not self.key_ok(query):
            return self.bad_key()
        request = json.loads(body)
        email = request.get("email", "")
        code = new_secret("oob-")
        OOB_CODES[code] = email
        link = request.get("continueUrl", "")
        link += ("&" if "?" in link else "?") + "mode=signIn&oobCode=" + code
        MAILBOX.append({"email": email, "link": link})
        return 200, {"kind": "identitytoolkit#GetOobConfirmationCodeResponse",
                     "email": email}, None

    def call_signInWithEmailLink(self, method, path, query, body):
        if not self.key_ok(query):
            return self.bad_key()
        request = json.loads(body)
        code, email = request.get("oobCode", ""), request.get("email", "")
        if OOB_CODES.get(code) is None:
            return 400, error_body(400, "INVALID_OOB_CODE"), None
        if OOB_CODES[code] != email:
            return 400, error_body(400, "INVALID_EMAIL"), None
        del OOB_CODES[code]
        uid = "uid-" + "".join(c for c in email if c.isalnum())
        id_token, refresh = issue_tokens(uid)
        return 200, {"kind": "identitytoolkit#EmailLinkSigninResponse", "localId": uid,
                     "email": email, "idToken": id_token, "refreshToken": refresh,
                     "expiresIn": CONFIG["expiresIn"], "isNewUser": True}, None

    # --- secure token ---

    def call_token(self, method, path, query, body):
        if not self.key_ok(query):
            return self.bad_key()
        form = urllib.parse.parse_qs(body)
        refresh = form.get("refresh_token", [""])[0]
        if form.get("grant_type") != ["refresh_token"] or refresh not in REFRESH_TOKENS:
            return 400, error_body(400, "INVALID_REFRESH_TOKEN"), None
        uid = REFRESH_TOKENS[refresh]
        id_token = new_secret("idtok-")
        ID_TOKENS[id_token] = (uid, time.time() + float(CONFIG["tokenLifetime"]))
        return 200, {"access_token": id_token, "expires_in": CONFIG["refreshExpiresIn"],
                     "token_type": "Bearer", "refresh_token": refresh, "id_token": id_token,
                     "user_id": uid, "project_id": PROJECT}, None

    # --- document database ---

    def document_uid(self, path):
        return urllib.parse.unquote(path.rsplit("/users/", 1)[1])

    def call_patch(self, method, path, query, body):
        uid = self.bearer_uid()
        if uid is None:
            return self.unauthenticated()
        if self.document_uid(path) != uid:
            return 403, error_body(403, "Missing or insufficient permissions.",
                                   "PERMISSION_DENIED"), None
        mask = urllib.parse.parse_qs(query).get("updateMask.fieldPaths", [])
        fields = json.loads(body).get("fields", {})
        document = DOCUMENTS.setdefault(uid, {"fields": {}})
        for name in mask:
            if name in fields:
                document["fields"][name] = fields[name]
            else:
                document["fields"].pop(name, None)
        return 200, self.document_json(uid), None

    def call_get(self, method, path, query, body):
        uid = self.bearer_uid()
        if uid is None:
            return self.unauthenticated()
        if self.document_uid(path) not in DOCUMENTS:
            return 404, error_body(404, "Document not found.", "NOT_FOUND"), None
        return 200, self.document_json(self.document_uid(path)), None

    def call_commit(self, method, path, query, body):
        uid = self.bearer_uid()
        if uid is None:
            return self.unauthenticated()
        results = []
        for write in json.loads(body).get("writes", []):
            transform = write["transform"]
            name = transform["document"]
            prefix = "projects/%s/databases/(default)/documents/users/" % PROJECT
            if name != prefix + uid:
                return 403, error_body(403, "Missing or insufficient permissions.",
                                       "PERMISSION_DENIED"), None
            document = DOCUMENTS.setdefault(uid, {"fields": {}})
            for t in transform["fieldTransforms"]:
                current = int(document["fields"].get(t["fieldPath"], {}).get("integerValue", 0))
                value = str(current + int(t["increment"]["integerValue"]))
                document["fields"][t["fieldPath"]] = {"integerValue": value}
                results.append({"integerValue": value})
        return 200, {"writeResults": [{"updateTime": now_rfc3339(),
                                       "transformResults": results}],
                     "commitTime": now_rfc3339()}, None

    @staticmethod
    def document_json(uid):
        return {"name": "projects/%s/databases/(default)/documents/users/%s" % (PROJECT, uid),
                "fields": DOCUMENTS[uid]["fields"], "createTime": now_rfc3339(),
                "updateTime": now_rfc3339()}

    # --- the sign-in page ---

    def call_page(self, method, path, query, body):
        params = urllib.parse.parse_qs(query)  # as a page's script reads its address
        port = params.get("port", [""])[0]
        callback = None
        if path == "/page/auth":
            if CONFIG["callbackQuery"] is not None:
                callback = CONFIG["callbackQuery"]
            elif CONFIG["googleToken"] is not None:
                callback = "token=" + urllib.parse.quote(CONFIG["googleToken"], safe="")
        elif path == "/page/email":
            if CONFIG["callbackQuery"] is not None:
                callback = CONFIG["callbackQuery"]
            else:
                callback = urllib.parse.urlencode(
                    {"oobCode": params.get("oobCode", [""])[0],
                     "email": params.get("email", [""])[0]}, quote_via=urllib.parse.quote)
        if callback is None or not port.isdigit():
            return 200, {"page": "waiting"}, None
        location = "http://127.0.0.1:%s/callback?%s" % (port, callback)
        return 302, None, {"Location": location}


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that goes away mid-answer (the app quitting, a test's cut connection) is no
        # fault of the stand-in.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
