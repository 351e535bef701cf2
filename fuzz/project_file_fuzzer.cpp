// The text of a project file, read as "project.load" reads it and handed to the page in a reply.
// The page gets one reply that reads back, holding an object or null; and what was read can be
// saved again and reads back the same, since the page saves what it loaded.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bridge/web_bridge.h"
#include "fuzz_support.h"
#include "library/project_store.h"
#include "library/recordings_library.h"

namespace {

using namespace marlune;
namespace fs = std::filesystem;

constexpr const char* kName = "clip.mp4";

void check(bool ok, const char* what) {
    if (!ok) fuzz::fail(what);
}

class RecordingPage : public ScriptTarget {
  public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::vector<std::string> scripts;
};

fs::path home;

void removeHome() {
    std::error_code ec;
    fs::remove_all(home, ec);
}

}  // namespace

// A home of this process's own, in memory where the system has a memory file system, so that
// the recordings folder (and the atomic save's flush) stay off the disk.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    home = base / ("marlune-fuzz-project-" + std::to_string(getpid()));
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    std::atexit(removeHome);
    RecordingsLibrary::ensureDir();
    check(RecordingsLibrary::dirURL().string().starts_with(home.string()), "recordings elsewhere");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ProjectStore store;
    const fs::path file = *store.sidecarURL(kName);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        check(out.good(), "the project file could not be written");
    }

    auto page = std::make_shared<RecordingPage>();
    auto bridge = std::make_shared<WebBridge>();
    bridge->setWebView(page);
    std::optional<Json> loaded;
    bool refused = false;
    bridge->registerHandler("project.load", [&](const Json&, WebBridge::Reply reply) {
        // A file too large or nested too deeply is refused with a message; anything else that
        // is not an object reads as no project.
        auto read = store.load(kName);
        if (!read) {
            refused = true;
            return reply(std::unexpected(read.error()));
        }
        loaded = *read;
        Json result = Json::object();
        result["data"] = loaded.value_or(Json(nullptr));
        reply(std::move(result));
    });
    bridge->receive(Json{{"id", "1"}, {"cmd", "project.load"}, {"payload", {{"name", kName}}}});
    check(page->scripts.size() == 1, "not one reply");
    const std::string& script = page->scripts.front();
    const std::string prefix = std::string(WebBridge::kDeliverFunction) + "(";
    check(script.starts_with(prefix) && script.ends_with(")"), "a reply that is not a reply");
    Json reply = Json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 1),
                             nullptr, false);
    check(!reply.is_discarded(), "a reply that does not read back");
    if (refused) {
        check(!reply.value("ok", true), "a refusal answered as a success");
        return 0;
    }
    check(reply.value("ok", false), "project.load failed");
    const Json& got = reply["result"]["data"];
    check(got.is_object() || got.is_null(), "data neither an object nor null");

    if (loaded) {
        check(store.save(kName, *loaded).has_value(), "what was loaded cannot be saved");
        auto again = store.load(kName);
        check(again && *again && **again == *loaded, "a saved project reads back differently");
    }
    return 0;
}
