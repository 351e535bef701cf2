#include "recording/webcam_bubble_controller.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "core/debug_log.h"
#include "core/queue.h"
#include "recording/camera_session.h"
#include "recording/layer_surface.h"
#include "recording/wayland_capture.h"
#include "recording/webcam_proxy_writer.h"

namespace marlune {

namespace {

// Pictures handed from the camera's thread to the ".webcam" queue and not yet handled there; a
// picture beyond these is dropped (late pictures are worth nothing to a live preview, and a
// recording would only fall further behind).
constexpr int kMaxQueuedPictures = 2;

constexpr CameraMode kRecordMode{WebcamBubbleController::recordWidth,
                                 WebcamBubbleController::recordHeight,
                                 WebcamBubbleController::recordFPS};

std::string environmentOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

}  // namespace

CameraSource configuredCameraSource(const KeyValueStore* defaults) {
    CameraSource source;
    if (defaults) {
        if (auto format = defaults->value("webcamInputFormat"); format && format->is_string())
            source.format = format->get<std::string>();
        if (auto device = defaults->value("webcamDevice"); device && device->is_string())
            source.device = device->get<std::string>();
    }
    source.format = environmentOr("MARLUNE_WEBCAM_INPUT_FORMAT", source.format);
    source.device = environmentOr("MARLUNE_WEBCAM_DEVICE", source.device);
    return source;
}

struct WebcamBubbleController::State : std::enable_shared_from_this<State> {
    Options options;
    std::shared_ptr<Queue> queue = Queue::makeSerial(".webcam");

    // Main thread.
    GtkWidget* window = nullptr;
    GtkWidget* area = nullptr;
    BubbleLayout layout;
    bool ring = true;
    double zoom = 1.0;
    GdkScreen* screen = nullptr;
    gulong compositedHandler = 0;
    bool dragging = false;
    double dragRootX = 0, dragRootY = 0;
    int dragWindowX = 0, dragWindowY = 0;
    std::uint64_t shown = 0;
    HostTime lastShownPts = -1;

    // Any thread.
    mutable std::mutex mutex;
    std::shared_ptr<CameraSession> session;  // the shown bubble's camera; guarded by mutex
    CameraMode previewMode;                  // the shown bubble's own mode; guarded by mutex
    VideoFrame latest;                       // the picture to show next; guarded by mutex
    // What the preview's pictures are shrunk for: the shown bubble, its zoom and its device
    // pixels per logical one; guarded by mutex.
    BubbleLayout previewLayout;
    double previewZoom = 1.0;
    int previewPixelScale = 1;
    bool redrawPosted = false;  // guarded by mutex
    // The webcam movie's writer once its first picture is in, and whether the recording is
    // paused; guarded by mutex (the main thread pauses and resumes the writer directly).
    std::shared_ptr<AssetWriterCoordinator> recWriter;
    std::shared_ptr<WebcamProxyWriter> proxyWriter;  // its small copy, when one is written
    bool recordingPaused = false;
    std::atomic<std::uint64_t> generation{0};  // which show() the pictures belong to
    std::atomic<int> queuedPictures{0};

    // ".webcam" queue.
    FramePacer previewPacer{previewFPS};
    std::uint64_t pacedGeneration = 0;
    std::optional<std::filesystem::path> pendingRecordURL;  // asked for, no picture yet
    std::uint64_t recordingSerial = 0;  // tells a stale mode switch from the current one

    std::shared_ptr<CameraSession> currentSession() const {
        std::lock_guard lock(mutex);
        return session;
    }
    std::shared_ptr<AssetWriterCoordinator> currentWriter() const {
        std::lock_guard lock(mutex);
        return recWriter;
    }
    std::shared_ptr<WebcamProxyWriter> currentProxy() const {
        std::lock_guard lock(mutex);
        return proxyWriter;
    }

    void startCamera(const CameraSource& source, const CameraMode& mode);
    void handlePicture(std::uint64_t forGeneration, VideoFrame picture, const CameraMode& mode);
    void record(const VideoFrame& picture, const CameraMode& mode);
    VideoFrame shrunkForPreview(VideoFrame picture) const;
    void beginRecording(std::filesystem::path url);
    void endRecording(StopCompletion completion);
    void redraw();
    void applyShape();
    void destroyWindow();

