#include "platform/linux/x11_screen_source.h"

#include <xcb/randr.h>

namespace nimbra::platform::x11 {

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
    source->shared_memory_ = true;
    if (auto damage = DamageWatch::start(*source->connection_, source->connection_->root())) {
      source->damage_ = std::move(*damage);
      source->open_mirror();
    }
    if (!source->mirror_) {  // the plain shared read's segment, made now so that a failure shows at once
      Result<std::unique_ptr<ShmSegment>> shm = ShmSegment::create(
          source->connection_->get(), std::size_t{source->rect_.width} * source->rect_.height * 4);
      if (!shm) return fail(shm.error());
      source->shm_ = std::move(*shm);
    }
  }
  return std::unique_ptr<CaptureSource>(std::move(source));
}

void ScreenSource::open_mirror() {
  if (auto mirror = ShmMirror::create(*connection_, connection_->root(), rect_)) {
    mirror_ = std::move(*mirror);
    shm_.reset();  // a plain shared read makes its own segment if it is ever needed
  }
}

ScreenSource::~ScreenSource() {
  mirror_.reset();
  damage_.reset();
  shm_.reset();
}

Result<std::optional<BgraFrame>> ScreenSource::grab(std::uint32_t wait_ms) {
  if (connection_->broken()) return fail(kConnectionLost);
  if (damage_) {
    if (delivered_) {
      Result<bool> damaged = damage_->wait(wait_ms);
      if (!damaged) return fail(damaged.error());
      if (!*damaged) return std::nullopt;
    }
    // Cleared before the read: a change from now on raises a new report.
    damage_->clear();
  }
  // The mirror copies only what changed since the last read. When it fails
  // (the screen shrank under it) it goes, and a plain read tells why.
  if (mirror_) {
    Result<BgraFrame> copied = mirror_->update(delivered_ ? damage_->cleared() : XCB_NONE);
    if (copied) {
      delivered_ = true;
      return *copied;
    }
    mirror_.reset();
  }
  Result<ByteView> read = read_image(*connection_, connection_->root(), rect_.x, rect_.y, rect_.width,
                                     rect_.height, shared_memory_ ? &shm_ : nullptr, image_);
  if (!read) {
    delivered_ = false;  // the change just cleared is still to be delivered
    if (connection_->broken()) return fail(kConnectionLost);
    // The monitor may have changed its mode under us: the next grab reads
    // the new rectangle, and the loop scales whatever size comes.
    const Rect now = primary_monitor(*connection_);
    if (now.x != rect_.x || now.y != rect_.y || now.width != rect_.width || now.height != rect_.height) {
      rect_ = now;
      if (damage_) open_mirror();
      return std::nullopt;
    }
    // Like a failed BitBlt, a refused plain read is just no new image.
    if (!shared_memory_) return std::nullopt;
    return fail(read.error());
  }
  delivered_ = true;
  return BgraFrame{*read, {rect_.width, rect_.height}};
}

}  // namespace nimbra::platform::x11
