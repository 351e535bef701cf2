#include "render/composition.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "core/folder_file.h"
#include "platform/image/image_codecs.h"
#include "render/cursor_pack.h"
#include "render/raster.h"

namespace marlune {

namespace {

// Wallpapers are a few megabytes; anything far larger is not one of ours.
constexpr std::uintmax_t kMaxWallpaperBytes = 64u << 20;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Surface solidImage(Rgb color, int width, int height) {
    Surface image = makeSurface(width, height);
    if (!image) return {};
    cairo_t* cr = cairo_create(image.get());
    cairo_set_source_rgb(cr, color.r, color.g, color.b);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(image.get());
    return image;
}

// A picture inside the web root, opened so that a link in the page's folder cannot lead
// elsewhere.
std::optional<BgraImage> loadJpeg(const std::filesystem::path& webRoot,
                                  const std::filesystem::path& path) {
    auto location = FolderPath::inside(webRoot, path);
    if (!location) return std::nullopt;
    auto file = location->open();
    if (!file) return std::nullopt;
    auto text = file->readAll(kMaxWallpaperBytes);
    if (!text) return std::nullopt;
    return decodeJpeg(std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
}

// Canvas sizes cairo can hold.
bool drawableSize(int width, int height) {
    return width > 0 && height > 0 && width <= 32767 && height <= 32767;
}

}  // namespace

Rgb colorFromString(std::string_view text) {
    std::uint64_t v = 0;
    for (char c : text) {
        if (c == '#') continue;
        int d = hexDigit(c);
        if (d < 0) break;
        // A number too large for 64 bits reads as the largest one, as a number scanner would.
        v = v > (std::numeric_limits<std::uint64_t>::max() >> 4)
                ? std::numeric_limits<std::uint64_t>::max()
                : (v << 4 | d);
    }
    return {((v >> 16) & 0xFF) / 255.0, ((v >> 8) & 0xFF) / 255.0, (v & 0xFF) / 255.0};
}

Surface gradientImage(std::string_view from, std::string_view to, double angle, int width,
                      int height) {
    const Rgb a = colorFromString(from);
    const Rgb b = colorFromString(to);
    Surface image = makeSurface(width, height);
    if (!image) return {};
    const double theta = angle * std::numbers::pi / 180;
    const double s = std::sin(theta), c = std::cos(theta);
    const double cx = width / 2.0, cy = height / 2.0;
    const double length = std::abs(c) * height / 2 + std::abs(s) * width / 2;
    cairo_pattern_t* gradient = cairo_pattern_create_linear(cx - s * length, cy - c * length,
                                                            cx + s * length, cy + c * length);
    cairo_pattern_add_color_stop_rgb(gradient, 0, a.r, a.g, a.b);
    cairo_pattern_add_color_stop_rgb(gradient, 1, b.r, b.g, b.b);
    cairo_pattern_set_extend(gradient, CAIRO_EXTEND_PAD);
    cairo_t* cr = cairo_create(image.get());
    cairo_set_source(cr, gradient);
    cairo_paint(cr);
    const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(cr);
    cairo_pattern_destroy(gradient);
    cairo_surface_flush(image.get());
    return ok ? image : solidImage(b, width, height);
}

Surface aspectFill(const Surface& image, int width, int height) {
    Surface out = solidImage({}, width, height);
    if (!out || !image) return out;
    cairo_t* cr = cairo_create(out.get());
    paintAspectFill(cr, image, width, height);
    cairo_destroy(cr);
    cairo_surface_flush(out.get());
    return out;
}

std::optional<std::filesystem::path> webResource(const std::filesystem::path& webRoot,
                                                 std::string_view folder, std::string_view id,
                                                 std::string_view extension) {
    if (webRoot.empty() || id.empty() || id.find('\0') != std::string_view::npos) return {};
    const std::filesystem::path dir = (webRoot / folder).lexically_normal();
    // Joined as text: a full path in `id` is read as one inside the folder.
    std::string joined = dir.string();
    joined.append("/").append(id).append(extension);
    std::filesystem::path file = std::filesystem::path(joined).lexically_normal();
    const std::filesystem::path inside = file.lexically_relative(dir);
    if (inside.empty() || *inside.begin() == ".." || *inside.begin() == ".") return {};
    return file;
}

Surface backgroundImage(const FrameSettings& frame, int width, int height,
                        const std::optional<std::filesystem::path>& webRoot) {
    if (!drawableSize(width, height)) return {};
    if (frame.type == "wallpaper") {
        if (webRoot) {
            if (auto file = webResource(*webRoot, "wallpapers/full", frame.id, ".jpg")) {
                if (auto jpeg = loadJpeg(*webRoot, *file)) {
                    return aspectFill(wrapImage(*jpeg), width, height);
                }
            }
        }
        return solidImage({}, width, height);
    }
    if (frame.type == "gradient") {
        return gradientImage(frame.from, frame.to, frame.angle, width, height);
    }
    return solidImage(colorFromString(frame.hex), width, height);
}

Surface outlineImage(Rect box, double radius, double width, int canvasWidth, int canvasHeight) {
    if (!(width > 0.5) || !drawableSize(canvasWidth, canvasHeight)) return {};
    Surface image = makeSurface(canvasWidth, canvasHeight);
    if (!image) return {};
    cairo_t* cr = cairo_create(image.get());
    roundedRectPath(cr, box.x, box.y, box.width, box.height, radius);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.45);
    cairo_set_line_width(cr, width);
    cairo_stroke(cr);
    cairo_destroy(cr);
    cairo_surface_flush(image.get());
    return image;
}

std::vector<Point> squirclePath(double w, double h, double radius) {
    const double r = std::min(std::min(w, h) / 2, std::max(radius, 0.0));
    if (!(r > 0.5)) return {{0, 0}, {w, 0}, {w, h}, {0, h}};
    constexpr double pi = std::numbers::pi;
    constexpr double exponent = 0.4444444444444444;
    struct Corner {
        double cx, cy, a0, a1;
    };
    const Corner corners[] = {
        {w - r, r, -pi / 2, 0},
        {w - r, h - r, 0, pi / 2},
        {r, h - r, pi / 2, pi},
        {r, r, pi, 3 * pi / 2},
    };
    std::vector<Point> points{{r, 0}};
    auto curve = [&](double v) { return std::copysign(std::pow(std::abs(v), exponent), v); };
    for (const Corner& c : corners) {
        for (int i = 1; i <= 10; ++i) {
            const double a = c.a0 + i * (c.a1 - c.a0) / 10;
            points.push_back({c.cx + r * curve(std::cos(a)), c.cy + r * curve(std::sin(a))});
        }
    }
    return points;
}

Point preset(std::string_view name) {
    if (name == "top-left") return {0, 0};
    if (name == "top-center") return {0.5, 0};
    if (name == "top-right") return {1, 0};
    if (name == "center-left") return {0, 0.5};
    if (name == "center") return {0.5, 0.5};
    if (name == "center-right") return {1, 0.5};
    if (name == "bottom-left") return {0, 1};
    if (name == "bottom-center") return {0.5, 1};
    return {1, 1};
}

FrameGeometry frameGeometry(const FrameSettings& frame, int width, int height) {
    return frameGeometry(frame, width, height, width, height);
}

FrameGeometry frameGeometry(const FrameSettings& frame, int width, int height, int canvasWidth,
                            int canvasHeight) {
    FrameGeometry g;
    g.measure = std::min(canvasWidth, canvasHeight);
    const double p = frame.paddingPct / 100 * g.measure;
    // The whole screen, as large as fits inside the padded rectangle, centred in it; the
    // rectangle shown is the picture's own, so that the rounded corners hug it.
    const double roomW = canvasWidth - 2 * p, roomH = canvasHeight - 2 * p;
    g.scale = width > 0 && height > 0 ? std::max(0.0, std::min(roomW / width, roomH / height)) : 1;
    const double shownW = width * g.scale, shownH = height * g.scale;
    g.screen = {(canvasWidth - shownW) / 2, (canvasHeight - shownH) / 2, shownW, shownH};
    g.radius = frame.radiusPct / 100 * std::min(g.screen.width, g.screen.height);
    g.origin = {g.screen.x, g.screen.y};
    g.shadowBlur = frame.shadowPct > 1 ? frame.shadowPct / 100 * g.measure * 0.05 : 0;
    g.outlineWidth = frame.outlinePct / 100 * g.measure;
    return g;
}

std::optional<WebcamBox> webcamBox(const WebcamFX& webcam, int width, int height) {
    WebcamBox box;
    const double m = std::min(width, height);
    box.unit = m / 1080;
    box.margin = std::max(webcam.margin, 0.0) * box.unit;
    box.minSide = 56 * box.unit;
    const double largest = std::max(box.minSide, m - 2 * box.margin);
    auto side = [&](double percent) {
        const double fraction = percent >= 10 ? std::min(percent, 100.0) / 100 : 0.1;
        return std::clamp(m * fraction, box.minSide, largest);
    };
    const double w = std::round(side(webcam.width));
    const double h = std::round(side(webcam.height));
    if (!(w >= 5 && h >= 5) || w > 32767 || h > 32767) return std::nullopt;
    box.width = static_cast<int>(w);
    box.height = static_cast<int>(h);
    return box;
}

WebcamPlacement webcamPlacement(const WebcamFX& webcam, const WebcamBox& box, double zoom,
                                Rect shown) {
    double f = webcam.reactToZoom ? 1 / std::max(zoom, 1.0) : 1.0;
    f = std::max(f, box.minSide / std::max<double>(std::min(box.width, box.height), 1));
    const double sw = box.width * f, sh = box.height * f;
    const Point anchor =
        webcam.positionPreset == "custom"
            ? Point{std::clamp(webcam.positionX, 0.0, 1.0), std::clamp(webcam.positionY, 0.0, 1.0)}
            : preset(webcam.positionPreset);
    const double x =
        shown.x + box.margin + anchor.x * std::max(shown.width - sw - 2 * box.margin, 0.0);
    const double y =
        shown.y + box.margin + anchor.y * std::max(shown.height - sh - 2 * box.margin, 0.0);
    return {{x, y, sw, sh}, f};
}

std::optional<int> webcamDecodeWidth(const WebcamFX& webcam,
                                     const std::optional<FrameSettings>& frame, int width,
                                     int height, int pictureWidth, int pictureHeight) {
    auto box = webcamBox(webcam, width, height);
    if (!box || pictureWidth <= 0 || pictureHeight <= 0) return std::nullopt;
    const double k = frame ? frameGeometry(*frame, width, height).scale : 1.0;
    // The picture covers the box: its width is the box's, or more when it is wider in shape.
    const double needed = std::max(
        box->width * k, box->height * k * pictureWidth / static_cast<double>(pictureHeight));
    return std::clamp(static_cast<int>(std::ceil(needed)), 1, pictureWidth);
}

std::optional<Ripple> rippleAt(double sinceMs, double cursorHeight) {
    const double d = sinceMs - 175;
    if (!(d >= 0 && d <= 600)) return std::nullopt;
    const double q = 1 - d / 600;
    Ripple r;
    r.radius = std::max((1 - q * q * q) * cursorHeight * 1.95, 0.5);
    // A ring that reads on light screens as on dark ones: the cursor layer draws it white over a
    // dark halo, strong at first and fading out over its whole time.
    r.lineWidth = std::max(cursorHeight * 0.1 * q, 2.0);
    r.alpha = std::clamp(q * q * 0.9, 0.0, 1.0);
    const double n = std::ceil(2 * (r.lineWidth + 2 + r.radius));
    if (!(n >= 3 && n <= 4095)) return std::nullopt;
    return r;
}

double cursorHeight(const CursorFX& cursor, int width) {
    return std::max(width / 1920.0, 0.55) * 28 * cursor.size * styleSizeMultiplier(cursor.style);
}

}  // namespace marlune
