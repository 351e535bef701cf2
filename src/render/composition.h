#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "library/edit_document.h"
#include "render/surface.h"

namespace marlune {

// The pieces of an exported picture that can be computed on their own: colours, backgrounds,
// outline, webcam shape and placement, frame geometry and click ripples. The frame composer
// prepares its layers with them. All geometry is in pixels of the canvas (the source picture's
// size), origin top-left, y down. Pure functions; any thread.

struct Point {
    double x = 0;
    double y = 0;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// An opaque colour, sRGB channels 0 to 1.
struct Rgb {
    double r = 0;
    double g = 0;
    double b = 0;
};

// A colour text of the edit document ("#1e90ff"): every "#" is dropped, the rest is read as a
// hexadecimal number up to its first other character, and its low 24 bits are 0xRRGGBB. Case does
// not matter; text with no hex digit up front is black.
Rgb colorFromString(std::string_view text);

// A width × height ARGB32 linear gradient from `from` to `to`, at `angle` degrees: 0 runs from the
// top to the bottom, 90 from the left to the right. It passes through the centre and just spans
// the picture along its direction; beyond its ends the end colours continue.
Surface gradientImage(std::string_view from, std::string_view to, double angle, int width,
                      int height);

// `image` scaled uniformly to cover width × height, centred and cropped; opaque black when the
// image is empty.
Surface aspectFill(const Surface& image, int width, int height);

// The file `id` + `extension` in `folder` of the web root (for instance "wallpapers/full"), or
// nothing when `id` is empty or would lead out of that folder ("../x", a full path…).
std::optional<std::filesystem::path> webResource(const std::filesystem::path& webRoot,
                                                 std::string_view folder, std::string_view id,
                                                 std::string_view extension);

// The frame's background at the canvas size, without the screen's shadow: "wallpaper" is
// webRoot/wallpapers/full/<id>.jpg aspect-filled (black when there is no web root or it does not
// load); "gradient" is gradientImage(from, to, angle); anything else (also "live") is the solid
// `hex` colour. Blocking file I/O.
Surface backgroundImage(const FrameSettings& frame, int width, int height,
                        const std::optional<std::filesystem::path>& webRoot);

// A transparent canvas-sized image with `box` stroked as a rounded rectangle, centred on its
// edge: corner radius min(radius, half a side), line `width`, white at alpha 0.45. Empty when the
// width is 0.5 pixel or less.
Surface outlineImage(Rect box, double radius, double width, int canvasWidth, int canvasHeight);

// The webcam's squircle outline in a w × h box, as a closed polygon (the last point joins the
// first): the plain rectangle when the corner radius, limited to half the shorter side, is 0.5 or
// less; otherwise (radius, 0) followed by 40 points, 10 per corner, on superellipse corners of
// exponent 4/9, going clockwise.
std::vector<Point> squirclePath(double w, double h, double radius);

// Anchor of a named webcam position as fractions of the free space: "top-left" (0, 0) …
// "bottom-center" (0.5, 1); any other name is the bottom-right corner (1, 1).
Point preset(std::string_view name);

// Where the screen goes in a styled frame.
struct FrameGeometry {
    double measure = 0;  // m = min(W, H)
    // R: where the screen shows, all of it: the largest rectangle of its shape inside the padded
    // rectangle (padding p = paddingPct % of m on every side), centred there.
    Rect screen;
    double radius = 0;        // corner radius of R
    double scale = 1;         // k: the screen picture is scaled by this …
    Point origin;             // … and its top-left put here (R's top-left)
    double shadowBlur = 0;    // Gaussian radius of the shadow; 0 for no shadow
    double outlineWidth = 0;  // line width of the outline (drawn only above 0.5)
};
FrameGeometry frameGeometry(const FrameSettings& frame, int width, int height);
// The same for a W × H screen on a canvasWidth × canvasHeight canvas of another shape: the
// measure, padding, shadow and outline are the canvas's, and the screen is centred on it.
FrameGeometry frameGeometry(const FrameSettings& frame, int width, int height, int canvasWidth,
                            int canvasHeight);

// The webcam box of a W × H canvas, before any zoom reaction.
struct WebcamBox {
    int width = 0;  // box sides, rounded
    int height = 0;
    double unit = 1;     // m / 1080: the unit of margin and corner radius
    double margin = 0;   // distance kept from the canvas edges
    double minSide = 0;  // the box never shows smaller than this
};
// Nothing when a rounded side would be under 5 pixels (the webcam is then dropped). Sizes of 10
// percent or more of m are taken up to 100; smaller ones count as 10.
std::optional<WebcamBox> webcamBox(const WebcamFX& webcam, int width, int height);

// Where the webcam shows on one frame.
struct WebcamPlacement {
    Rect rect;          // displayed box, canvas pixels
    double factor = 1;  // displayed size / box size
};
// `zoom` is the frame's camera scale (1 without zoom); with reactToZoom the webcam shrinks by it,
// never below the box's minimum side. The box keeps the margin from the edges of `shown`, the part
// of the W × H screen picture that the frame shows (all of it without frame styling; with padding
// on a landscape canvas a strip at the top is cut off, and a webcam placed there would be cut).
WebcamPlacement webcamPlacement(const WebcamFX& webcam, const WebcamBox& box, double zoom,
                                Rect shown);

// The width worth decoding a webcam movie of pictureWidth × pictureHeight at, for a W × H export
// with `frame` styling: the webcam never shows larger than its box (scaled into the frame), so
// wider pictures would only be reduced again. Pass it as the decoder's maxWidth. At most
// pictureWidth; nothing when the webcam does not show at all or the picture has no size.
std::optional<int> webcamDecodeWidth(const WebcamFX& webcam,
                                     const std::optional<FrameSettings>& frame, int width,
                                     int height, int pictureWidth, int pictureHeight);

// A click ripple `sinceMs` after its click, for a cursor `cursorHeight` pixels tall: it starts
// 175 ms after the click and grows and fades over 600 ms (alpha 0.9 q², line a tenth of the
// cursor's height times q, at least 2 pixels, with q going from 1 to 0). Nothing outside that time
// or when its bitmap would be smaller than 3 or larger than 4095 pixels.
struct Ripple {
    double radius = 0;
    double lineWidth = 0;
    double alpha = 0;
};
std::optional<Ripple> rippleAt(double sinceMs, double cursorHeight);

// The drawn cursor's height Hc at 1× zoom on a canvas `width` pixels wide (style factor included).
double cursorHeight(const CursorFX& cursor, int width);

}  // namespace marlune
