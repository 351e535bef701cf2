#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/web_bridge.h"
#include "core/error.h"
#include "core/json.h"
#include "core/key_value_store.h"
#include "core/queue.h"

namespace marlune {

class HttpClient;
class LoopbackListener;

// The optional account: sign-in with Google or an e-mailed link, a user document in the cloud
// document database, and a count of the user's exports kept in step with it. Nothing else in the
// app depends on it: recording, editing and exporting work the same signed in or not.
//
// The browser hands the sign-in result back through a loopback listener on 127.0.0.1 that lives
// while the app waits for it (at most `listenerTimeout`). The page learns every change through
// the "authChanged" event, whose data is the auth state (`stateDict`); tokens never leave this
// object and the defaults store: not to the page, not to a log line, not into an error text.
//
// Persistent state lives in the defaults store under the keys below; the export counters survive
// sign-out, and exports counted while signed out or offline are sent at the next sync.
//
// Threads: the commands, `recordExport` and `stateDict` run on the main thread; the listener, its
// connections and its time-out on the serial queue "marlune.auth" (`q`); service answers and
// everything that follows from them (storing a sign-in, token refresh, the user document, the
// count sync) on the HTTP client's thread. Always owned by a shared_ptr; queued work holds it
// weakly.
class AuthController : public std::enable_shared_from_this<AuthController> {
  public:
    struct Config {
        std::string signInPageOrigin;  // the product's sign-in page, "https://host[:port]"
        std::string apiKey;            // web API key of the identity project (39 characters)
        std::string projectId;         // cloud project of the document database
        std::chrono::milliseconds listenerTimeout{std::chrono::seconds(600)};
        std::chrono::milliseconds connectionTimeout{std::chrono::seconds(10)};
        std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
    };
    // The configuration the program was built with.
    static Config builtInConfig();

    // Defaults-store keys.
    static constexpr const char* kUid = "authUid";
    static constexpr const char* kEmail = "authEmail";
    static constexpr const char* kName = "authName";
    static constexpr const char* kPhoto = "authPhoto";
    static constexpr const char* kIdToken = "authIdToken";
    static constexpr const char* kRefreshToken = "authRefreshToken";
    static constexpr const char* kExpiresAt = "authExpiresAt";
    static constexpr const char* kExportCountTotal = "exportCountTotal";
    static constexpr const char* kExportPending = "exportPending";
    // Base URLs of the three services, for self-hosted or emulated services; the public
    // endpoints when absent.
    static constexpr const char* kIdentityServiceURL = "authIdentityServiceURL";
    static constexpr const char* kTokenServiceURL = "authTokenServiceURL";
    static constexpr const char* kDatabaseServiceURL = "authDatabaseServiceURL";

    static std::shared_ptr<AuthController> create(std::shared_ptr<KeyValueStore> defaults,
                                                  Config config = builtInConfig());
    ~AuthController();
    AuthController(const AuthController&) = delete;
    AuthController& operator=(const AuthController&) = delete;

    // Where events go. Main thread, at launch, before any command.
    void setBridge(std::weak_ptr<WebBridge> bridge);

    // The auth state: signedIn, uid, email, name, photo, exportCount, waitingForBrowser. Any
    // thread.
    Json stateDict() const;

    // "auth.google": starts the listener and sends the browser to the sign-in page. Fails with
    // the listener's failure, "Bad helper URL", or when no browser could be opened. Blocks for up
    // to about a second while the listener's port becomes known. Main thread.
    Result<void> startGoogle();
    // "auth.magicLink" with a checked address: starts the listener and asks the identity service
    // to mail a sign-in link; `reply` gets {"sent": true} (followed by "authChanged") or the
    // failure. Main thread; `reply` may run on another thread.
    void startMagicLink(const std::string& email, WebBridge::Reply reply);
    // "auth.signOut": forgets the account (the export counters stay) and stops waiting for the
    // browser. Main thread.
    void signOut();

    // Counts one finished export and syncs the count when signed in. Main thread.
    void recordExport();

    // True while the loopback listener waits for the browser. Any thread.
    bool waitingForBrowser() const;

  private:
    AuthController(std::shared_ptr<KeyValueStore> defaults, Config config);

    struct Services {
        std::string identity, token, database;
    };
    Services services() const;

    // The listener. `startLoopback` returns the port; the generation names the listener so that
    // late work of an older one (its time-out, a failed link request) cannot stop a newer one.
    // Which sign-in the listener waits for: only its kind of answer counts.
    enum class Flow { google, email };
    struct Loopback {
        int port = 0;
        std::uint64_t generation = 0;
        std::string state;  // to go out in the sign-in page's address and come back with it
    };
    Result<Loopback> startLoopback(Flow flow);
    void stopLoopback();
    // Stops the listener only when it is still the one of `generation`; true when it was.
    bool stopLoopback(std::uint64_t generation);
    void handleCallback(std::uint64_t generation, const std::string& requestHead);

    void emitState(std::optional<std::string> error = std::nullopt);

    // One exchange with a service; `secrets` are the tokens the request carries, kept out of the
    // failure text. The completion runs on the HTTP client's thread.
    void exchange(std::string method, std::string url, std::optional<Json> jsonBody,
                  std::optional<std::string> formBody, std::optional<std::string> bearer,
                  std::vector<std::string> secrets, std::function<void(Result<Json>)> done);

    void finishSignIn(Result<Json> result, std::uint64_t signOutsBefore);
    void storeTokens(const Json& response);
    // Runs `then` with a usable ID token, refreshing it first when it is about to expire; with
    // nothing when signed out or the refresh failed (the stored tokens then stay).
    void withIdToken(std::function<void(std::optional<std::string>)> then);
    void ensureUserDoc(const std::string& idToken);
    void syncExports();
    void syncEnded(bool committed);

    const std::shared_ptr<KeyValueStore> d;
    const Config config_;
    const std::shared_ptr<Queue> q;
    std::unique_ptr<HttpClient> net;

    mutable std::mutex bridgeMutex_;
    std::weak_ptr<WebBridge> bridge_;  // guarded by bridgeMutex_

    // The listener lives on `q`; these say which one is current. Guarded by loopbackMutex_.
    mutable std::mutex loopbackMutex_;
    std::uint64_t generation_ = 0;  // of the latest listener started
    std::uint64_t waiting_ = 0;     // generation of the running listener, 0 when none
    std::string state_;             // the running sign-in's state
    Flow flow_ = Flow::google;      // and its kind
    TimerHandle listenerTimeout;
    // The running listener and its generation; on q only.
    std::unique_ptr<LoopbackListener> listener;
    std::uint64_t listenerGeneration_ = 0;

    // Counters and the tokens change from several threads; each read-modify-write holds this.
    std::mutex accountMutex_;
    std::uint64_t signOuts_ = 0;  // sign-outs so far: a sign-in begun before one is dropped
    bool syncing_ = false;        // a count sync is in flight
    bool syncAgain_ = false;      // exports were counted meanwhile
};

}  // namespace marlune
