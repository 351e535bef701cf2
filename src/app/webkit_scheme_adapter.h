#pragma once

#include <memory>

typedef struct _WebKitWebContext WebKitWebContext;

namespace marlune {

class MarluneSchemeHandler;

// Serves the "marlune" scheme of a web context with `handler`: each request the web view makes
// becomes one handler task, whose answer reaches the web view through a SchemeBodyStream, and a
// request the web view gives up on stops its task. The scheme is also declared secure (the page
// is a secure context) and CORS-enabled. The context keeps the handler alive. Main thread.
void registerMarluneScheme(WebKitWebContext* context,
                           std::shared_ptr<MarluneSchemeHandler> handler);

}  // namespace marlune
