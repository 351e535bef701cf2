#pragma once

#include <string>

namespace marlune {

// Where the bridge's scripts go: the web view in the desktop shell, standard output in the
// headless host. Called on the main thread only; the result of the script is not awaited.
class ScriptTarget {
  public:
    virtual ~ScriptTarget() = default;
    virtual void evaluateScript(const std::string& script) = 0;
};

}  // namespace marlune
