#pragma once

#include <cairo.h>

#include <utility>

namespace marlune {

// Shared owner of one cairo surface reference. Copies share the same pixels through cairo's own
// reference count, so once a surface has been handed out nobody draws into it any more: treat every
// shared surface as immutable. Empty when default-constructed or when a maker failed. A Surface
// may move between threads; drawing into one surface from two threads at once is not allowed.
class Surface {
  public:
    Surface() = default;
    Surface(const Surface& other) : s_(other.s_ ? cairo_surface_reference(other.s_) : nullptr) {}
    Surface(Surface&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    Surface& operator=(Surface other) noexcept {
        std::swap(s_, other.s_);
        return *this;
    }
    ~Surface() {
        if (s_) cairo_surface_destroy(s_);
    }

    // Takes over the caller's reference. A null surface or one in an error state (cairo's makers
    // never return null, they return an error surface) is released and gives an empty Surface.
    static Surface adopt(cairo_surface_t* surface) {
        if (surface && cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            surface = nullptr;
        }
        return Surface(surface);
    }

    explicit operator bool() const { return s_ != nullptr; }
    cairo_surface_t* get() const { return s_; }
    // Pixel size of an image surface; 0 when empty.
    int width() const { return s_ ? cairo_image_surface_get_width(s_) : 0; }
    int height() const { return s_ ? cairo_image_surface_get_height(s_) : 0; }

  private:
    explicit Surface(cairo_surface_t* s) : s_(s) {}

    cairo_surface_t* s_ = nullptr;
};

// A transparent CAIRO_FORMAT_ARGB32 image surface: premultiplied alpha, one 32-bit word per pixel,
// B, G, R, A bytes in memory on little-endian machines. Empty when a side is not positive, is
// beyond cairo's limit (32767) or memory runs out.
inline Surface makeSurface(int width, int height) {
    if (width <= 0 || height <= 0) return {};
    return Surface::adopt(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
}

}  // namespace marlune