    static gboolean onDraw(GtkWidget*, cairo_t* cr, gpointer data);
    static gboolean onPress(GtkWidget*, GdkEventButton* event, gpointer data);
    static gboolean onMotion(GtkWidget*, GdkEventMotion* event, gpointer data);
    static gboolean onRelease(GtkWidget*, GdkEventButton* event, gpointer data);
    static void onCompositedChanged(GdkScreen*, gpointer data);
};

void WebcamBubbleController::State::startCamera(const CameraSource& source,
                                                const CameraMode& mode) {
    const std::uint64_t forGeneration = ++generation;
    std::weak_ptr<State> weak = weak_from_this();
    auto camera = CameraSession::start(
        source, mode, [weak, forGeneration](VideoFrame picture, const CameraMode& mode) {
            // The camera's thread: only hands over, never waits.
            auto self = weak.lock();
            if (!self) return;
            if (self->queuedPictures.fetch_add(1) >= kMaxQueuedPictures) {
                --self->queuedPictures;
                return;
            }
            postIfAlive(*self->queue, weak,
                        [forGeneration, mode, picture = std::move(picture)](State& state) mutable {
                            --state.queuedPictures;
                            state.handlePicture(forGeneration, std::move(picture), mode);
                        });
        });
    std::lock_guard lock(mutex);
    session = std::move(camera);
}

void WebcamBubbleController::State::handlePicture(std::uint64_t forGeneration, VideoFrame picture,
                                                  const CameraMode& mode) {
    MARLUNE_ASSERT_ON(queue);
    if (forGeneration != generation.load()) return;  // from a bubble since hidden
    // Every picture goes to the movie; only the preview is thinned out.
    record(picture, mode);
    if (pacedGeneration != forGeneration) {
        pacedGeneration = forGeneration;
        previewPacer.reset();
    }
    if (!previewPacer.admit(picture.pts)) return;
    picture = shrunkForPreview(std::move(picture));
    std::lock_guard lock(mutex);
    latest = std::move(picture);
    if (redrawPosted) return;  // the main thread has not drawn the previous one yet
    redrawPosted = true;
    postIfAlive(Queue::main(), weak_from_this(), [](State& state) { state.redraw(); });
}

VideoFrame WebcamBubbleController::State::shrunkForPreview(VideoFrame picture) const {
    int halvings = 0;
    {
        std::lock_guard lock(mutex);
        halvings = previewHalvings(previewLayout, picture.width, picture.height, previewZoom,
                                   previewPixelScale);
    }
    for (int i = 0; i < halvings; ++i) {
        auto image = std::make_shared<BgraImage>(halvedPicture(
            BgraPixels(picture.pixels.get(), picture.width, picture.height, picture.stride)));
        picture.width = image->width;
        picture.height = image->height;
        picture.stride = image->stride;
        picture.pixels = std::shared_ptr<const std::uint8_t>(image, image->pixels.data());
    }
    return picture;
}

void WebcamBubbleController::State::record(const VideoFrame& picture, const CameraMode& mode) {
    std::shared_ptr<AssetWriterCoordinator> writer = currentWriter();
    if (!writer) {
        // The movie starts with the first picture taken in the recording mode; the preview's
        // pictures still on their way are not part of it.
        if (!pendingRecordURL || mode != kRecordMode) return;
        {
            std::lock_guard lock(mutex);
            // Not during a pause: the movie would start with what the screen movie leaves out.
            if (recordingPaused) return;
        }
        auto made = std::make_shared<AssetWriterCoordinator>(options.writerTuning);
        auto prepared = made->prepare(*pendingRecordURL, picture.width, picture.height, recordFPS,
                                      false, false, recordBitrate);
        auto proxy = prepared ? WebcamProxyWriter::start(*pendingRecordURL, picture, recordFPS,
                                                         options.writerTuning)
                              : nullptr;
        pendingRecordURL.reset();
        if (!prepared) {
            systemLog("Marlune: webcam writer failed (" + prepared.error().message +
                      ") — continuing without webcam layer");
            return;
        }
        std::lock_guard lock(mutex);
        recWriter = made;
        proxyWriter = proxy;
        // A pause that came while the movie was being created.
        if (recordingPaused) made->pause();
        if (recordingPaused && proxy) proxy->pause();
        writer = std::move(made);
    }
    writer->appendVideo(picture);
    if (auto proxy = currentProxy()) proxy->append(picture);
}

void WebcamBubbleController::State::beginRecording(std::filesystem::path url) {
    MARLUNE_ASSERT_ON(queue);
    auto camera = currentSession();
    if (!camera || currentWriter() || pendingRecordURL) return;
    pendingRecordURL = std::move(url);
    const std::uint64_t serial = ++recordingSerial;
    camera->setMode(kRecordMode, [weak = weak_from_this(), serial](bool running) {
        if (running) return;
        auto self = weak.lock();
        if (!self) return;
        postIfAlive(*self->queue, weak, [serial](State& state) {
            if (serial != state.recordingSerial || !state.pendingRecordURL) return;
            systemLog("Marlune: webcam tap unavailable — continuing without webcam layer");
            state.pendingRecordURL.reset();
            // Back to the preview, which the camera may still be able to give.
            CameraMode preview;
            {
                std::lock_guard lock(state.mutex);
                preview = state.previewMode;
            }
            if (auto camera = state.currentSession()) camera->setMode(preview);
        });
    });
}

void WebcamBubbleController::State::endRecording(StopCompletion completion) {
    MARLUNE_ASSERT_ON(queue);
    pendingRecordURL.reset();
    ++recordingSerial;
    std::shared_ptr<AssetWriterCoordinator> writer;
    CameraMode preview;
    {
        std::lock_guard lock(mutex);
        writer = std::move(recWriter);
        recWriter.reset();
        if (proxyWriter) proxyWriter->finish();
        proxyWriter.reset();
        recordingPaused = false;
        preview = previewMode;
    }
    if (auto camera = currentSession()) camera->setMode(preview);
    if (!writer) {
        Queue::main().post([completion = std::move(completion)] { completion(nullptr, false); });
        return;
    }
    writer->finish([writer, completion = std::move(completion)](Result<SavedInfo> saved) mutable {
        bool finished = saved.has_value();
        Queue::main().post([writer = finished ? std::move(writer) : nullptr, finished,
                            completion = std::move(completion)] { completion(writer, finished); });
    });
}

void WebcamBubbleController::State::redraw() {
    MARLUNE_ASSERT_ON(Queue::main());
    {
        std::lock_guard lock(mutex);
        redrawPosted = false;
    }
    if (area) gtk_widget_queue_draw(area);
}

void WebcamBubbleController::State::applyShape() {
    if (!window) return;
    const int w = layout.frame.width;
    const int h = layout.frame.height;
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A1, w, h);
    cairo_t* cr = cairo_create(mask);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    addBubblePath(cr, layout);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_region_t* region = gdk_cairo_region_create_from_surface(mask);
    cairo_surface_destroy(mask);
    // Clicks outside the outline go to what lies beneath.
    gtk_widget_input_shape_combine_region(window, region);
    // With a compositor and a visual with alpha, the corners are simply transparent (and the
    // edge smooth); without, the window itself is cut to the outline.
    GdkScreen* s = gtk_widget_get_screen(window);
    bool blends = gdk_screen_is_composited(s) &&
                  gtk_widget_get_visual(window) == gdk_screen_get_rgba_visual(s);
    gtk_widget_shape_combine_region(window, blends ? nullptr : region);
    cairo_region_destroy(region);
}

