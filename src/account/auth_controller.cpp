#include "account/auth_controller.h"

#include <condition_variable>

#include <gio/gio.h>

#include "account/auth_protocol.h"
#include "account/http_client.h"
#include "account/loopback_listener.h"
#include "core/debug_log.h"

namespace marlune {

namespace {

constexpr std::string_view kPublicIdentityService = "https://identitytoolkit.googleapis.com";
constexpr std::string_view kPublicTokenService = "https://securetoken.googleapis.com";
constexpr std::string_view kPublicDatabaseService = "https://firestore.googleapis.com";

// The bound port is normally known at once; the main thread waits this long at most for the
// listener's queue to get to it.
constexpr int kPortTries = 50;
constexpr std::chrono::milliseconds kPortTryInterval{20};
// Tokens are renewed this long before they expire, so that none runs out during a request.
constexpr double kIdTokenMarginSeconds = 60;

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string stringMember(const Json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// `primary`, or `fallback` when `primary` is absent; nothing unless it holds a string.
std::optional<std::string> tokenMember(const Json& object, const char* primary,
                                       const char* fallback) {
    auto it = object.find(primary);
    if (it == object.end()) it = object.find(fallback);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::string baseURL(const KeyValueStore& d, const char* key, std::string_view fallback) {
    std::string url = d.stringValue(key).value_or(std::string(fallback));
    while (url.ends_with('/')) url.pop_back();
    return url;
}

// Where the listener's port (or its failure) is handed from its queue to the waiting thread.
struct PortSlot {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<Result<int>> value;

    void set(Result<int> v) {
        {
            std::lock_guard lock(mutex);
            value = std::move(v);
        }
        ready.notify_all();
    }
};

}  // namespace

AuthController::Config AuthController::builtInConfig() {
    return Config{.signInPageOrigin = MARLUNE_AUTH_SIGN_IN_ORIGIN,
                  .apiKey = MARLUNE_AUTH_API_KEY,
                  .projectId = MARLUNE_AUTH_PROJECT_ID};
}

std::shared_ptr<AuthController> AuthController::create(std::shared_ptr<KeyValueStore> defaults,
                                                       Config config) {
    return std::shared_ptr<AuthController>(new AuthController(std::move(defaults), config));
}

AuthController::AuthController(std::shared_ptr<KeyValueStore> defaults, Config config)
    : d(std::move(defaults)),
      config_(std::move(config)),
      q(Queue::makeSerial(".auth")),
      net(std::make_unique<HttpClient>(config_.requestTimeout)) {}

AuthController::~AuthController() {
    TimerHandle timer;
    {
        std::lock_guard lock(loopbackMutex_);
        timer = listenerTimeout;
    }
    timer.cancel();
    // The listener belongs to the queue's thread: it goes there, before the queue ends.
    q->post([running = std::shared_ptr<LoopbackListener>(std::move(listener))]() mutable {
        running.reset();
    });
}

void AuthController::setBridge(std::weak_ptr<WebBridge> bridge) {
    MARLUNE_ASSERT_ON(Queue::main());
    std::lock_guard lock(bridgeMutex_);
    bridge_ = std::move(bridge);
}

AuthController::Services AuthController::services() const {
    return {baseURL(*d, kIdentityServiceURL, kPublicIdentityService),
            baseURL(*d, kTokenServiceURL, kPublicTokenService),
            baseURL(*d, kDatabaseServiceURL, kPublicDatabaseService)};
}

bool AuthController::waitingForBrowser() const {
    std::lock_guard lock(loopbackMutex_);
    return waiting_ != 0;
}

Json AuthController::stateDict() const {
    Json s = Json::object();
    s["signedIn"] = d->contains(kRefreshToken);
    s["uid"] = d->stringValue(kUid).value_or("");
    s["email"] = d->stringValue(kEmail).value_or("");
    s["name"] = d->stringValue(kName).value_or("");
    s["photo"] = d->stringValue(kPhoto).value_or("");
    s["exportCount"] = d->integerValue(kExportCountTotal).value_or(0);
    s["waitingForBrowser"] = waitingForBrowser();
    return s;
}

void AuthController::emitState(std::optional<std::string> error) {
    std::shared_ptr<WebBridge> bridge;
    {
        std::lock_guard lock(bridgeMutex_);
        bridge = bridge_.lock();
    }
    if (!bridge) return;
    Json state = stateDict();
    if (error) state["error"] = std::move(*error);
    bridge->emit("authChanged", std::move(state));
}

// ---------------------------------------------------------------------------------------------
// The loopback listener

Result<AuthController::Loopback> AuthController::startLoopback(Flow flow) {
    stopLoopback();
    auto slot = std::make_shared<PortSlot>();
    std::uint64_t generation;
    std::string state = auth::newSignInState();
    {
        std::lock_guard lock(loopbackMutex_);
        generation = ++generation_;
        waiting_ = generation;
        state_ = state;
        flow_ = flow;
    }
    q->post([weak = weak_from_this(), generation, slot] {
        auto self = weak.lock();
        if (!self) return;
        auto onRequest = [weak, generation](std::string text) {
            if (auto s = weak.lock()) s->handleCallback(generation, text);
        };
        auto made = LoopbackListener::start(std::move(onRequest), auth::kLoopbackReply,
                                            self->config_.connectionTimeout);
        if (!made) {
            self->stopLoopback(generation);
            slot->set(std::unexpected(made.error()));
            return;
        }
        int port = (*made)->port();
        {
            std::lock_guard lock(self->loopbackMutex_);
            // Stopped before it got going: it goes at once, on leaving here.
            if (self->waiting_ != generation) {
                slot->set(fail("Loopback port unavailable"));
                return;
            }
        }
        // A newer listener replaces any older one still here.
        self->listener = std::move(*made);
        self->listenerGeneration_ = generation;
        slot->set(port);
    });
    TimerHandle timeout = q->after(config_.listenerTimeout, [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (self && self->stopLoopback(generation)) self->emitState();
    });
    {
        std::lock_guard lock(loopbackMutex_);
        if (waiting_ == generation) {
            listenerTimeout = timeout;
        } else {
            timeout.cancel();
        }
    }

    std::unique_lock lock(slot->mutex);
    for (int i = 0; i < kPortTries; ++i) {
        if (slot->ready.wait_for(lock, kPortTryInterval, [&] { return slot->value.has_value(); })) {
            break;
        }
    }
    if (!slot->value) return fail("Loopback port unavailable");
    if (!*slot->value) return std::unexpected(slot->value->error());
    if (**slot->value == 0) return fail("Loopback port unavailable");
    return Loopback{**slot->value, generation, std::move(state)};
}

void AuthController::stopLoopback() {
    std::uint64_t generation;
    {
        std::lock_guard lock(loopbackMutex_);
        generation = waiting_;
    }
    if (generation != 0) stopLoopback(generation);
}

bool AuthController::stopLoopback(std::uint64_t generation) {
    TimerHandle timer;
    {
        std::lock_guard lock(loopbackMutex_);
        if (waiting_ == 0 || waiting_ != generation) return false;
        waiting_ = 0;
        timer = listenerTimeout;
        listenerTimeout = TimerHandle();
    }
    timer.cancel();
    postIfAlive(*q, weak_from_this(), [generation](AuthController& self) {
        if (self.listenerGeneration_ == generation) self.listener.reset();
    });
    return true;
}

void AuthController::handleCallback(std::uint64_t generation, const std::string& requestHead) {
    MARLUNE_ASSERT_ON(q);
    auto params = auth::parseCallbackRequest(requestHead);
    if (!params) return;
    {
        // Only the browser the app sent out knows the state; and only the answer of the flow in
        // progress counts (an e-mail sign-in takes no Google token, and the other way round).
        // Anything else is ignored, and the sign-in waits on.
        std::lock_guard lock(loopbackMutex_);
        if (waiting_ != generation || !params->state || *params->state != state_) return;
        const bool google = flow_ == Flow::google;
        if (google ? params->oobCode || params->email : params->token.has_value()) return;
    }
    // A result counts only while its listener waits for it: once per sign-in, never after a
    // time-out, a sign-out or a newer start.
    if (!stopLoopback(generation)) return;
    std::uint64_t signOuts;
    {
        std::lock_guard lock(accountMutex_);
        signOuts = signOuts_;
    }
    auto finish = [weak = weak_from_this(), signOuts](Result<Json> result) {
        if (auto self = weak.lock()) self->finishSignIn(std::move(result), signOuts);
    };
    const Services s = services();
    if (params->token) {
        exchange("POST", s.identity + "/v1/accounts:signInWithIdp?key=" + config_.apiKey,
                 auth::signInWithIdpBody(*params->token), std::nullopt, std::nullopt,
                 {*params->token}, std::move(finish));
    } else if (params->oobCode && params->email) {
        exchange("POST", s.identity + "/v1/accounts:signInWithEmailLink?key=" + config_.apiKey,
                 auth::emailLinkSignInBody(*params->email, *params->oobCode), std::nullopt,
                 std::nullopt, {*params->oobCode}, std::move(finish));
    } else {
        const auto shown = params->error ? auth::cleanedErrorText(*params->error) : std::nullopt;
        emitState(shown.value_or("Sign-in was cancelled"));
    }
}

// ---------------------------------------------------------------------------------------------
// Commands

Result<void> AuthController::startGoogle() {
    MARLUNE_ASSERT_ON(Queue::main());
    auto loopback = startLoopback(Flow::google);
    if (!loopback) return std::unexpected(loopback.error());
    std::string page =
        auth::googleSignInPage(config_.signInPageOrigin, loopback->port, loopback->state);
    if (!auth::isWebURL(page)) {
        stopLoopback(loopback->generation);
        return fail("Bad helper URL");
    }
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(page.c_str(), nullptr, &error)) {
        std::string reason = error ? error->message : "no browser is set up";
        g_clear_error(&error);
        // Nobody will come back through the listener: stop waiting for it.
        stopLoopback(loopback->generation);
        return fail("Couldn't open the web browser: " + reason);
    }
    return {};
}

void AuthController::startMagicLink(const std::string& email, WebBridge::Reply reply) {
    MARLUNE_ASSERT_ON(Queue::main());
    auto loopback = startLoopback(Flow::email);
    if (!loopback) return reply(fail("Couldn't start the sign-in listener"));
    std::string continueUrl =
        auth::emailContinueUrl(config_.signInPageOrigin, loopback->port, email, loopback->state);
    exchange("POST", services().identity + "/v1/accounts:sendOobCode?key=" + config_.apiKey,
             auth::sendOobCodeBody(email, continueUrl), std::nullopt, std::nullopt, {},
             [weak = weak_from_this(), generation = loopback->generation,
              reply = std::move(reply)](Result<Json> sent) {
                 auto self = weak.lock();
                 if (sent) {
                     reply(Json{{"sent", true}});
                     if (self) self->emitState();
                     return;
                 }
                 if (self) self->stopLoopback(generation);
                 systemLog("Marlune: account: the sign-in link could not be sent: " +
                           sent.error().message);
                 if (sent.error().message.find("OPERATION_NOT_ALLOWED") != std::string::npos) {
                     return reply(
                         fail("Email link sign-in isn't enabled for this Firebase "
                              "project yet"));
                 }
                 reply(fail("Couldn't send the sign-in link"));
             });
}

void AuthController::signOut() {
    MARLUNE_ASSERT_ON(Queue::main());
    {
        std::lock_guard lock(accountMutex_);
        ++signOuts_;
        KeyValueStore::Batch batch(*d);
        for (const char* key : {kUid, kEmail, kName, kPhoto, kIdToken, kRefreshToken, kExpiresAt}) {
            d->remove(key);
        }
    }
    stopLoopback();
    emitState();
}

// ---------------------------------------------------------------------------------------------
// Services

void AuthController::exchange(std::string method, std::string url, std::optional<Json> jsonBody,
                              std::optional<std::string> formBody,
                              std::optional<std::string> bearer, std::vector<std::string> secrets,
                              std::function<void(Result<Json>)> done) {
    HttpRequest request{std::move(method), std::move(url), {}, std::nullopt};
    if (jsonBody) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = jsonBody->dump(-1, ' ', false, Json::error_handler_t::replace);
    } else if (formBody) {
        request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
        request.body = std::move(*formBody);
    }
    if (bearer) {
        request.headers.emplace_back("Authorization", "Bearer " + *bearer);
        secrets.push_back(*bearer);
    }
    // Whatever the service says back, no token of ours goes further in a failure text.
    for (const char* key : {kIdToken, kRefreshToken}) {
        if (auto stored = d->stringValue(key)) secrets.push_back(*stored);
    }
    net->send(std::move(request),
              [secrets = std::move(secrets), done = std::move(done)](Result<HttpResponse> answer) {
                  Result<Json> result = answer ? auth::serviceResult(answer->status, answer->body)
                                               : std::unexpected(answer.error());
                  if (!result) result = fail(auth::redacted(result.error().message, secrets));
                  done(std::move(result));
              });
}

void AuthController::finishSignIn(Result<Json> result, std::uint64_t signOutsBefore) {
    if (!result) {
        emitState("Sign-in failed: " + auth::debugDescription(result.error()));
        return;
    }
    {
        std::lock_guard lock(accountMutex_);
        // The user signed out while the result was on its way: it no longer counts.
        if (signOuts_ != signOutsBefore) return;
        KeyValueStore::Batch batch(*d);
        d->set(kUid, stringMember(*result, "localId"));
        d->set(kEmail, stringMember(*result, "email"));
        d->set(kName, stringMember(*result, "displayName"));
        d->set(kPhoto, stringMember(*result, "photoUrl"));
        storeTokens(*result);
    }
    emitState();
    withIdToken([weak = weak_from_this()](std::optional<std::string> token) {
        auto self = weak.lock();
        if (self && token) self->ensureUserDoc(*token);
    });
    syncExports();
}

void AuthController::storeTokens(const Json& response) {
    KeyValueStore::Batch batch(*d);
    if (auto id = tokenMember(response, "idToken", "id_token")) d->set(kIdToken, *id);
    if (auto refresh = tokenMember(response, "refreshToken", "refresh_token")) {
        d->set(kRefreshToken, *refresh);
    }
    d->set(kExpiresAt, nowSeconds() + auth::tokenLifetimeSeconds(response) - kIdTokenMarginSeconds);
}

void AuthController::withIdToken(std::function<void(std::optional<std::string>)> then) {
    auto refreshToken = d->stringValue(kRefreshToken);
    if (!refreshToken) return then(std::nullopt);
    auto idToken = d->stringValue(kIdToken);
    auto expiresAt = d->doubleValue(kExpiresAt);
    if (idToken && expiresAt && nowSeconds() < *expiresAt) return then(*idToken);

    std::string form =
        auth::formBody({{"grant_type", "refresh_token"}, {"refresh_token", *refreshToken}});
    exchange("POST", services().token + "/v1/token?key=" + config_.apiKey, std::nullopt,
             std::move(form), std::nullopt, {*refreshToken},
             [weak = weak_from_this(), sent = *refreshToken,
              then = std::move(then)](Result<Json> refreshed) {
                 auto self = weak.lock();
                 if (!self) return;
                 if (!refreshed) {
                     // The user stays signed in; the next request tries again.
                     systemLog("Marlune: account: the sign-in could not be renewed: " +
                               refreshed.error().message);
                     return then(std::nullopt);
                 }
                 std::optional<std::string> token;
                 {
                     std::lock_guard lock(self->accountMutex_);
                     // Signed out, or signed in anew, meanwhile: this answer is for nobody.
                     if (self->d->stringValue(kRefreshToken) == sent) {
                         self->storeTokens(*refreshed);
                         token = tokenMember(*refreshed, "idToken", "id_token");
                     }
                 }
                 then(std::move(token));
             });
}

void AuthController::ensureUserDoc(const std::string& idToken) {
    std::string url = services().database +
                      auth::userDocumentPath(config_.projectId, d->stringValue(kUid).value_or("")) +
                      "?" + std::string(auth::kUserDocumentMask);
    Json body = auth::userDocumentBody(d->stringValue(kEmail).value_or(""),
                                       d->stringValue(kName).value_or(""),
                                       std::chrono::system_clock::now());
    exchange("PATCH", std::move(url), std::move(body), std::nullopt, idToken, {},
             [](Result<Json> written) {
                 if (!written) {
                     systemLog("Marlune: account: the user document could not be written: " +
                               written.error().message);
                 }
             });
}

void AuthController::recordExport() {
    MARLUNE_ASSERT_ON(Queue::main());
    {
        std::lock_guard lock(accountMutex_);
        KeyValueStore::Batch batch(*d);
        d->set(kExportCountTotal, d->integerValue(kExportCountTotal).value_or(0) + 1);
        d->set(kExportPending, d->integerValue(kExportPending).value_or(0) + 1);
    }
    emitState();
    syncExports();
}

void AuthController::syncExports() {
    std::int64_t pending;
    {
        std::lock_guard lock(accountMutex_);
        // One sync at a time, so that each export is added once; one more runs after it.
        if (syncing_) {
            syncAgain_ = true;
            return;
        }
        pending = d->integerValue(kExportPending).value_or(0);
        if (pending <= 0 || !d->contains(kRefreshToken)) return;
        syncing_ = true;
        syncAgain_ = false;
    }
    withIdToken([weak = weak_from_this(), pending](std::optional<std::string> token) {
        auto self = weak.lock();
        if (!self) return;
        if (!token) return self->syncEnded(false);
        const std::string uid = self->d->stringValue(kUid).value_or("");
        const std::string& project = self->config_.projectId;
        const std::string database = self->services().database;
        self->exchange(
            "POST", database + "/v1/projects/" + project + "/databases/(default)/documents:commit",
            auth::commitExportsBody(project, uid, pending), std::nullopt, *token, {},
            [weak, pending, bearer = *token,
             url = database + auth::userDocumentPath(project, uid)](Result<Json> committed) {
                auto self = weak.lock();
                if (!self) return;
                if (!committed) {
                    systemLog("Marlune: account: the export count could not be sent: " +
                              committed.error().message);
                    return self->syncEnded(false);
                }
                {
                    std::lock_guard lock(self->accountMutex_);
                    auto now = self->d->integerValue(kExportPending).value_or(0);
                    self->d->set(kExportPending, now - pending);
                }
                self->exchange(
                    "GET", url, std::nullopt, std::nullopt, bearer, {},
                    [weak](Result<Json> document) {
                        auto self = weak.lock();
                        if (!self) return;
                        if (auto total = document ? auth::exportCountOf(*document) : std::nullopt) {
                            {
                                std::lock_guard lock(self->accountMutex_);
                                self->d->set(kExportCountTotal, *total);
                            }
                            postIfAlive(Queue::main(), weak,
                                        [](AuthController& s) { s.emitState(); });
                        }
                        self->syncEnded(true);
                    });
            });
    });
}

void AuthController::syncEnded(bool committed) {
    bool again;
    {
        std::lock_guard lock(accountMutex_);
        syncing_ = false;
        again = committed && syncAgain_;
        syncAgain_ = false;
    }
    if (again) syncExports();
}

}  // namespace marlune
