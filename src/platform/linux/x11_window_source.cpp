#include "platform/linux/x11_window_source.h"

#include <xcb/composite.h>

#include <algorithm>

namespace nimbra::platform::x11 {
namespace {

constexpr const char* kNoWindow = "окно не существует";

}  // namespace

Result<std::unique_ptr<CaptureSource>> WindowSource::open(const char* display, std::int64_t window, bool composite) {
  if (window <= 0 || window > 0xFFFFFFFF) return fail(kNoWindow);
  Result<std::unique_ptr<Connection>> connection = Connection::open(display);
  if (!connection) return fail(connection.error());
  std::unique_ptr<WindowSource> source(
      new WindowSource(std::move(*connection), static_cast<xcb_window_t>(window), composite));
  xcb_connection_t* c = source->connection_->get();
  const xcb_window_t id = source->window_;

  xcb_generic_error_t* error = nullptr;
  Owned<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, id), &error));
  if (!geometry) {
    if (error != nullptr && (error->error_code == XCB_WINDOW || error->error_code == XCB_DRAWABLE)) {
      std::free(error);
      return fail(kNoWindow);
    }
    return fail(step_error("xcb_get_geometry", error));
  }
  if (!source->connection_->depth_is_bgrx(geometry->depth)) {
    return fail("X11: глубина окна " + std::to_string(geometry->depth) + " не поддерживается");
  }
  source->width_ = std::max<std::int32_t>(geometry->width, 1);
  source->height_ = std::max<std::int32_t>(geometry->height, 1);

  if (composite) {
    if (!source->connection_->has_extension(&xcb_composite_id)) return fail("Composite нет на сервере");
    auto version = reply_of<xcb_composite_query_version_reply_t>(c, xcb_composite_query_version(c, 0, 4),
                                                                 xcb_composite_query_version_reply);
    if (!version) return fail("xcb_composite_query_version: нет ответа");
    if (version->major_version == 0 && version->minor_version < 2) {
      return fail("Composite " + std::to_string(version->major_version) + "." +
                  std::to_string(version->minor_version) + ": нужен 0.2");
    }
    error = xcb_request_check(c, xcb_composite_redirect_window_checked(c, id, XCB_COMPOSITE_REDIRECT_AUTOMATIC));
    if (error != nullptr) return fail(step_error("xcb_composite_redirect_window", error));
  }
  source->shared_memory_ = static_cast<bool>(shm_usable(*source->connection_));
  if (composite) {
    if (auto damage = DamageWatch::start(*source->connection_, id)) source->damage_ = std::move(*damage);
  }
  return std::unique_ptr<CaptureSource>(std::move(source));
}

WindowSource::~WindowSource() {
  damage_.reset();
  release_pixmap();
  if (composite_ && !gone_) {
    xcb_composite_unredirect_window(connection_->get(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  }
  shm_.reset();
  xcb_flush(connection_->get());
}

void WindowSource::release_pixmap() {
  if (pixmap_ == XCB_NONE) return;
  xcb_free_pixmap(connection_->get(), pixmap_);
  pixmap_ = XCB_NONE;
}

bool WindowSource::alive() {
  if (gone_) return false;
  xcb_connection_t* c = connection_->get();
  std::uint8_t error = 0;
  // Only a window the server no longer knows is gone; a broken connection
  // shows up as grab errors instead.
  if (!reply_of<xcb_get_window_attributes_reply_t>(c, xcb_get_window_attributes(c, window_),
                                                   xcb_get_window_attributes_reply, &error)) {
    gone_ = error == XCB_WINDOW;
  }
  return !gone_;
}

Result<std::optional<BgraFrame>> WindowSource::grab(std::uint32_t) {
  if (connection_->broken()) return fail(kConnectionLost);
  xcb_connection_t* c = connection_->get();
  const xcb_get_window_attributes_cookie_t attributes_cookie = xcb_get_window_attributes(c, window_);
  const xcb_get_geometry_cookie_t geometry_cookie = xcb_get_geometry(c, window_);
  auto attributes =
      reply_of<xcb_get_window_attributes_reply_t>(c, attributes_cookie, xcb_get_window_attributes_reply);
  auto geometry = reply_of<xcb_get_geometry_reply_t>(c, geometry_cookie, xcb_get_geometry_reply);
  if (!attributes || !geometry) return std::nullopt;  // gone: alive() ends the session

  // Unmapped or iconified windows have no contents to show.
  if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
    was_viewable_ = false;
    return std::nullopt;
  }
  const std::int32_t width = std::max<std::int32_t>(geometry->width, 1);
  const std::int32_t height = std::max<std::int32_t>(geometry->height, 1);
  xcb_drawable_t drawable = window_;
  bool renamed = false;
  if (composite_) {
    // The server gives the window a new pixmap when it is resized or mapped
    // again; the old name would keep showing the old contents.
    if (pixmap_ == XCB_NONE || !was_viewable_ || width != width_ || height != height_) {
      renamed = true;
      release_pixmap();
      const xcb_pixmap_t pixmap = xcb_generate_id(c);
      xcb_generic_error_t* error =
          xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, window_, pixmap));
      if (error != nullptr) {
        std::free(error);
        return std::nullopt;
      }
      pixmap_ = pixmap;
    }
    drawable = pixmap_;
  }
  was_viewable_ = true;
  const bool again = delivered_ && !renamed;  // the last image was read from this drawable
  RowSpan changed = RowSpan::all();
  if (damage_) {
    if (again && !damage_->take_events()) return std::nullopt;
    damage_->clear();  // before the read: a change from now on raises a new report
    // After an image of the same size, DAMAGE tells which rows changed, and
    // only those are read again.
    if (again && width == width_ && height == height_) {
      changed = damage_->cleared_rows(0, static_cast<std::uint32_t>(height));
    }
  }
  Result<ByteView> read = read_image(*connection_, drawable, 0, 0, static_cast<std::uint16_t>(width),
                                     static_cast<std::uint16_t>(height), shared_memory_ ? &shm_ : nullptr, image_,
                                     changed);
  if (!read) {
    delivered_ = false;  // the change just cleared is still to be delivered
    if (connection_->broken()) return fail(kConnectionLost);
    // A window that changed between the questions and the read, or that is
    // partly off-screen for the plain read, just has no new image this time.
    return std::nullopt;
  }
  width_ = width;
  height_ = height;
  delivered_ = true;
  return BgraFrame{*read, {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)}, changed};
}

}  // namespace nimbra::platform::x11
