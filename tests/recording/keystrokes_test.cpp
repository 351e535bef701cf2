// Which key presses a recording keeps, and what they show as. (The X11 capture and the tracks kept
// while recording are the desktop tests'.)

#include <gtest/gtest.h>

#include "platform/desktop/x11_keys.h"
#include "recording/key_tracker.h"

namespace marlune {
namespace {

TEST(Keystrokes, OnlyShortcutsAndCommandKeysUnlessAllAreAsked) {
    constexpr unsigned ctrl = x11::kModCtrl, alt = x11::kModAlt, shift = x11::kModShift,
                       super = x11::kModSuper;
    struct Case {
        const char* key;  // keysym name of the key's first level
        unsigned modifiers;
        const char* kept;  // by default; nullptr: dropped
        const char* keptWithAll;
    };
    const Case cases[] = {
        // Typing stays private.
        {"a", 0, nullptr, "A"},
        {"a", shift, nullptr, "Shift+A"},
        {"1", shift, nullptr, "Shift+1"},
        {"space", 0, nullptr, "Space"},
        {"comma", shift, nullptr, "Shift+,"},
        {"Home", 0, nullptr, "Home"},
        {"F13", 0, nullptr, "F13"},
        {"F", 0, nullptr, "F"},
        // Shortcuts, in the order Ctrl, Alt, Shift, Super.
        {"s", ctrl, "Ctrl+S", "Ctrl+S"},
        {"s", shift | ctrl, "Ctrl+Shift+S", "Ctrl+Shift+S"},
        {"Tab", alt, "Alt+Tab", "Alt+Tab"},
        {"Left", super | alt | ctrl, "Ctrl+Alt+Super+Left", "Ctrl+Alt+Super+Left"},
        {"space", super, "Super+Space", "Super+Space"},
        {"minus", ctrl, "Ctrl+-", "Ctrl+-"},
        // Keys that do something rather than type something, with or without Shift.
        {"Return", 0, "Enter", "Enter"},
        {"KP_Enter", 0, "Enter", "Enter"},
        {"Escape", 0, "Esc", "Esc"},
        {"Tab", 0, "Tab", "Tab"},
        {"ISO_Left_Tab", shift, "Shift+Tab", "Shift+Tab"},
        {"BackSpace", 0, "Backspace", "Backspace"},
        {"Delete", 0, "Delete", "Delete"},
        {"Up", 0, "Up", "Up"},
        {"Down", shift, "Shift+Down", "Shift+Down"},
        {"F1", 0, "F1", "F1"},
        {"F12", 0, "F12", "F12"},
        {"", ctrl, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.modifiers));
        auto label = keystrokeLabel(c.key, c.modifiers, false);
        EXPECT_EQ(label.value_or("(dropped)"), c.kept ? c.kept : "(dropped)");
        auto all = keystrokeLabel(c.key, c.modifiers, true);
        EXPECT_EQ(all.value_or("(dropped)"), c.keptWithAll ? c.keptWithAll : "(dropped)");
    }
}

}  // namespace
}  // namespace marlune
