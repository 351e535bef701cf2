#pragma once

// A private home and the display of scripts/with-desktop (none: the test fails, never skips).

#include <cstdlib>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune::test {

class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        ASSERT_TRUE(display && *display) << "desktop tests need a display: scripts/with-desktop";
        // Before anything reads them: GLib keeps the first answer about the user's folders.
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "cannot open the display " << display;
    }

    TempDir home;
};

}  // namespace marlune::test
