// A scratch HOME for a test program (PRIVATE_HOME), set before GLib reads the user's folders.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

struct PrivateHome {
    std::string path;

    PrivateHome() {
        char pattern[] = "/tmp/marlune-tests-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        path = pattern;
        setenv("HOME", path.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (path + "/.config").c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_VIDEOS_DIR");
    }
    ~PrivateHome() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

const PrivateHome home;

}  // namespace
