#include "platform/linux/x11_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "platform/linux/x11_damage.h"

namespace nimbra::platform::x11 {

Result<std::unique_ptr<ShmSegment>> ShmSegment::create(xcb_connection_t* connection, std::size_t bytes) {
  const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) return fail(std::string("shmget: ") + std::strerror(errno));
  void* address = shmat(id, nullptr, SHM_RDONLY);
  if (address == reinterpret_cast<void*>(-1)) {
    const int error = errno;
    shmctl(id, IPC_RMID, nullptr);
    return fail(std::string("shmat: ") + std::strerror(error));
  }
  const xcb_shm_seg_t segment = xcb_generate_id(connection);
  xcb_generic_error_t* error =
      xcb_request_check(connection, xcb_shm_attach_checked(connection, segment, static_cast<std::uint32_t>(id), 0));
  // Once both sides are attached (or the server refused), the segment can be
  // marked for removal: it then goes away with the last detach, even after a crash.
  shmctl(id, IPC_RMID, nullptr);
  if (error != nullptr || xcb_connection_has_error(connection)) {
    shmdt(address);
    return fail(step_error("xcb_shm_attach", error));
  }
  return std::unique_ptr<ShmSegment>(new ShmSegment(connection, segment, static_cast<std::uint8_t*>(address), bytes));
}

ShmSegment::~ShmSegment() {
  xcb_shm_detach(connection_, segment_);
  xcb_flush(connection_);
  shmdt(data_);
}

Status shm_usable(const Connection& connection) {
  if (!connection.has_extension(&xcb_shm_id)) return fail("MIT-SHM нет на сервере");
  Owned<xcb_shm_query_version_reply_t> version(
      xcb_shm_query_version_reply(connection.get(), xcb_shm_query_version(connection.get()), nullptr));
  if (!version) return fail("xcb_shm_query_version: нет ответа");
  return {};
}

namespace {

Result<ByteView> read_shared(xcb_connection_t* c, xcb_drawable_t drawable, std::int16_t x, std::int16_t y,
                             std::uint16_t width, std::uint16_t height, std::unique_ptr<ShmSegment>& shm,
                             RowSpan rows) {
  const std::size_t bytes = std::size_t{width} * height * 4;
  if (!shm || shm->size() < bytes) {
    shm.reset();
    Result<std::unique_ptr<ShmSegment>> grown = ShmSegment::create(c, bytes);
    if (!grown) return fail(grown.error());
    shm = std::move(*grown);
    rows = RowSpan::all();  // a new segment holds no earlier image
  }
  rows.end = std::min<std::uint32_t>(rows.end, height);
  if (rows.empty()) return ByteView(shm->data(), bytes);
  xcb_generic_error_t* error = nullptr;
  Owned<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, drawable, x, static_cast<std::int16_t>(y + rows.first), width,
                        static_cast<std::uint16_t>(rows.end - rows.first), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm->id(),
                        static_cast<std::uint32_t>(std::size_t{rows.first} * width * 4)),
      &error));
  if (!reply) return fail(step_error("xcb_shm_get_image", error));
  return ByteView(shm->data(), bytes);
}

}  // namespace

Result<ByteView> read_image(Connection& connection, xcb_drawable_t drawable, std::int16_t x, std::int16_t y,
                            std::uint16_t width, std::uint16_t height, std::unique_ptr<ShmSegment>* shm,
                            Bytes& plain, RowSpan rows) {
  xcb_connection_t* c = connection.get();
  if (shm != nullptr) return read_shared(c, drawable, x, y, width, height, *shm, rows);
  const std::size_t bytes = std::size_t{width} * height * 4;
  xcb_generic_error_t* error = nullptr;
  Owned<xcb_get_image_reply_t> reply(xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u), &error));
  if (!reply) return fail(step_error("xcb_get_image", error));
  if (static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < bytes) {
    return fail("xcb_get_image: " + std::to_string(xcb_get_image_data_length(reply.get())) + " байт вместо " +
                std::to_string(bytes));
  }
  const std::uint8_t* data = xcb_get_image_data(reply.get());
  plain.assign(data, data + bytes);
  return ByteView(plain);
}

