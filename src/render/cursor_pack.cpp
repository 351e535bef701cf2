#include "render/cursor_pack.h"

#include <glib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <numbers>
#include <span>
#include <vector>

#include "core/folder_file.h"
#include "core/json.h"

namespace marlune {

namespace {

constexpr double kPackSizeFactor = 0.5825468950250495;

// Pack files hold a handful of images; anything far larger is not a pack.
constexpr std::uintmax_t kMaxPackFileBytes = 64u << 20;

// Standard Base64 with mandatory padding, nothing else (no white space, no URL alphabet).
bool isStrictBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return false;
    std::size_t end = text.size();
    if (text[end - 1] == '=') --end;
    if (text[end - 1] == '=') --end;
    for (std::size_t i = 0; i < end; ++i) {
        char c = text[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/';
        if (!ok) return false;
    }
    return true;
}

std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text) {
    if (!isStrictBase64(text)) return std::nullopt;
    std::string terminated(text);  // g_base64_decode wants a C string
    gsize length = 0;
    std::unique_ptr<guchar, decltype(&g_free)> bytes(g_base64_decode(terminated.c_str(), &length),
                                                     &g_free);
    if (!bytes) return std::nullopt;
    return std::vector<unsigned char>(bytes.get(), bytes.get() + length);
}

std::uint32_t bigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// Looks at the PNG signature and header chunk before anything is allocated for the pixels.
bool plausibleCursorPng(std::span<const unsigned char> png) {
    static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (png.size() < 24 || std::memcmp(png.data(), kSignature, 8) != 0) return false;
    if (std::memcmp(png.data() + 12, "IHDR", 4) != 0) return false;
    std::uint32_t width = bigEndian32(png.data() + 16);
    std::uint32_t height = bigEndian32(png.data() + 20);
    return width > 0 && height > 0 && width <= kMaxCursorImageSide && height <= kMaxCursorImageSide;
}

struct PngReader {
    std::span<const unsigned char> data;
    std::size_t offset = 0;