void WebcamBubbleController::State::destroyWindow() {
    if (screen && compositedHandler) g_signal_handler_disconnect(screen, compositedHandler);
    screen = nullptr;
    compositedHandler = 0;
    if (window) gtk_widget_destroy(window);
    window = nullptr;
    area = nullptr;
    dragging = false;
}

gboolean WebcamBubbleController::State::onDraw(GtkWidget*, cairo_t* cr, gpointer data) {
    auto* self = static_cast<State*>(data);
    VideoFrame picture;
    {
        std::lock_guard lock(self->mutex);
        picture = self->latest;
    }
    paintBubble(cr, self->layout, picture.valid() ? &picture : nullptr, self->zoom, self->ring);
    if (picture.valid() && picture.pts != self->lastShownPts) {
        self->lastShownPts = picture.pts;
        ++self->shown;
    }
    return TRUE;
}

gboolean WebcamBubbleController::State::onPress(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* self = static_cast<State*>(data);
    if (event->button != GDK_BUTTON_PRIMARY) return FALSE;
    if (event->type == GDK_2BUTTON_PRESS) {
        // Reopening the device revives a camera that stopped delivering.
        if (auto camera = self->currentSession()) camera->restart();
        return TRUE;
    }
    if (event->type != GDK_BUTTON_PRESS || !self->window) return FALSE;
    if (layer::isLayerSurface(GTK_WINDOW(self->window))) {
        // A layer surface is moved by its offsets; the pointer's place is read in the window,
        // which moves under it (root coordinates are unknown on Wayland).
        self->dragging = true;
        self->dragRootX = event->x;
        self->dragRootY = event->y;
        return TRUE;
    }
#ifdef GDK_WINDOWING_WAYLAND
    // Wayland lets no program move its own windows: the compositor drags it instead.
    if (GDK_IS_WAYLAND_DISPLAY(gtk_widget_get_display(self->window))) {
        gtk_window_begin_move_drag(GTK_WINDOW(self->window), static_cast<int>(event->button),
                                   static_cast<int>(event->x_root), static_cast<int>(event->y_root),
                                   event->time);
        return TRUE;
    }
#endif
    self->dragging = true;
    self->dragRootX = event->x_root;
    self->dragRootY = event->y_root;
    gtk_window_get_position(GTK_WINDOW(self->window), &self->dragWindowX, &self->dragWindowY);
    return TRUE;
}

