#include "wallpaper_art.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/json.h"
#include "image_io.h"

namespace marlune::assets {

namespace {

constexpr double kTau = 2 * std::numbers::pi;
constexpr double kAspect = 16.0 / 9.0;  // every output is 16:9

constexpr int kStillWidth = 2560, kStillHeight = 1440;
constexpr int kLiveWidth = 1280, kLiveHeight = 720;
constexpr int kThumbWidth = 320, kThumbHeight = 180;
constexpr int kLiveFps = 30;
constexpr int kLiveSeconds = 12;

// ---- Colour --------------------------------------------------------------------------------
// Scenes mix colours in Oklab, where blends keep their lightness and hue instead of turning grey
// or muddy halfway, as they would in sRGB.

struct Lab {
    double L, a, b;
};

double toLinear(double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

Lab labUncached(unsigned hex) {
    double r = toLinear(((hex >> 16) & 255) / 255.0);
    double g = toLinear(((hex >> 8) & 255) / 255.0);
    double b = toLinear((hex & 255) / 255.0);
    double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
            1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

// Scenes name their colours as sRGB hex numbers and are evaluated millions of times; the program
// is single-threaded, so a plain cache will do.
Lab lab(unsigned hex) {
    static std::unordered_map<unsigned, Lab> cache;
    auto it = cache.find(hex);
    if (it == cache.end()) it = cache.emplace(hex, labUncached(hex)).first;
    return it->second;
}

// Linear-light RGB, not clamped.
std::array<double, 3> linearRgb(Lab c) {
    double l = c.L + 0.3963377774 * c.a + 0.2158037573 * c.b;
    double m = c.L - 0.1055613458 * c.a - 0.0638541728 * c.b;
    double s = c.L - 0.0894841775 * c.a - 1.2914855480 * c.b;
    l = l * l * l, m = m * m * m, s = s * s * s;
    return {4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s,
            -1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s,
            -0.0041960863 * l - 0.7034186147 * m + 1.7076127010 * s};
}

Lab mix(Lab x, Lab y, double t) {
    return {x.L + (y.L - x.L) * t, x.a + (y.a - x.a) * t, x.b + (y.b - x.b) * t};
}

double smoothstep(double e0, double e1, double v) {
    double t = std::clamp((v - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// sRGB encoding of linear light in [0, 1], as 0–255 with fractions kept for dithering.
class SrgbTable {
  public:
    SrgbTable() {
        for (int i = 0; i < kSize; ++i) {
            double v = i / double(kSize - 1);
            v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
            table_[i] = static_cast<float>(v * 255);
        }
    }
    float operator()(double linear) const {
        double x = std::clamp(linear, 0.0, 1.0) * (kSize - 1);
        int i = std::min(static_cast<int>(x), kSize - 2);
        double f = x - i;
        return static_cast<float>(table_[i] + (table_[i + 1] - table_[i]) * f);
    }

  private:
    static constexpr int kSize = 8192;
    std::array<float, kSize> table_;
};

// ---- Scenes --------------------------------------------------------------------------------
// A scene gives the colour at (x, y), x in [0, 16/9] from the left, y in [0, 1] from the top, at
// loop phase t in [0, 1). Every motion is a whole number of cycles per loop, so t = 1 equals t = 0
// and the movies loop without a seam.

using Scene = std::function<Lab(double x, double y, double t)>;

// A soft colour field: each node's colour dominates near it and blends smoothly into its
// neighbours (a Gaussian-weighted average), like a mesh gradient with no visible patches.
struct Node {
    double x, y, sigma;
    unsigned colour;
};

Lab meshAt(const std::vector<Node>& nodes, double x, double y) {
    double wsum = 0;
    Lab sum{0, 0, 0};
    for (const auto& n : nodes) {
        double d2 = (x - n.x) * (x - n.x) + (y - n.y) * (y - n.y);
        double w = std::exp(-d2 / (2 * n.sigma * n.sigma)) + 1e-9;
        Lab c = lab(n.colour);
        sum = {sum.L + c.L * w, sum.a + c.a * w, sum.b + c.b * w};
        wsum += w;
    }
    return {sum.L / wsum, sum.a / wsum, sum.b / wsum};
}

// A glowing blob that orbits its centre: kx, ky whole cycles per loop.
struct Glow {
    double x, y, sigma, strength;
    unsigned colour;
    double rx = 0, ry = 0;
    int kx = 0, ky = 0;
    double phase = 0;
};

Lab glowAt(Lab base, const std::vector<Glow>& glows, double x, double y, double t) {
    for (const auto& g : glows) {
        double gx = g.x + g.rx * std::cos(kTau * g.kx * t + g.phase);
        double gy = g.y + g.ry * std::sin(kTau * g.ky * t + g.phase * 1.3);
        double d2 = (x - gx) * (x - gx) + (y - gy) * (y - gy);
        base = mix(base, lab(g.colour), g.strength * std::exp(-d2 / (2 * g.sigma * g.sigma)));
    }
    return base;
}

// A band filling everything below a gently undulating line; `speed` whole cycles per loop.
struct Wave {
    double y0;
    double amp1, freq1, phase1;
    double amp2, freq2, phase2;
    double softness, opacity;
    unsigned colour;
    int speed1 = 0, speed2 = 0;
    double rim = 0;  // brightening along the crest
};

Lab wavesAt(Lab base, const std::vector<Wave>& waves, double x, double y, double t) {
    for (const auto& w : waves) {
        double crest = w.y0 +
                       w.amp1 * std::sin(kTau * (w.freq1 * x / kAspect + w.speed1 * t) + w.phase1) +
                       w.amp2 * std::sin(kTau * (w.freq2 * x / kAspect - w.speed2 * t) + w.phase2);
        double d = y - crest;
        Lab c = lab(w.colour);
        if (w.rim > 0) {
            double rim = w.rim * std::exp(-d * d / (2 * 0.012 * 0.012)) * (d > 0 ? 1.0 : 0.35);
            c.L += rim;
        }
        base = mix(base, c, w.opacity * smoothstep(-w.softness, w.softness, d));
    }
    return base;
}

Lab vertical(unsigned top, unsigned bottom, double y) {
    return mix(lab(top), lab(bottom), y);
}

// Slightly darkens towards the corners; `amount` is the lightness lost at a corner.
Lab vignette(Lab c, double x, double y, double amount) {
    double dx = (x - kAspect / 2) / kAspect, dy = y - 0.5;
    c.L -= amount * (dx * dx + dy * dy) * 2;
    return c;
}

struct Wallpaper {
    std::string id, name, tone;
    Scene scene;
    bool live = false;
};

std::vector<Wallpaper> wallpapers() {
    std::vector<Wallpaper> list;

    list.push_back({"aurora", "Aurora", "dark", [](double x, double y, double) {
                        Lab c = vertical(0x0a0f24, 0x0d0a1c, y);
                        c = glowAt(c,
                                   {{0.35, 0.25, 0.30, 0.85, 0x1f8f8a},
                                    {0.95, 0.18, 0.26, 0.70, 0x3a5bd0},
                                    {1.45, 0.45, 0.32, 0.80, 0x7a3fc0},
                                    {0.70, 0.85, 0.34, 0.65, 0x14706e},
                                    {1.30, 0.95, 0.28, 0.55, 0xb03a8c}},
                                   x, y, 0);
                        return vignette(c, x, y, 0.05);
                    }});

    list.push_back({"dawn", "Dawn", "light", [](double x, double y, double) {
                        double wx = x + 0.05 * std::sin(3.1 * y + 0.7);
                        double wy = y + 0.04 * std::sin(2.3 * x + 1.9);
                        return meshAt({{0.10, 0.05, 0.38, 0xffe3cc},
                                       {0.90, 0.00, 0.34, 0xfcd0dc},
                                       {1.70, 0.10, 0.36, 0xdcd3fa},
                                       {0.30, 0.95, 0.40, 0xfbc7b8},
                                       {1.05, 0.70, 0.30, 0xfff1e2},
                                       {1.65, 0.95, 0.38, 0xc9def8}},
                                      wx, wy);
                    }});

    list.push_back({"lagoon", "Lagoon", "mid", [](double x, double y, double) {
                        double wx = x + 0.07 * std::sin(2.6 * y + 0.3);
                        double wy = y + 0.05 * std::sin(2.1 * x + 2.2);
                        return meshAt({{0.05, 0.10, 0.34, 0x0f5d86},
                                       {0.80, 0.20, 0.30, 0x1796a6},
                                       {1.60, 0.05, 0.34, 0x2a4a9e},
                                       {0.35, 0.90, 0.36, 0x2fb59a},
                                       {1.10, 0.85, 0.30, 0x5ed3bd},
                                       {1.75, 0.80, 0.32, 0x136f8f}},
                                      wx, wy);
                    }});

    list.push_back(
        {"tide", "Tide", "mid", [](double x, double y, double) {
             Lab c = vertical(0x9fd0ea, 0x2c6fa0, y);
             c = wavesAt(
                 c,
                 {{0.38, 0.035, 1.1, 0.4, 0.012, 2.7, 1.2, 0.010, 0.85, 0x4b95c4, 0, 0, 0.03},
                  {0.52, 0.040, 0.8, 2.1, 0.015, 2.1, 0.2, 0.010, 0.90, 0x2d77ac, 0, 0, 0.03},
                  {0.66, 0.030, 1.3, 4.0, 0.012, 3.0, 2.5, 0.010, 0.92, 0x1d5a8c, 0, 0, 0.025},
                  {0.80, 0.035, 0.9, 1.0, 0.010, 2.4, 0.8, 0.010, 0.95, 0x143f6b, 0, 0, 0.02}},
                 x, y, 0);
             return vignette(c, x, y, 0.04);
         }});

    list.push_back({"ember", "Ember", "dark", [](double x, double y, double) {
                        Lab c = vertical(0x1a0a14, 0x120812, y);
                        c = glowAt(c,
                                   {{1.35, 0.78, 0.34, 0.90, 0xd4452e},
                                    {1.05, 0.95, 0.26, 0.75, 0xff8a3d},
                                    {0.40, 0.30, 0.32, 0.70, 0x5e237f},
                                    {1.55, 0.25, 0.24, 0.55, 0x9c2a5c},
                                    {0.65, 0.95, 0.24, 0.45, 0xffb45a}},
                                   x, y, 0);
                        return vignette(c, x, y, 0.05);
                    }});

    list.push_back({"mist", "Mist", "light", [](double x, double y, double) {
                        Lab c = vertical(0xf6f8fb, 0xe4eaf2, y);
                        c = wavesAt(c,
                                    {{0.55, 0.05, 0.7, 0.9, 0.015, 1.9, 2.0, 0.05, 0.70, 0xdcdcf0},
                                     {0.68, 0.05, 0.9, 2.6, 0.012, 2.3, 0.4, 0.05, 0.75, 0xcad8ea},
                                     {0.82, 0.04, 0.6, 4.4, 0.015, 2.0, 1.1, 0.05, 0.80, 0xb9cbe0}},
                                    x, y, 0);
                        return c;
                    }});

    list.push_back({"midnight", "Midnight", "dark", [](double x, double y, double) {
                        Lab c = vertical(0x090a10, 0x06070b, y);
                        c = glowAt(c,
                                   {{0.15, 1.00, 0.45, 0.75, 0x172a55},
                                    {1.70, 0.00, 0.40, 0.65, 0x2e1c4c},
                                    {0.95, 0.55, 0.50, 0.20, 0x121a30}},
                                   x, y, 0);
                        return c;
                    }});

    list.push_back({"meadow", "Meadow", "light", [](double x, double y, double) {
                        double wx = x + 0.06 * std::sin(2.4 * y + 2.0);
                        double wy = y + 0.05 * std::sin(1.9 * x + 0.4);
                        return meshAt({{0.05, 0.05, 0.36, 0xf5f0c0},
                                       {0.85, 0.10, 0.32, 0xc9ecc4},
                                       {1.70, 0.05, 0.36, 0xa8e0d4},
                                       {0.25, 0.90, 0.36, 0x9fd6a5},
                                       {1.05, 0.85, 0.30, 0xe2f2b8},
                                       {1.70, 0.95, 0.34, 0x7cc8b8}},
                                      wx, wy);
                    }});

    list.push_back(
        {"dusk", "Dusk", "mid", [](double x, double y, double) {
             Lab c = vertical(0xf6b27c, 0x6b3d8f, y);
             c = wavesAt(
                 c,
                 {{0.45, 0.04, 0.9, 0.2, 0.012, 2.2, 1.4, 0.012, 0.85, 0xe0808a, 0, 0, 0.03},
                  {0.60, 0.04, 1.2, 2.8, 0.012, 2.6, 0.6, 0.012, 0.90, 0xa95a95, 0, 0, 0.03},
                  {0.75, 0.04, 0.8, 4.9, 0.015, 2.9, 2.0, 0.012, 0.92, 0x6a3f8c, 0, 0, 0.025},
                  {0.88, 0.03, 1.0, 1.7, 0.010, 2.2, 0.3, 0.012, 0.95, 0x3c2767, 0, 0, 0.02}},
                 x, y, 0);
             return vignette(c, x, y, 0.04);
         }});

    // Live backgrounds: slow enough to sit behind a recording without pulling the eye.
    list.push_back({"aurora-drift", "Aurora Drift", "dark",
                    [](double x, double y, double t) {
                        Lab c = vertical(0x0a0f24, 0x0d0a1c, y);
                        c = glowAt(c,
                                   {{0.40, 0.30, 0.30, 0.85, 0x1f8f8a, 0.18, 0.10, 1, 1, 0.0},
                                    {1.05, 0.25, 0.26, 0.70, 0x3a5bd0, 0.22, 0.12, 1, 2, 1.7},
                                    {1.40, 0.55, 0.32, 0.80, 0x7a3fc0, 0.15, 0.14, 1, 1, 3.1},
                                    {0.75, 0.80, 0.32, 0.65, 0x14706e, 0.20, 0.10, 2, 1, 4.4},
                                    {1.25, 0.90, 0.26, 0.55, 0xb03a8c, 0.18, 0.08, 1, 1, 5.5}},
                                   x, y, t);
                        return vignette(c, x, y, 0.05);
                    },
                    true});

    list.push_back(
        {"tide-flow", "Tide Flow", "mid",
         [](double x, double y, double t) {
             Lab c = vertical(0x9fd0ea, 0x2c6fa0, y);
             c = wavesAt(c,
                         {{0.38, 0.035, 1, 0.4, 0.012, 3, 1.2, 0.010, 0.85, 0x4b95c4, 1, 1, 0.03},
                          {0.52, 0.040, 1, 2.1, 0.015, 2, 0.2, 0.010, 0.90, 0x2d77ac, 1, 1, 0.03},
                          {0.66, 0.030, 2, 4.0, 0.012, 3, 2.5, 0.010, 0.92, 0x1d5a8c, 1, 1, 0.025},
                          {0.80, 0.035, 1, 1.0, 0.010, 2, 0.8, 0.010, 0.95, 0x143f6b, 1, 1, 0.02}},
                         x, y, t);
             return vignette(c, x, y, 0.04);
         },
         true});
    return list;
}

// ---- Rasterising ---------------------------------------------------------------------------

// Scenes are smooth, so they are evaluated on a coarser grid and interpolated; `dither` adds
// triangular noise of up to two steps, enough to survive JPEG compression, so that slow
// gradients show no bands.
RgbImage render(const Scene& scene, int width, int height, double t, int step, bool dither) {
    static const SrgbTable srgb;
    int gw = (width + step - 1) / step + 1;
    int gh = (height + step - 1) / step + 1;
    std::vector<Lab> grid(static_cast<std::size_t>(gw) * gh);
    for (int gy = 0; gy < gh; ++gy) {
        for (int gx = 0; gx < gw; ++gx) {
            double x = (gx * step + 0.5) / width * kAspect;
            double y = (gy * step + 0.5) / height;
            grid[gy * gw + gx] = scene(x, y, t);
        }
    }
    RgbImage image{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3)};
    std::uint32_t seed = 0x9e3779b9u;
    auto noise = [&] {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        return (seed >> 8) / double(1 << 24);
    };
    for (int y = 0; y < height; ++y) {
        int gy = y / step;
        double fy = double(y % step) / step;
        for (int x = 0; x < width; ++x) {
            int gx = x / step;
            double fx = double(x % step) / step;
            Lab top = mix(grid[gy * gw + gx], grid[gy * gw + gx + 1], fx);
            Lab bottom = mix(grid[(gy + 1) * gw + gx], grid[(gy + 1) * gw + gx + 1], fx);
            auto rgb = linearRgb(mix(top, bottom, fy));
            std::uint8_t* out = &image.pixels[(std::size_t(y) * width + x) * 3];
            for (int c = 0; c < 3; ++c) {
                double v = srgb(rgb[c]);
                if (dither) v += 2 * (noise() - noise());
                out[c] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
            }
        }
    }
    return image;
}

std::string averageHex(const RgbImage& image) {
    double sum[3] = {0, 0, 0};
    for (std::size_t i = 0; i < image.pixels.size(); i += 3)
        for (int c = 0; c < 3; ++c) sum[c] += image.pixels[i + c];
    double n = double(image.pixels.size() / 3);
    char hex[8];
    std::snprintf(hex, sizeof hex, "#%02x%02x%02x", int(std::lround(sum[0] / n)),
                  int(std::lround(sum[1] / n)), int(std::lround(sum[2] / n)));
    return hex;
}

void writeMovie(const Wallpaper& w, const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    // BT.709 matrix and tags, as players assume for HD; the constant rate factor keeps the files
    // small because the pictures are smooth.
    std::string command =
        "ffmpeg -hide_banner -loglevel error -y -f rawvideo -pixel_format rgb24 -video_size " +
        std::to_string(kLiveWidth) + "x" + std::to_string(kLiveHeight) + " -framerate " +
        std::to_string(kLiveFps) +
        " -i - -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -c:v libx264 "
        "-preset slow -crf 24 -profile:v high -g " +
        std::to_string(kLiveFps * 2) +
        " -color_primaries bt709 -color_trc bt709 -colorspace bt709 -movflags +faststart -an '" +
        path.string() + "'";
    FILE* pipe = popen(command.c_str(), "w");
    if (!pipe) throw std::runtime_error("cannot start ffmpeg");
    const int frames = kLiveFps * kLiveSeconds;
    for (int i = 0; i < frames; ++i) {
        RgbImage frame = render(w.scene, kLiveWidth, kLiveHeight, double(i) / frames, 2, false);
        if (std::fwrite(frame.pixels.data(), 1, frame.pixels.size(), pipe) != frame.pixels.size()) {
            pclose(pipe);
            throw std::runtime_error("ffmpeg stopped reading frames for " + w.id);
        }
    }
    if (pclose(pipe) != 0) throw std::runtime_error("ffmpeg failed for " + w.id);
}

void writeContactSheet(const std::filesystem::path& dir, const std::vector<RgbImage>& thumbs) {
    const int columns = 4;
    int rows = (static_cast<int>(thumbs.size()) + columns - 1) / columns;
    RgbImage sheet{
        columns * (kThumbWidth + 8), rows * (kThumbHeight + 8),
        std::vector<std::uint8_t>(
            std::size_t(columns) * (kThumbWidth + 8) * rows * (kThumbHeight + 8) * 3, 255)};
    for (std::size_t i = 0; i < thumbs.size(); ++i) {
        int left = int(i % columns) * (kThumbWidth + 8) + 4;
        int top = int(i / columns) * (kThumbHeight + 8) + 4;
        for (int y = 0; y < kThumbHeight; ++y)
            std::copy_n(&thumbs[i].pixels[std::size_t(y) * kThumbWidth * 3], kThumbWidth * 3,
                        &sheet.pixels[(std::size_t(top + y) * sheet.width + left) * 3]);
    }
    writeBytes(dir / "wallpapers.jpg", encodeJpeg(sheet, 92));
}

}  // namespace

void makeWallpapers(const std::filesystem::path& webRoot, bool stills, bool live,
                    const std::optional<std::filesystem::path>& previewDir) {
    const auto folder = webRoot / "wallpapers";
    Json stillList = Json::array();
    Json liveList = Json::array();
    std::vector<RgbImage> thumbs;
    for (const auto& w : wallpapers()) {
        RgbImage thumb = render(w.scene, kThumbWidth, kThumbHeight, 0, 1, true);
        std::string thumbPath = "wallpapers/thumbs/" + w.id + ".jpg";
        writeBytes(webRoot / thumbPath, encodeJpeg(thumb, 85));
        Json entry = {{"id", w.id},
                      {"name", w.name},
                      {"tone", w.tone},
                      {"hex", averageHex(thumb)},
                      {"thumb", thumbPath}};
        if (w.live) {
            std::string moviePath = "wallpapers/live/" + w.id + ".mp4";
            if (live) writeMovie(w, webRoot / moviePath);
            entry["movie"] = moviePath;
            entry["width"] = kLiveWidth;
            entry["height"] = kLiveHeight;
            entry["durationMs"] = kLiveSeconds * 1000;
            liveList.push_back(entry);
        } else {
            std::string fullPath = "wallpapers/full/" + w.id + ".jpg";
            if (stills) {
                RgbImage full = render(w.scene, kStillWidth, kStillHeight, 0, 2, true);
                writeBytes(webRoot / fullPath, encodeJpeg(full, 85));
            }
            entry["full"] = fullPath;
            entry["width"] = kStillWidth;
            entry["height"] = kStillHeight;
            stillList.push_back(entry);
        }
        thumbs.push_back(std::move(thumb));
        std::cout << "wallpapers: " << w.id << "\n";
    }
    Json index = {{"version", 1}, {"wallpapers", stillList}, {"live", liveList}};
    writeBytes(folder / "index.json", index.dump(2) + "\n");
    if (previewDir) {
        std::filesystem::create_directories(*previewDir);
        writeContactSheet(*previewDir, thumbs);
    }
}

}  // namespace marlune::assets
