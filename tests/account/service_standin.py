#!/usr/bin/env python3
"""The account's outside services on 127.0.0.1, for tests: /identity, /token, /database and the
sign-in /page (which sends the browser back to the app's "/callback"), every request recorded.
Control: GET /control/requests, GET /control/state (documents, mailbox, every secret handed out),
POST /control/config (replaces settings in CONFIG). Usage: service_standin.py API_KEY PROJECT_ID;
prints "PORT <n>" once listening."""

import http.server
import json
import secrets
import sys
import threading
import time
import urllib.parse

API_KEY, PROJECT = sys.argv[1], sys.argv[2]
DOCS = "/database/v1/projects/%s/databases/(default)/documents" % PROJECT
GOOGLE_PROFILE = {"localId": "uid-ann", "email": "ann@example.com",
                  "displayName": "Ann Example", "photoUrl": "https://example.com/ann.png"}

LOCK = threading.Lock()
REQUESTS, MAILBOX, SECRETS = [], [], []
DOCUMENTS = {}       # uid -> {"fields": {...}}
ID_TOKENS = {}       # id token -> uid
REFRESH_TOKENS = {}  # refresh token -> uid
OOB_CODES = {}       # code -> e-mail address

CONFIG = {
    # "expiresIn" of new ID tokens from the identity service (a text, or anything).
    "expiresIn": "3600",
    # The Google ID token the sign-in page hands back; null: the page stays (no callback).
    "googleToken": None,
    # Calls to fail: [{"call": name, "mode": "error"|"drop"|"slow", "status": 400,
    #                  "message": text ("{body}" is replaced by the request body),
    #                  "delay": seconds before it (2 for "slow", else 0), "times": n (default 1;
    #                  -1 forever)}]; a slow call is then answered as usual.
    "failures": [],
}


def error(status, message, kind="INVALID_ARGUMENT"):
    return status, {"error": {"code": status, "message": message, "status": kind}}


def new_secret(prefix):
    SECRETS.append(prefix + secrets.token_urlsafe(24))
    return SECRETS[-1]


def issue_tokens(uid):
    id_token, refresh = new_secret("idtok-"), new_secret("refresh-")
    ID_TOKENS[id_token], REFRESH_TOKENS[refresh] = uid, uid
    return id_token, refresh


def take_failure(call):
    for f in CONFIG["failures"]:
        times = f.get("times", 1)
        if f.get("call") == call and times != 0:
            f["times"] = times - 1 if times > 0 else times
            return f
    return None