Result<std::unique_ptr<ShmMirror>> ShmMirror::create(Connection& connection, xcb_window_t window, Rect rect) {
  xcb_connection_t* c = connection.get();
  auto version = reply_of<xcb_shm_query_version_reply_t>(c, xcb_shm_query_version(c), xcb_shm_query_version_reply);
  if (!version || !version->shared_pixmaps || version->pixmap_format != XCB_IMAGE_FORMAT_Z_PIXMAP) {
    return fail("MIT-SHM: нет разделяемых pixmap");
  }
  Result<std::unique_ptr<ShmSegment>> shm = ShmSegment::create(c, std::size_t{rect.width} * rect.height * 4);
  if (!shm) return fail(shm.error());
  std::unique_ptr<ShmMirror> mirror(new ShmMirror(connection, window, rect, std::move(*shm)));
  mirror->pixmap_ = xcb_generate_id(c);
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_shm_create_pixmap_checked(c, mirror->pixmap_, window, rect.width, rect.height,
                                       connection.screen()->root_depth, mirror->shm_->id(), 0));
  if (error != nullptr) {
    mirror->pixmap_ = XCB_NONE;
    return fail(step_error("xcb_shm_create_pixmap", error));
  }
  // Windows on top belong to the picture; the copies raise no exposure events.
  mirror->gc_ = xcb_generate_id(c);
  const std::uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
  xcb_create_gc(c, mirror->gc_, mirror->pixmap_, XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES, values);
  return mirror;
}

ShmMirror::~ShmMirror() {
  xcb_connection_t* c = connection_.get();
  if (gc_ != XCB_NONE) xcb_free_gc(c, gc_);
  if (pixmap_ != XCB_NONE) xcb_free_pixmap(c, pixmap_);
}

Result<BgraFrame> ShmMirror::update(xcb_xfixes_region_t region) {
  xcb_connection_t* c = connection_.get();
  // Asked for ahead of the copy, so all come back in one round trip.
  const xcb_get_geometry_cookie_t geometry = xcb_get_geometry(c, window_);
  std::optional<xcb_xfixes_fetch_region_cookie_t> extents;
  if (region != XCB_NONE) extents = xcb_xfixes_fetch_region(c, region);
  xcb_xfixes_set_gc_clip_region(c, gc_, region, static_cast<std::int16_t>(-rect_.x),
                                static_cast<std::int16_t>(-rect_.y));
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_copy_area_checked(c, window_, pixmap_, gc_, rect_.x, rect_.y, 0, 0, rect_.width, rect_.height));
  if (error != nullptr) {
    xcb_discard_reply(c, geometry.sequence);
    if (extents) xcb_discard_reply(c, extents->sequence);
    return fail(step_error("xcb_copy_area", error));
  }
  RowSpan changed = RowSpan::all();
  if (extents) {
    auto fetched = reply_of<xcb_xfixes_fetch_region_reply_t>(c, *extents, xcb_xfixes_fetch_region_reply);
    if (fetched) changed = rows_within(fetched->extents, rect_.y, rect_.height);
  }
  auto window = reply_of<xcb_get_geometry_reply_t>(c, geometry, xcb_get_geometry_reply);
  if (!window) return fail("xcb_get_geometry: нет ответа");
  // A copy reaching past the window is no error; the image would just keep old pixels there.
  if (rect_.x < 0 || rect_.y < 0 || rect_.x + rect_.width > window->width || rect_.y + rect_.height > window->height) {
    return fail("X11: прямоугольник вне окна");
  }
  return BgraFrame{ByteView(shm_->data(), std::size_t{rect_.width} * rect_.height * 4), {rect_.width, rect_.height},
                   changed};
}

}  // namespace nimbra::platform::x11