    static cairo_status_t read(void* closure, unsigned char* out, unsigned int length) {
        auto* self = static_cast<PngReader*>(closure);
        if (self->data.size() - self->offset < length) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(out, self->data.data() + self->offset, length);
        self->offset += length;
        return CAIRO_STATUS_SUCCESS;
    }
};

// Decodes a PNG into an ARGB32 surface; opaque and grey PNGs come out of cairo in other formats
// and are converted so that every pack image has the same layout.
Surface decodePng(std::span<const unsigned char> png) {
    if (!plausibleCursorPng(png)) return {};
    PngReader reader{png};
    Surface decoded =
        Surface::adopt(cairo_image_surface_create_from_png_stream(&PngReader::read, &reader));
    if (!decoded) return {};
    if (cairo_image_surface_get_format(decoded.get()) == CAIRO_FORMAT_ARGB32) return decoded;

    Surface converted = makeSurface(decoded.width(), decoded.height());
    if (!converted) return {};
    cairo_t* cr = cairo_create(converted.get());
    cairo_set_source_surface(cr, decoded.get(), 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_flush(converted.get());
    if (status != CAIRO_STATUS_SUCCESS) return {};
    return converted;
}

std::optional<CursorPackAsset> readAsset(const Json& entry) {
    auto dataUrl = readString(entry, "dataUrl");
    if (!dataUrl) return std::nullopt;
    auto comma = dataUrl->find(',');
    if (comma == std::string::npos) return std::nullopt;
    auto png = decodeBase64(std::string_view(*dataUrl).substr(comma + 1));
    if (!png) return std::nullopt;
    Surface image = decodePng(*png);
    if (!image) return std::nullopt;

    // A logical size of zero or less would make the image infinitely large when it is scaled to
    // the cursor's height, so such a size counts as absent.
    auto positive = [&](std::string_view key) -> std::optional<double> {
        auto v = readNumber(entry, key);
        if (v && *v > 0) return v;
        return std::nullopt;
    };
    CursorPackAsset asset;
    asset.width = positive("width").value_or(image.width());
    asset.height = positive("height").value_or(image.height());
    asset.hotspotX = readNumber(entry, "hotspotX").value_or(0);
    asset.hotspotY = readNumber(entry, "hotspotY").value_or(0);
    asset.image = std::move(image);
    return asset;
}

// Fills and strokes the drawn arrow's polygon, given in a 20 × 28 unit grid.
void traceArrow(cairo_t* cr, double u, double v) {
    static constexpr double kPoints[][2] = {
        {1, 1}, {1, 22.6}, {6.6, 17.5}, {10.9, 26.6}, {14.7, 24.8}, {10.5, 15.9}, {18, 15.9},
    };
    cairo_new_path(cr);
    for (const auto& p : kPoints) cairo_line_to(cr, p[0] * u, p[1] * v);
    cairo_close_path(cr);
}

}  // namespace

std::optional<std::string> packFile(std::string_view style) {
    if (style == "system") return "macos.json";
    if (style == "tahoe" || style == "tahoe-inverted" || style == "figma" || style == "dot") {
        return std::string(style) + ".json";
    }
    return std::nullopt;
}

double styleSizeMultiplier(std::string_view style) {
    return packFile(style) && style != "system" ? kPackSizeFactor : 1.0;
}

std::optional<CursorPack> loadCursorPack(std::string_view file,
                                         const std::optional<std::filesystem::path>& webRoot) {
    if (!webRoot || webRoot->empty()) return std::nullopt;
    // The name always comes from packFile, but it is joined to a folder path: refuse anything
    // that could leave the cursors folder.
    std::filesystem::path name(file);
    if (file.empty() || name.has_parent_path() || name == "." || name == ".." ||
        file.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    // Opened inside the web root, so that a link in the page's folder cannot lead elsewhere.
    auto opened = FolderFile::open(*webRoot, "cursors/" + name.string());
    if (!opened) return std::nullopt;
    auto text = opened->readAll(kMaxPackFileBytes);
    if (!text) return std::nullopt;
    return parseCursorPack(*text);
}

std::optional<CursorPack> parseCursorPack(std::string_view text) {
    auto parsed = parseJson(text);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    const Json& root = *parsed;
    for (const auto& [key, value] : root.items()) {
        if (!value.is_object()) return std::nullopt;
    }

    CursorPack pack;
    for (std::size_t index = 0; index < packTypes.size(); ++index) {
        auto it = root.find(packTypes[index]);
        if (it == root.end()) continue;
        if (auto asset = readAsset(*it)) pack.emplace(static_cast<int>(index), std::move(*asset));
    }
    if (!pack.contains(0)) return std::nullopt;
    return pack;
}

Surface arrowImage(std::string_view style, double height) {
    // Also keeps the conversions to int below defined.
    if (!std::isfinite(height) || height >= 32768) return {};

    if (style == "dot") {
        int n = static_cast<int>(height);
        if (n <= 4) return {};
        Surface image = makeSurface(n, n);
        if (!image) return {};
        double inset = n * 2.5 / 28;
        cairo_t* cr = cairo_create(image.get());
        cairo_arc(cr, n / 2.0, n / 2.0, (n - 2 * inset) / 2, 0, 2 * std::numbers::pi);
        cairo_set_source_rgba(cr, 1, 1, 1, 0.35);
        cairo_fill_preserve(cr);
        cairo_set_source_rgba(cr, 1, 1, 1, 1);
        cairo_set_line_width(cr, inset);
        cairo_stroke(cr);
        cairo_status_t status = cairo_status(cr);
        cairo_destroy(cr);
        cairo_surface_flush(image.get());
        return status == CAIRO_STATUS_SUCCESS ? image : Surface{};
    }

    int w = static_cast<int>(height * 20 / 28);
    int h = static_cast<int>(height);
    if (w <= 2 || h <= 2) return {};
    Surface image = makeSurface(w, h);
    if (!image) return {};
    double u = w / 20.0;
    double v = h / 28.0;
    bool invert = style == "invert";
    double fill = invert ? 1.0 : 0.07;
    double outline = invert ? 0.07 : 1.0;

    cairo_t* cr = cairo_create(image.get());
    traceArrow(cr, u, v);
    cairo_set_source_rgba(cr, fill, fill, fill, 1);
    cairo_fill_preserve(cr);
    cairo_set_source_rgba(cr, outline, outline, outline, 1);
    cairo_set_line_width(cr, 1.6 * v);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_flush(image.get());
    return status == CAIRO_STATUS_SUCCESS ? image : Surface{};
}

}  // namespace marlune
