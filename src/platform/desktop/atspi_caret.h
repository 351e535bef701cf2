#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "core/error.h"

namespace marlune::atspi {

// A rectangle in screen pixels (the root window's space, origin at the top left).
struct ScreenRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Whether assistive technologies are switched on for the session: the accessibility bus
// launcher's org.a11y.Status.IsEnabled on the session bus. Applications publish their text to
// the accessibility bus only while it is on. False without a session bus or a launcher; waits
// at most `timeout`. Any thread (it blocks: not the main thread).
bool accessibilityEnabled(std::chrono::milliseconds timeout = std::chrono::seconds(1));

// Follows the keyboard focus across applications on the accessibility bus (AT-SPI) and tells
// where the focused text's caret is.
//
// It speaks the AT-SPI D-Bus protocol over a private connection of its own instead of going
// through libatspi, whose one process-wide connection is shared with the toolkit's own
// accessibility bridge in this process and is dispatched on the main context.
//
// The focused object is kept from the applications' focus notices; when none is known it is
// looked for under the active window, at most once a second, never by walking every tree.
// Every call to an application waits at most `callTimeout`, and an application that let a call
// time out is left alone for a few seconds: a hung application slows the answers down, it never
// blocks them for long.
//
// One thread owns it: create, use and destroy it there. Focus notices arrive through that
// thread's default main context, which must be running (a serial queue's thread is).
class FocusedText {
  public:
    // Fails when the accessibility bus cannot be reached.
    static Result<std::unique_ptr<FocusedText>> connect(
        std::chrono::milliseconds callTimeout = std::chrono::milliseconds(250));
    ~FocusedText();
    FocusedText(const FocusedText&) = delete;
    FocusedText& operator=(const FocusedText&) = delete;

    // Where the character just before the focused text's caret is drawn on screen (the first
    // character when the caret is at the start). Nothing when the focus is not on text or the
    // application cannot tell. At most three calls to the focused application.
    std::optional<ScreenRect> caretCharacter();

    struct Impl;

  private:
    explicit FocusedText(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::atspi