gboolean WebcamBubbleController::State::onMotion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    auto* self = static_cast<State*>(data);
    if (!self->dragging || !self->window) return FALSE;
    if (auto* gw = GTK_WINDOW(self->window); layer::isLayerSurface(gw)) {
        auto at = layer::offset(gw);
        layer::move(gw, {at.x + static_cast<int>(event->x - self->dragRootX),
                         at.y + static_cast<int>(event->y - self->dragRootY)});
        return TRUE;
    }
    // The pointer's travel since the press, in root coordinates: the window moving under the
    // pointer does not disturb it.
    int x = self->dragWindowX + static_cast<int>(event->x_root - self->dragRootX);
    int y = self->dragWindowY + static_cast<int>(event->y_root - self->dragRootY);
    gtk_window_move(GTK_WINDOW(self->window), x, y);
    return TRUE;
}

gboolean WebcamBubbleController::State::onRelease(GtkWidget*, GdkEventButton* event,
                                                  gpointer data) {
    auto* self = static_cast<State*>(data);
    if (event->button == GDK_BUTTON_PRIMARY) self->dragging = false;
    return FALSE;
}

void WebcamBubbleController::State::onCompositedChanged(GdkScreen*, gpointer data) {
    static_cast<State*>(data)->applyShape();
}

WebcamBubbleController::WebcamBubbleController() : WebcamBubbleController(Options{}) {}

WebcamBubbleController::WebcamBubbleController(Options options)
    : state_(std::make_shared<State>()) {
    if (!options.ensureToolkit) {
        options.ensureToolkit = [] { return gdk_display_get_default() != nullptr; };
    }
    state_->options = std::move(options);
}

WebcamBubbleController::~WebcamBubbleController() {
    hide();
}

void WebcamBubbleController::show(const std::string& corner, const std::string& size, bool ring,
                                  const std::string& shape, double zoom) {
    MARLUNE_ASSERT_ON(Queue::main());
    State& s = *state_;
    hide();
    if (!s.options.ensureToolkit()) return;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return;
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0)
        monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return;
    GdkRectangle work{};
    gdk_monitor_get_workarea(monitor, &work);

    s.layout = bubbleLayout(corner, size, shape, {work.x, work.y, work.width, work.height});
    s.ring = ring;
    s.zoom = zoom;
    const int w = s.layout.frame.width;
    const int h = s.layout.frame.height;

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* gw = GTK_WINDOW(window);
    gtk_window_set_title(gw, "Marlune webcam");
    gtk_window_set_decorated(gw, FALSE);
    gtk_window_set_resizable(gw, FALSE);
    gtk_window_set_keep_above(gw, TRUE);
    gtk_window_stick(gw);  // on every workspace
    gtk_window_set_skip_taskbar_hint(gw, TRUE);
    gtk_window_set_skip_pager_hint(gw, TRUE);
    gtk_window_set_accept_focus(gw, FALSE);  // showing it leaves the keyboard where it was
    gtk_window_set_focus_on_map(gw, FALSE);
    gtk_window_set_type_hint(gw, GDK_WINDOW_TYPE_HINT_UTILITY);
    GdkScreen* screen = gtk_widget_get_screen(window);
    if (gdk_screen_is_composited(screen)) {
        if (GdkVisual* visual = gdk_screen_get_rgba_visual(screen))
            gtk_widget_set_visual(window, visual);
    }
    gtk_widget_set_app_paintable(window, TRUE);
    gtk_window_set_default_size(gw, w, h);
    // Where the compositor offers it, a layer surface above the ordinary windows at the chosen
    // corner; elsewhere on Wayland the compositor places the window itself.
    if (!layer::place(gw, monitor,
                      layer::Offset{s.layout.frame.x - work.x, s.layout.frame.y - work.y},
                      "marlune-webcam")) {
        gtk_window_move(gw, s.layout.frame.x, s.layout.frame.y);
    }

    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, w, h);
    gtk_widget_add_events(
        area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_BUTTON1_MOTION_MASK);
    g_signal_connect(area, "draw", G_CALLBACK(State::onDraw), &s);
    g_signal_connect(area, "button-press-event", G_CALLBACK(State::onPress), &s);
    g_signal_connect(area, "motion-notify-event", G_CALLBACK(State::onMotion), &s);
    g_signal_connect(area, "button-release-event", G_CALLBACK(State::onRelease), &s);
    gtk_container_add(GTK_CONTAINER(window), area);

    s.window = window;
    s.area = area;
    s.screen = screen;
    s.compositedHandler =
        g_signal_connect(screen, "composited-changed", G_CALLBACK(State::onCompositedChanged), &s);
    s.shown = 0;
    s.lastShownPts = -1;
    gtk_widget_realize(window);
    s.applyShape();
    gtk_widget_show_all(window);

    CameraMode mode;
    if (size == "l")
        mode = {1280, 720, previewFPS};
    else
        mode = {640, 480, previewFPS};
    {
        std::lock_guard lock(s.mutex);
        s.previewMode = mode;
        s.previewLayout = s.layout;
        s.previewZoom = zoom;
        s.previewPixelScale = gtk_widget_get_scale_factor(window);
    }
    s.startCamera(configuredCameraSource(s.options.defaults.get()), mode);
}

