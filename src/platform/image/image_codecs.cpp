#include "platform/image/image_codecs.h"

#include <turbojpeg.h>

#include <glib.h>

#include <memory>

extern "C" {
#include <libswscale/swscale.h>
}

namespace marlune {

namespace {

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

// One compressor and one decompressor per thread: cheap to keep, costly to make per image.
tjhandle compressor() {
    thread_local TjHandle handle(tjInitCompress());
    return handle.get();
}

tjhandle decompressor() {
    thread_local TjHandle handle(tjInitDecompress());
    return handle.get();
}

}  // namespace

Result<BgraImage> scaleImage(const BgraImage& image, int width, int height) {
    if (image.empty() || width <= 0 || height <= 0) return fail("Invalid image size.");
    BgraImage out = BgraImage::blank(width, height);
    SwsContext* sws = sws_getContext(image.width, image.height, AV_PIX_FMT_BGRA, width, height,
                                     AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws) return fail("Could not scale the image.");
    const std::uint8_t* src[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {image.stride, 0, 0, 0};
    std::uint8_t* dst[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {out.stride, 0, 0, 0};
    int rows = sws_scale(sws, src, srcStride, 0, image.height, dst, dstStride);
    sws_freeContext(sws);
    if (rows != height) return fail("Could not scale the image.");
    return out;
}

std::optional<std::vector<std::uint8_t>> encodeJpeg(const BgraImage& image, int quality,
                                                    JpegChroma chroma) {
    tjhandle tj = compressor();
    if (image.empty() || !tj) return std::nullopt;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(tj, image.pixels.data(), image.width, image.stride, image.height,
                         TJPF_BGRA, &buffer, &size,
                         chroma == JpegChroma::full ? TJSAMP_444 : TJSAMP_420, quality, 0);
    std::optional<std::vector<std::uint8_t>> out;
    if (rc == 0 && buffer) out.emplace(buffer, buffer + size);
    tjFree(buffer);
    return out;
}

std::optional<BgraImage> decodeJpeg(std::span<const std::uint8_t> bytes) {
    tjhandle tj = decompressor();
    if (!tj || bytes.empty()) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(tj, bytes.data(), bytes.size(), &width, &height, &subsampling,
                            &colorspace) != 0) {
        return std::nullopt;
    }
    BgraImage image = BgraImage::blank(width, height);
    if (image.empty()) return std::nullopt;
    if (tjDecompress2(tj, bytes.data(), bytes.size(), image.pixels.data(), width, image.stride,
                      height, TJPF_BGRA, 0) != 0) {
        return std::nullopt;
    }
    return image;
}

std::optional<std::string> jpegDataURL(const BgraImage& image, int maxWidth, int quality,
                                       JpegChroma chroma) {
    auto size = fittedSize(image.width, image.height, maxWidth);
    if (!size || image.empty()) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> jpeg;
    if (size->width == image.width && size->height == image.height) {
        jpeg = encodeJpeg(image, quality, chroma);
    } else {
        auto scaled = scaleImage(image, size->width, size->height);
        if (!scaled) return std::nullopt;
        jpeg = encodeJpeg(*scaled, quality, chroma);
    }
    if (!jpeg) return std::nullopt;
    gchar* base64 = g_base64_encode(jpeg->data(), jpeg->size());
    std::string url = "data:image/jpeg;base64,";
    url += base64;
    g_free(base64);
    return url;
}

}  // namespace marlune
