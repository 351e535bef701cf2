#include <set>

#include <gtest/gtest.h>

#include "app/permissions_manager.h"

namespace marlune {
namespace {

using Command = std::optional<std::vector<std::string>>;

TEST(PermissionsSettings, EachDesktopOpensItsOwnPage) {
    const std::set<std::string> everything = {"gnome-control-center", "budgie-control-center",
                                              "systemsettings",       "xfce4-settings-manager",
                                              "cinnamon-settings",    "mate-control-center"};
    struct Case {
        std::string pane;
        std::string desktop;
        std::set<std::string> installed;
        Command command;
    };
    const Case cases[] = {
        {"camera", "GNOME", everything, Command{{"gnome-control-center", "camera"}}},
        {"microphone", "ubuntu:GNOME", everything, Command{{"gnome-control-center", "microphone"}}},
        {"accessibility", "GNOME", everything,
         Command{{"gnome-control-center", "universal-access"}}},
        // No page of its own, or none asked for: the settings' first page.
        {"screen", "GNOME", everything, Command{{"gnome-control-center"}}},
        {"", "GNOME", everything, Command{{"gnome-control-center"}}},
        {"Camera", "GNOME", everything, Command{{"gnome-control-center"}}},
        {"camera", "gnome", everything, Command{{"gnome-control-center", "camera"}}},
        {"microphone",
         "Budgie:GNOME",
         {"gnome-control-center"},
         Command{{"gnome-control-center", "microphone"}}},
        {"accessibility", "KDE", {"systemsettings5"}, Command{{"systemsettings5", "kcm_access"}}},
        {"camera", "KDE", everything, Command{{"systemsettings"}}},
        {"microphone", "X-Cinnamon", everything, Command{{"cinnamon-settings", "sound"}}},
        {"camera", "XFCE", everything, Command{{"xfce4-settings-manager"}}},
        // The desktop's settings program is not installed, or the desktop is unknown: nothing.
        {"camera", "GNOME", {}, std::nullopt},
        {"camera", "XFCE", {"gnome-control-center"}, std::nullopt},
        {"camera", "", everything, std::nullopt},
        {"camera", "openbox", everything, std::nullopt},
        {"camera", "::", everything, std::nullopt},
    };
    for (const auto& c : cases) {
        auto installed = [&](const std::string& p) { return c.installed.contains(p); };
        EXPECT_EQ(PermissionsManager::settingsCommand(c.pane, c.desktop, installed), c.command)
            << c.pane << " on " << c.desktop;
    }
}

}  // namespace
}  // namespace marlune
