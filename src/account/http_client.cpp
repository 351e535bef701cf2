#include "account/http_client.h"

#include <pthread.h>

#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <curl/curl.h>

namespace marlune {

namespace {

struct Transfer {
    HttpRequest request;
    HttpClient::Completion completion;
    CURL* easy = nullptr;
    CURLU* url = nullptr;
    curl_slist* headers = nullptr;
    std::string received;
    bool tooLarge = false;
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (url) curl_url_cleanup(url);
        if (headers) curl_slist_free_all(headers);
    }
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::size_t n = size * count;
    if (t->received.size() + n > HttpClient::kMaxResponseBytes) {
        t->tooLarge = true;
        return 0;  // makes libcurl abort the transfer
    }
    t->received.append(data, n);
    return n;
}

// Sets the transfer up; false when its address does not parse.
bool prepare(Transfer& t, long timeoutMs) {
    t.url = curl_url();
    if (!t.url || curl_url_set(t.url, CURLUPART_URL, t.request.url.c_str(), 0) != CURLUE_OK) {
        return false;
    }
    t.easy = curl_easy_init();
    if (!t.easy) return false;
    CURL* e = t.easy;
    curl_easy_setopt(e, CURLOPT_CURLU, t.url);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorText);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);

    const std::string& method = t.request.method;
    if (method == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else {
        if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        // The body stays in the request, which outlives the transfer.
        static const std::string kNoBody;
        const std::string& body = t.request.body ? *t.request.body : kNoBody;
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
    }
    for (const auto& [name, value] : t.request.headers) {
        t.headers = curl_slist_append(t.headers, (name + ": " + value).c_str());
    }
    // No "Expect: 100-continue" round trip before a body.
    t.headers = curl_slist_append(t.headers, "Expect:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    return true;
}

Result<HttpResponse> outcome(Transfer& t, CURLcode code) {
    if (t.tooLarge) return fail("The server's answer was too large");
    if (code != CURLE_OK) {
        return fail(t.errorText[0] ? std::string(t.errorText) : curl_easy_strerror(code));
    }
    HttpResponse response;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &response.status);
    response.body = std::move(t.received);
    return response;
}

}  // namespace

struct HttpClient::Impl {
    long timeoutMs = 0;
    CURLM* multi = nullptr;
    std::mutex mutex;
    std::deque<std::unique_ptr<Transfer>> incoming;  // guarded by mutex
    bool stopping = false;                           // guarded by mutex
    std::thread thread;

    ~Impl() {
        if (multi) curl_multi_cleanup(multi);
    }

    // The worker: owns every transfer once it has been taken from `incoming`.
    void run() {
        std::map<CURL*, std::unique_ptr<Transfer>> active;
        for (;;) {
            std::deque<std::unique_ptr<Transfer>> batch;
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
                batch.swap(incoming);
            }
            for (auto& t : batch) {
                if (!prepare(*t, timeoutMs)) {
                    t->completion(fail("bad url"));
                    continue;
                }
                curl_multi_add_handle(multi, t->easy);
                CURL* key = t->easy;
                active.emplace(key, std::move(t));
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                CURL* easy = message->easy_handle;
                CURLcode code = message->data.result;
                auto it = active.find(easy);
                if (it == active.end()) continue;
                std::unique_ptr<Transfer> t = std::move(it->second);
                active.erase(it);
                curl_multi_remove_handle(multi, easy);
                // The completion may send more requests, or let the client go.
                t->completion(outcome(*t, code));
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        for (auto& [easy, t] : active) curl_multi_remove_handle(multi, easy);
    }
};

HttpClient::HttpClient(std::chrono::milliseconds timeout) : impl_(std::make_shared<Impl>()) {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    impl_->timeoutMs = static_cast<long>(timeout.count());
    impl_->multi = curl_multi_init();
    // A thread of its own, not a serial queue: it blocks in curl_multi_poll, not in a main context.
    impl_->thread = std::thread([impl = impl_] {
        pthread_setname_np(pthread_self(), "marlune.http");
        impl->run();
    });
}

HttpClient::~HttpClient() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    curl_multi_wakeup(impl_->multi);
    if (impl_->thread.get_id() == std::this_thread::get_id()) {
        // Let go from one of its own completions: the worker ends once that has returned.
        impl_->thread.detach();
    } else {
        impl_->thread.join();
    }
}

void HttpClient::send(HttpRequest request, Completion completion) {
    auto t = std::make_unique<Transfer>();
    t->request = std::move(request);
    t->completion = std::move(completion);
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopping) return;
        impl_->incoming.push_back(std::move(t));
    }
    curl_multi_wakeup(impl_->multi);
}

}  // namespace marlune
