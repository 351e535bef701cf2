#include "app/webkit_scheme_adapter.h"

#include <charconv>

#include <webkit2/webkit2.h>

#include "app/scheme_body_stream.h"
#include "bridge/marlune_scheme_handler.h"

namespace marlune {

namespace {

// At most this much of a whole file waits in the stream before the handler reads on.
constexpr std::size_t kReadAheadBytes = MarluneSchemeHandler::kChunkBytes;

// One request of the web view, as the handler's sink. Main thread.
class WebKitSchemeTask : public SchemeResponseSink {
  public:
    WebKitSchemeTask(WebKitURISchemeRequest* request, std::weak_ptr<MarluneSchemeHandler> handler)
        : request_(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(request))),
          handler_(std::move(handler)) {}

    ~WebKitSchemeTask() override {
        if (request_) g_object_unref(request_);
    }

    void setId(MarluneSchemeHandler::TaskId id) { id_ = id; }

    void didReceiveResponse(const SchemeResponse& head) override {
        if (!request_) return;
        body_ = std::make_unique<SchemeBodyStream>();
        body_->setOnStop([handler = handler_, id = id_] {
            if (auto h = handler.lock()) h->stop(id);
        });
        gint64 length = -1;
        if (auto text = head.header("Content-Length")) {
            std::from_chars(text->data(), text->data() + text->size(), length);
        }
        GInputStream* stream = body_->releaseStream();
        WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, length);
        g_object_unref(stream);
        webkit_uri_scheme_response_set_status(response, static_cast<guint>(head.status),
                                              MarluneSchemeHandler::reasonPhrase(head.status));
        if (auto type = head.header("Content-Type")) {
            webkit_uri_scheme_response_set_content_type(response, type->c_str());
        }
        SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
        for (const auto& [name, value] : head.headers) {
            soup_message_headers_append(headers, name.c_str(), value.c_str());
        }
        webkit_uri_scheme_response_set_http_headers(response, headers);  // takes ownership
        webkit_uri_scheme_request_finish_with_response(request_, response);
        g_object_unref(response);
        g_clear_object(&request_);
    }

    void didReceiveData(std::string bytes) override {
        if (body_) body_->push(std::move(bytes));
    }

    void didFinish() override {
        if (body_) body_->finish();
    }

    void didFail(const Error& error) override {
        if (!request_) return;
        GError* e =
            g_error_new_literal(G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, error.message.c_str());
        webkit_uri_scheme_request_finish_error(request_, e);
        g_error_free(e);
        g_clear_object(&request_);
    }

    void whenReadyForMore(std::function<void()> ready) override {
        if (body_) {
            body_->whenBelow(kReadAheadBytes, std::move(ready));
        } else {
            ready();
        }
    }

  private:
    WebKitURISchemeRequest* request_;  // until answered
    std::weak_ptr<MarluneSchemeHandler> handler_;
    MarluneSchemeHandler::TaskId id_ = 0;
    std::unique_ptr<SchemeBodyStream> body_;
};

void onRequest(WebKitURISchemeRequest* request, gpointer data) {
    auto& handler = *static_cast<std::shared_ptr<MarluneSchemeHandler>*>(data);
    std::optional<std::string> range;
    if (SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request)) {
        if (const char* value = soup_message_headers_get_one(headers, "Range")) range = value;
    }
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    auto task = std::make_shared<WebKitSchemeTask>(request, handler);
    // Answers are always queued to the main loop, so the identity is set before any arrives.
    task->setId(handler->start({uri ? uri : "", std::move(range)}, task));
}

}  // namespace

void registerMarluneScheme(WebKitWebContext* context,
                           std::shared_ptr<MarluneSchemeHandler> handler) {
    webkit_web_context_register_uri_scheme(
        context, "marlune", onRequest,
        new std::shared_ptr<MarluneSchemeHandler>(std::move(handler)),
        [](gpointer p) { delete static_cast<std::shared_ptr<MarluneSchemeHandler>*>(p); });
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, "marlune");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "marlune");
}

}  // namespace marlune
