// The keystroke overlay in the editor's still previews (the export's own composition): the pill
// shows where and while it should, in its style, and a key press inside a cut is gone.

#include <glib.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/image/image_codecs.h"
#include "render/preview_renderer.h"
#include "render_support.h"
#include "support/recordings_folder.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

Result<PreviewImage> previewNow(PreviewRenderer& renderer, const Json& payload) {
    std::mutex lock;
    std::condition_variable changed;
    std::optional<Result<PreviewImage>> answer;
    renderer.preview(payload, test::sourceWebRoot(), [&](Result<PreviewImage> made) {
        std::lock_guard guard(lock);
        answer = std::move(made);
        changed.notify_all();
    });
    std::unique_lock guard(lock);
    changed.wait_for(guard, std::chrono::seconds(60), [&] { return answer.has_value(); });
    return answer.value_or(fail("(no answer)"));
}

BgraImage decoded(const PreviewImage& preview) {
    const std::string prefix = "data:image/jpeg;base64,";
    gsize size = 0;
    guchar* bytes = g_base64_decode(preview.dataURL.c_str() + prefix.size(), &size);
    auto image = decodeJpeg(std::span<const std::uint8_t>(bytes, size));
    g_free(bytes);
    return image.value_or(BgraImage{});
}

int luma(std::uint32_t bgra) {
    return ((bgra >> 16 & 255) * 299 + (bgra >> 8 & 255) * 587 + (bgra & 255) * 114) / 1000;
}

// What a box of the picture holds: the darkest, the lightest and the mean luma in it.
struct Span {
    int darkest = 255, lightest = 0;
    double mean = 0;
};
Span spanOf(const BgraImage& image, int x0, int y0, int x1, int y1) {
    Span s;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const int l = luma(image.pixel(x, y));
            s.darkest = std::min(s.darkest, l);
            s.lightest = std::max(s.lightest, l);
            s.mean += l;
        }
    }
    s.mean /= double(x1 - x0) * (y1 - y0);
    return s;
}

TEST(KeystrokeOverlay, ThePillShowsWhereAndWhileItShould) {
    const fs::path dir = test::recordingsFolder();
    if (!fs::exists(dir / "Grey.mp4")) {
        ASSERT_TRUE(test::ffmpegLine(
            "-f lavfi -i color=c=0x808080:s=640x360:r=30 -t 3 -c:v libx264 -pix_fmt yuv420p",
            dir / "Grey.mp4"));
    }
    enum Shows { nothing, dark, light };
    struct Case {
        const char* what;
        double tMs;
        Json keys;  // the payload's "keys" section; null for none
        Json cuts;
        Shows bottom;  // in the bottom centre (the default place)
        Shows topLeft;
    };
    const Json press = Json::array({Json::array({400, "Ctrl+Shift+S"})});
    auto keys = [&](Json extra) {
        Json k = {{"enabled", true}, {"events", press}};
        if (extra.is_object()) k.update(extra);
        return k;
    };
    const Case cases[] = {
        {"no keys section: the picture as today", 500, nullptr, nullptr, nothing, nothing},
        {"turned off", 500, {{"enabled", false}, {"events", press}}, nullptr, nothing, nothing},
        {"just after the press", 500, keys({}), nullptr, dark, nothing},
        {"before the press", 380, keys({}), nullptr, nothing, nothing},
        {"fading, still there", 1650, keys({}), nullptr, dark, nothing},
        {"gone after the fade", 2000, keys({}), nullptr, nothing, nothing},
        {"light style", 500, keys({{"style", "light"}}), nullptr, light, nothing},
        {"top left", 500, keys({{"position", "top-left"}}), nullptr, nothing, dark},
        {"a press inside a cut is gone", 600, keys({}),
         Json::array({{{"startMs", 300}, {"endMs", 500}}}), nothing, nothing},
    };
    PreviewRenderer renderer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Json payload = {{"name", "Grey.mp4"},
                        {"startMs", 0},
                        {"endMs", 3000},
                        {"tMs", c.tMs},
                        {"maxWidth", 640}};
        if (!c.keys.is_null()) payload["keys"] = c.keys;
        if (!c.cuts.is_null()) payload["cuts"] = c.cuts;
        auto preview = previewNow(renderer, payload);
        ASSERT_TRUE(preview) << preview.error().message;
        const BgraImage image = decoded(*preview);
        ASSERT_EQ(image.width, 640);
        ASSERT_EQ(image.height, 360);
        // The pill (text 14 px tall, 22 px from the edges) and the text inside it.
        const struct {
            Shows expected;
            int x0, y0, x1, y1;
        } places[] = {{c.bottom, 250, 310, 390, 338}, {c.topLeft, 24, 24, 120, 50}};
        for (const auto& p : places) {
            const Span s = spanOf(image, p.x0, p.y0, p.x1, p.y1);
            switch (p.expected) {
                case nothing:  // the grey source alone
                    EXPECT_GT(s.darkest, 110);
                    EXPECT_LT(s.lightest, 146);
                    break;
                case dark:  // a dark pill with light text
                    EXPECT_LT(s.mean, 100);
                    EXPECT_GT(s.lightest, 200);
                    break;
                case light:  // a light pill with dark text
                    EXPECT_GT(s.mean, 170);
                    EXPECT_LT(s.darkest, 60);
                    break;
            }
        }
    }
}

}  // namespace
}  // namespace marlune
