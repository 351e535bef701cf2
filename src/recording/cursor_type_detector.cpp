#include "recording/cursor_type_detector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <cairo.h>

namespace marlune {

namespace {

constexpr int kSampleSize = 32;
// A silhouette pixel counts as covered from this alpha up (of 255).
constexpr int kCoveredAlpha = 25;

// The theme names standing for each type, in type order. Themes name their cursors differently
// (the X core names, the CSS names, the old GNOME names), and a theme often has only some of
// them, so each type lists several; names that resolve to the same picture count once. The
// first name of a type is its most common one.
struct TypeNames {
    int type;
    std::vector<std::string_view> names;
};
const TypeNames kReferenceNames[] = {
    {0, {"left_ptr", "default", "arrow", "top_left_arrow"}},
    {1, {"xterm", "text", "ibeam", "vertical-text"}},
    {2,
     {"hand2", "pointer", "pointing_hand", "dnd-copy", "copy", "dnd-link", "alias",
      "context-menu"}},
    {3, {"crosshair", "cross", "tcross"}},
    {4, {"openhand", "grab"}},
    {5, {"grabbing", "closedhand"}},
    {6,
     {"sb_h_double_arrow", "ew-resize", "col-resize", "h_double_arrow", "left_side", "right_side",
      "w-resize", "e-resize"}},
    {7,
     {"sb_v_double_arrow", "ns-resize", "row-resize", "v_double_arrow", "top_side", "bottom_side",
      "n-resize", "s-resize"}},
    {8, {"not-allowed", "crossed_circle", "dnd-no-drop", "no-drop"}},
};

bool samePicture(const x11::CursorImage& a, const x11::CursorImage& b) {
    return a.width == b.width && a.height == b.height && a.hotX == b.hotX && a.hotY == b.hotY &&
           a.argb == b.argb;
}

// The X display, connected at first use; a failed connection is not retried.
class DisplayCursors : public CursorTypeDetector::CursorSource {
  public:
    std::optional<x11::CursorImage> current() override {
        auto* images = connection();
        return images ? images->current() : std::nullopt;
    }
    std::optional<x11::CursorImage> themeCursor(std::string_view name) override {
        auto* images = connection();
        return images ? images->themeCursor(name) : std::nullopt;
    }

  private:
    x11::CursorImages* connection() {
        if (!tried_) {
            tried_ = true;
            if (auto opened = x11::CursorImages::open()) images_ = std::move(*opened);
        }
        return images_.get();
    }

