#include "platform/linux/x11_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <string>

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
                             std::uint16_t width, std::uint16_t height, std::unique_ptr<ShmSegment>& shm) {
  const std::size_t bytes = std::size_t{width} * height * 4;
  if (!shm || shm->size() < bytes) {
    shm.reset();
    Result<std::unique_ptr<ShmSegment>> grown = ShmSegment::create(c, bytes);
    if (!grown) return fail(grown.error());
    shm = std::move(*grown);
  }
  xcb_generic_error_t* error = nullptr;
  Owned<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c, xcb_shm_get_image(c, drawable, x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm->id(), 0),
      &error));
  if (!reply) return fail(step_error("xcb_shm_get_image", error));
  return ByteView(shm->data(), bytes);
}

}  // namespace

Result<ByteView> read_image(Connection& connection, xcb_drawable_t drawable, std::int16_t x, std::int16_t y,
                            std::uint16_t width, std::uint16_t height, std::unique_ptr<ShmSegment>* shm,
                            Bytes& plain) {
  xcb_connection_t* c = connection.get();
  if (shm != nullptr) return read_shared(c, drawable, x, y, width, height, *shm);
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

}  // namespace nimbra::platform::x11
