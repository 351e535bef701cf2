// Linked into the test programs that ask for it (marlune_add_tests(... PRIVATE_HOME)): every test
// in such a program runs with a HOME of its own, so that the recordings folder
// (HOME/Videos/Marlune, there being no user-dirs file under the private XDG_CONFIG_HOME) is a
// scratch folder. Set before main, before GLib reads and caches the user's folders.

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
