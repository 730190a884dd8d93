#include "platform/linux/x11_screen_source.h"

#include <poll.h>
#include <xcb/randr.h>

#include <chrono>

namespace nimbra::platform::x11 {

namespace {

// A reply, with any error freed here rather than left in the event queue.
template <class Reply, class Cookie, class Function>
Owned<Reply> reply_of(xcb_connection_t* c, Cookie cookie, Function reply) {
  xcb_generic_error_t* error = nullptr;
  Owned<Reply> r(reply(c, cookie, &error));
  std::free(error);
  return r;
}

}  // namespace

Rect primary_monitor(const Connection& connection) {
  const xcb_screen_t* screen = connection.screen();
  const Rect root{0, 0, screen->width_in_pixels, screen->height_in_pixels};
  if (!connection.has_extension(&xcb_randr_id)) return root;
  xcb_connection_t* c = connection.get();
  auto primary = reply_of<xcb_randr_get_output_primary_reply_t>(
      c, xcb_randr_get_output_primary(c, screen->root), xcb_randr_get_output_primary_reply);
  if (!primary || primary->output == XCB_NONE) return root;
  auto output = reply_of<xcb_randr_get_output_info_reply_t>(
      c, xcb_randr_get_output_info(c, primary->output, XCB_CURRENT_TIME), xcb_randr_get_output_info_reply);
  if (!output || output->crtc == XCB_NONE) return root;
  auto crtc = reply_of<xcb_randr_get_crtc_info_reply_t>(
      c, xcb_randr_get_crtc_info(c, output->crtc, XCB_CURRENT_TIME), xcb_randr_get_crtc_info_reply);
  if (!crtc || crtc->width == 0 || crtc->height == 0) return root;
  return {crtc->x, crtc->y, crtc->width, crtc->height};
}

Result<std::unique_ptr<CaptureSource>> ScreenSource::open(const char* display, bool shared_memory) {
  Result<std::unique_ptr<Connection>> connection = Connection::open(display);
  if (!connection) return fail(connection.error());
  std::unique_ptr<ScreenSource> source(new ScreenSource(std::move(*connection)));
  const std::uint8_t depth = source->connection_->screen()->root_depth;
  if (!source->connection_->depth_is_bgrx(depth)) {
    return fail("X11: глубина экрана " + std::to_string(depth) + " не поддерживается");
  }
  source->rect_ = primary_monitor(*source->connection_);
  if (shared_memory) {
    if (Status usable = shm_usable(*source->connection_); !usable) return fail(usable.error());
    Result<std::unique_ptr<ShmSegment>> shm =
        ShmSegment::create(source->connection_->get(), std::size_t{source->rect_.width} * source->rect_.height * 4);
    if (!shm) return fail(shm.error());
    source->shm_ = std::move(*shm);
    source->shared_memory_ = true;
    // Without DAMAGE the source still works; it just cannot wait for changes.
    (void)source->watch_damage();
  }
  return std::unique_ptr<CaptureSource>(std::move(source));
}

ScreenSource::~ScreenSource() {
  if (damage_ != 0) xcb_damage_destroy(connection_->get(), damage_);
  shm_.reset();
}

Status ScreenSource::watch_damage() {
  xcb_connection_t* c = connection_->get();
  if (!connection_->has_extension(&xcb_damage_id)) return fail("DAMAGE нет на сервере");
  Owned<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
      c, xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION), nullptr));
  if (!version) return fail("xcb_damage_query_version: нет ответа");
  const xcb_damage_damage_t damage = xcb_generate_id(c);
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_damage_create_checked(c, damage, connection_->root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY));
  if (error != nullptr) return fail(step_error("xcb_damage_create", error));
  damage_ = damage;
  damage_event_ = static_cast<std::uint8_t>(xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY);
  // A new damage object reports the whole window at once; that report must
  // not count as a change after the first image.
  xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  (void)take_damage_events();
  return {};
}

// Takes every queued event; true when one of them reported damage.
bool ScreenSource::take_damage_events() {
  bool damaged = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_->get())) {
    if ((event->response_type & 0x7F) == damage_event_) damaged = true;
    std::free(event);
  }
  return damaged;
}

Result<bool> ScreenSource::wait_for_damage(std::uint32_t wait_ms) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (take_damage_events()) return true;
    if (connection_->broken()) return fail(kConnectionLost);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{xcb_get_file_descriptor(connection_->get()), POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) == 0) return take_damage_events();
  }
}

Result<bool> ScreenSource::grab(Bytes& out, std::uint32_t wait_ms) {
  if (connection_->broken()) return fail(kConnectionLost);
  if (damage_ != 0) {
    if (delivered_) {
      Result<bool> damaged = wait_for_damage(wait_ms);
      if (!damaged || !*damaged) return damaged;
    }
    // Cleared before the read: a change from now on raises a new event.
    xcb_damage_subtract(connection_->get(), damage_, XCB_NONE, XCB_NONE);
  }
  Status read = read_image(*connection_, connection_->root(), rect_.x, rect_.y, rect_.width, rect_.height,
                           shared_memory_ ? &shm_ : nullptr, out);
  if (!read) {
    if (connection_->broken()) return fail(kConnectionLost);
    // The monitor may have changed its mode under us: the next grab reads
    // the new rectangle, and the loop scales whatever size comes.
    const Rect now = primary_monitor(*connection_);
    if (now.x != rect_.x || now.y != rect_.y || now.width != rect_.width || now.height != rect_.height) {
      rect_ = now;
      delivered_ = false;
      return false;
    }
    // Like a failed BitBlt, a refused plain read is just no new image.
    if (!shared_memory_) return false;
    return fail(read.error());
  }
  delivered_ = true;
  return true;
}

}  // namespace nimbra::platform::x11