void WebcamBubbleController::hide() {
    MARLUNE_ASSERT_ON(Queue::main());
    State& s = *state_;
    std::shared_ptr<CameraSession> camera;
    {
        std::lock_guard lock(s.mutex);
        camera = std::move(s.session);
        s.session.reset();
        s.latest = VideoFrame{};
    }
    ++s.generation;  // pictures still on their way belong to no bubble
    if (camera) camera->stop();
    s.destroyWindow();
}

void WebcamBubbleController::setZoom(double zoom) {
    State& s = *state_;
    s.zoom = zoom;
    {
        std::lock_guard lock(s.mutex);
        s.previewZoom = zoom;
    }
    if (s.area) gtk_widget_queue_draw(s.area);
}

void WebcamBubbleController::startRecording(const std::filesystem::path& url) {
    MARLUNE_ASSERT_ON(Queue::main());
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.recordingPaused = false;
    }
    // A Wayland screen cast cannot leave the bubble out, and the export draws the webcam over the
    // movie: recorded too, the webcam would show twice. Its window is unmapped meanwhile; the
    // camera goes on recording.
    if (s.window && captureBackend() == CaptureBackend::portal) gtk_widget_hide(s.window);
    postIfAlive(*s.queue, std::weak_ptr<State>(state_),
                [url](State& state) { state.beginRecording(url); });
}

void WebcamBubbleController::pauseRecording() {
    State& s = *state_;
    std::shared_ptr<AssetWriterCoordinator> writer;
    {
        std::lock_guard lock(s.mutex);
        s.recordingPaused = true;
        writer = s.recWriter;
        if (s.proxyWriter) s.proxyWriter->pause();
    }
    if (writer) writer->pause();
}

void WebcamBubbleController::resumeRecording() {
    State& s = *state_;
    std::shared_ptr<AssetWriterCoordinator> writer;
    {
        std::lock_guard lock(s.mutex);
        s.recordingPaused = false;
        writer = s.recWriter;
        if (s.proxyWriter) s.proxyWriter->resume();
    }
    if (writer) writer->resume();
}

void WebcamBubbleController::stopRecording(StopCompletion completion) {
    MARLUNE_ASSERT_ON(Queue::main());
    State& s = *state_;
    if (s.window && captureBackend() == CaptureBackend::portal) gtk_widget_show(s.window);
    // Held strongly: the completion is owed even if the bubble's owner goes meanwhile.
    s.queue->post([self = state_, completion = std::move(completion)]() mutable {
        self->endRecording(std::move(completion));
    });
}

std::shared_ptr<AssetWriterCoordinator> WebcamBubbleController::recordingWriter() const {
    return state_->currentWriter();
}

bool WebcamBubbleController::isVisible() const {
    return state_->window != nullptr;
}

std::uint32_t WebcamBubbleController::windowID() const {
    if (!state_->window) return 0;
    GdkWindow* w = gtk_widget_get_window(state_->window);
    if (!w || !GDK_IS_X11_WINDOW(w)) return 0;
    return static_cast<std::uint32_t>(GDK_WINDOW_XID(w));
}

BubbleLayout WebcamBubbleController::layout() const {
    return state_->layout;
}

int WebcamBubbleController::cameraOpens() const {
    auto camera = state_->currentSession();
    return camera ? camera->opens() : 0;
}

std::uint64_t WebcamBubbleController::picturesShown() const {
    return state_->window ? state_->shown : 0;
}

}  // namespace marlune