    bool tried_ = false;
    std::unique_ptr<x11::CursorImages> images_;
};

}  // namespace

CursorTypeDetector::CursorTypeDetector() : CursorTypeDetector(std::make_unique<DisplayCursors>()) {}

CursorTypeDetector::CursorTypeDetector(std::unique_ptr<CursorSource> source)
    : source_(std::move(source)) {}

CursorTypeDetector::~CursorTypeDetector() = default;

void CursorTypeDetector::prepare() {
    if (!loaded_) loadReferences();
}

void CursorTypeDetector::loadReferences() {
    loaded_ = true;
    std::vector<x11::CursorImage> seen;
    for (const auto& entry : kReferenceNames) {
        for (std::string_view name : entry.names) {
            auto image = source_->themeCursor(name);
            if (!image || image->width <= 0 || image->height <= 0) continue;
            bool duplicate = std::any_of(seen.begin(), seen.end(), [&](const auto& other) {
                return samePicture(other, *image);
            });
            if (duplicate) continue;
            if (auto sig = signature(*image)) known_.push_back({entry.type, *sig});
            seen.push_back(std::move(*image));
        }
    }
}

int CursorTypeDetector::current() {
    prepare();
    auto image = source_->current();
    if (!image) return lastType_;
    // The serial tells apart cursors that share a size and hot spot (most theme cursors do).
    Key key{image->serial, image->width, image->height, image->hotX, image->hotY};
    if (lastKey_ == key) return lastType_;
    lastKey_ = key;
    auto sig = signature(*image);
    // Applications hide the pointer while one types (GTK's entries among them) by showing an
    // invisible cursor: it has no shape to tell, and the pointer is still over the same thing.
    if (!sig || std::ranges::none_of(sig->shape, [](std::uint8_t v) { return v != 0; })) {
        return lastType_;
    }
    if (known_.empty()) return lastType_ = 0;
    const Reference* best = nullptr;
    long bestCost = 0;
    for (const auto& ref : known_) {
        long c = cost(*sig, ref.sig);
        if (!best || c < bestCost) {
            best = &ref;
            bestCost = c;
        }
    }
    return lastType_ = acceptedType(best->type, bestCost);
}

std::optional<CursorTypeDetector::Signature> CursorTypeDetector::signature(
    const x11::CursorImage& image) {
    const int w = image.width, h = image.height;
    if (w <= 0 || h <= 0 || image.argb.size() < static_cast<std::size_t>(w) * h) {
        return std::nullopt;
    }
    // The picture's words are premultiplied ARGB in native order: cairo's ARGB32 exactly.
    const int srcStride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, w);
    std::vector<unsigned char> pixels(static_cast<std::size_t>(srcStride) * h);
    for (int y = 0; y < h; ++y) {
        std::copy_n(reinterpret_cast<const unsigned char*>(image.argb.data() + std::size_t(y) * w),
                    std::size_t(w) * 4, pixels.data() + std::size_t(y) * srcStride);
    }
    cairo_surface_t* src =
        cairo_image_surface_create_for_data(pixels.data(), CAIRO_FORMAT_ARGB32, w, h, srcStride);
    cairo_surface_t* dst =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSampleSize, kSampleSize);
    std::optional<Signature> sig;
    if (cairo_surface_status(src) == CAIRO_STATUS_SUCCESS &&
        cairo_surface_status(dst) == CAIRO_STATUS_SUCCESS) {
        // Scaled to fit the square, centred, with the good (area-averaging) filter.
        const double s = std::min(double(kSampleSize) / h, double(kSampleSize) / w);
        const double dw = w * s, dh = h * s;
        const double ox = (kSampleSize - dw) / 2, oy = (kSampleSize - dh) / 2;
        cairo_t* cr = cairo_create(dst);
        cairo_rectangle(cr, ox, oy, dw, dh);
        cairo_clip(cr);
        cairo_translate(cr, ox, oy);
        cairo_scale(cr, s, s);
        cairo_set_source_surface(cr, src, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr);
        bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
        cairo_destroy(cr);
        if (drawn) {
            cairo_surface_flush(dst);
            sig.emplace();
            const unsigned char* data = cairo_image_surface_get_data(dst);
            const int stride = cairo_image_surface_get_stride(dst);
            for (int y = 0; y < kSampleSize; ++y) {
                const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
                for (int x = 0; x < kSampleSize; ++x) {
                    sig->shape[y * kSampleSize + x] = (row[x] >> 24) >= kCoveredAlpha ? 255 : 0;
                }
            }
            const double wd = std::max(w, 1), hd = std::max(h, 1);
            sig->aspect = w / hd;
            sig->hotspotX = image.hotX / wd;
            sig->hotspotY = image.hotY / hd;
        }
    }
    cairo_surface_destroy(dst);
    cairo_surface_destroy(src);
    return sig;
}

long CursorTypeDetector::cost(const Signature& a, const Signature& b) {
    long c = 0;
    for (std::size_t i = 0; i < a.shape.size(); ++i) c += std::abs(int(a.shape[i]) - b.shape[i]);
    c += static_cast<long>(std::fabs(a.aspect - b.aspect) * 1800);
    c += static_cast<long>(
        (std::fabs(a.hotspotY - b.hotspotY) + std::fabs(a.hotspotX - b.hotspotX)) * 2200);
    return c;
}

int CursorTypeDetector::acceptedType(int bestType, long bestCost) {
    long limit = 12000;
    switch (bestType) {
        case 4:  // open hand
        case 5:  // closed hand: the two hands differ by a few pixels only
            limit = 3200;
            break;
        case 1:  // text
            limit = 28000;
            break;
        case 3:  // crosshair
            limit = 32000;
            break;
        default:
            break;
    }
    return bestCost <= limit ? bestType : 0;
}

}  // namespace marlune