def call_name(method, path):
    if path.startswith("/page/"):
        return "page"
    if path.startswith("/identity/v1/accounts:"):
        return path[len("/identity/v1/accounts:"):]
    if path == "/token/v1/token":
        return "token"
    if path == DOCS + ":commit" and method == "POST":
        return "commit"
    if path.startswith(DOCS + "/users/"):
        return {"PATCH": "patch", "GET": "get"}.get(method, "unknown")
    return "unknown"


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
        self.handle_any(self.command)

    do_POST = do_PATCH = do_GET

    def handle_any(self, method):
        split = urllib.parse.urlsplit(self.path)
        path, query = split.path, split.query
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        if path.startswith("/control/"):
            return self.control(method, path, body)
        call = call_name(method, path)
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
                message = failure.get("message", "FAILED")
                if isinstance(message, str):
                    message = message.replace("{body}", body)
                return self.answer(*error(int(failure.get("status", 400)), message))
        handler = getattr(self, "call_" + call, None)
        if handler is None:
            return self.answer(*error(404, "Not found", "NOT_FOUND"))
        with LOCK:
            uid = self.bearer_uid()
            if call in ("patch", "get", "commit"):
                keyed = uid is not None
                result = error(401, "Request had invalid authentication credentials.",
                               "UNAUTHENTICATED")
            else:
                keyed = urllib.parse.parse_qs(query).get("key") == [API_KEY] or call == "page"
                result = error(400, "API key not valid. Please pass a valid API key.")
            if keyed:
                result = handler(uid, path, query, body)
        self.answer(*result)

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

    def bearer_uid(self):
        auth = self.headers.get("Authorization", "")
        return ID_TOKENS.get(auth[len("Bearer "):]) if auth.startswith("Bearer ") else None

    # --- identity and secure token ---

    def call_signInWithIdp(self, uid, path, query, body):
        post = urllib.parse.parse_qs(json.loads(body).get("postBody", ""))
        if not post.get("id_token", [""])[0] or post.get("providerId") != ["google.com"]:
            return error(400, "INVALID_IDP_RESPONSE")
        id_token, refresh = issue_tokens(GOOGLE_PROFILE["localId"])
        return 200, dict(GOOGLE_PROFILE, idToken=id_token, refreshToken=refresh,
                         expiresIn=CONFIG["expiresIn"], providerId="google.com")

    def call_sendOobCode(self, uid, path, query, body):
        request = json.loads(body)
        email, code = request.get("email", ""), new_secret("oob-")
        OOB_CODES[code] = email
        link = request.get("continueUrl", "")
        MAILBOX.append({"email": email,
                        "link": link + ("&" if "?" in link else "?") + "mode=signIn&oobCode=" + code})
        return 200, {"kind": "identitytoolkit#GetOobConfirmationCodeResponse", "email": email}

    def call_signInWithEmailLink(self, uid, path, query, body):
        request = json.loads(body)
        code, email = request.get("oobCode", ""), request.get("email", "")
        if OOB_CODES.get(code) is None:
            return error(400, "INVALID_OOB_CODE")
        if OOB_CODES.pop(code) != email:
            return error(400, "INVALID_EMAIL")
        uid = "uid-" + "".join(c for c in email if c.isalnum())
        id_token, refresh = issue_tokens(uid)
        return 200, {"localId": uid, "email": email, "idToken": id_token, "refreshToken": refresh,
                     "expiresIn": CONFIG["expiresIn"], "isNewUser": True}

    def call_token(self, uid, path, query, body):
        form = urllib.parse.parse_qs(body)
        refresh = form.get("refresh_token", [""])[0]
        if form.get("grant_type") != ["refresh_token"] or refresh not in REFRESH_TOKENS:
            return error(400, "INVALID_REFRESH_TOKEN")
        id_token = new_secret("idtok-")
        ID_TOKENS[id_token] = REFRESH_TOKENS[refresh]
        return 200, {"access_token": id_token, "expires_in": "3600", "token_type": "Bearer",
                     "refresh_token": refresh, "id_token": id_token,
                     "user_id": REFRESH_TOKENS[refresh], "project_id": PROJECT}

    # --- document database ---

    def call_patch(self, uid, path, query, body):
        if urllib.parse.unquote(path.rsplit("/users/", 1)[1]) != uid:
            return error(403, "Missing or insufficient permissions.", "PERMISSION_DENIED")
        fields = json.loads(body).get("fields", {})
        document = DOCUMENTS.setdefault(uid, {"fields": {}})
        for name in urllib.parse.parse_qs(query).get("updateMask.fieldPaths", []):
            if name in fields:
                document["fields"][name] = fields[name]
            else:
                document["fields"].pop(name, None)
        return 200, {"fields": document["fields"]}

    def call_get(self, uid, path, query, body):
        document = DOCUMENTS.get(urllib.parse.unquote(path.rsplit("/users/", 1)[1]))
        if document is None:
            return error(404, "Document not found.", "NOT_FOUND")
        return 200, {"fields": document["fields"]}

    def call_commit(self, uid, path, query, body):
        results = []
        for write in json.loads(body).get("writes", []):
            transform = write["transform"]
            if transform["document"] != DOCS[len("/database/v1/"):] + "/users/" + uid:
                return error(403, "Missing or insufficient permissions.", "PERMISSION_DENIED")
            fields = DOCUMENTS.setdefault(uid, {"fields": {}})["fields"]
            for t in transform["fieldTransforms"]:
                current = int(fields.get(t["fieldPath"], {}).get("integerValue", 0))
                fields[t["fieldPath"]] = {
                    "integerValue": str(current + int(t["increment"]["integerValue"]))}
                results.append(fields[t["fieldPath"]])
        return 200, {"writeResults": [{"transformResults": results}]}

    # --- the sign-in page ---

    def call_page(self, uid, path, query, body):
        params = urllib.parse.parse_qs(query)  # as a page's script reads its address
        port, callback = params.get("port", [""])[0], None
        if path == "/page/auth" and CONFIG["googleToken"] is not None:
            callback = "token=" + urllib.parse.quote(CONFIG["googleToken"], safe="")
        elif path == "/page/email":
            callback = urllib.parse.urlencode({"oobCode": params.get("oobCode", [""])[0],
                                               "email": params.get("email", [""])[0]},
                                              quote_via=urllib.parse.quote)
        if callback is None or not port.isdigit():
            return 200, {"page": "waiting"}
        # The page hands back the state it was given, as the real sign-in pages must.
        if "state" in params:
            callback += "&state=" + urllib.parse.quote(params["state"][0], safe="")
        return 302, None, {"Location": "http://127.0.0.1:%s/callback?%s" % (port, callback)}


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that goes away mid-answer (the app quitting, a test's cut connection) is no
        # fault of the stand-in.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


if __name__ == "__main__":
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()
