#include "platform/linux/x11_connection.h"

#include <cstdio>

namespace nimbra::platform::x11 {

std::string error_text(std::uint8_t code) {
  static constexpr const char* kNames[] = {
      nullptr,     "BadRequest", "BadValue",  "BadWindow", "BadPixmap", "BadAtom",
      "BadCursor", "BadFont",    "BadMatch",  "BadDrawable", "BadAccess", "BadAlloc",
      "BadColor",  "BadGC",      "BadIDChoice", "BadName", "BadLength", "BadImplementation"};
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  if (code < std::size(kNames) && kNames[code] != nullptr) return std::string(kNames[code]) + " (" + hex + ")";
  return hex;
}

std::string error_text(const xcb_generic_error_t* error) { return error_text(error->error_code); }

std::string step_error(const char* step, xcb_generic_error_t* error) {
  Owned<xcb_generic_error_t> owned(error);
  if (!owned) return std::string(step) + ": " + kConnectionLost;
  return std::string(step) + ": " + error_text(owned.get());
}

Result<std::unique_ptr<Connection>> Connection::open(const char* display) {
  int screen_number = 0;
  xcb_connection_t* connection = xcb_connect(display, &screen_number);
  if (const int error = xcb_connection_has_error(connection); error != 0) {
    xcb_disconnect(connection);
    const char* name = display != nullptr ? display : std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return fail("X11: дисплей не задан (DISPLAY пуст)");
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(error));
    return fail("X11: нет соединения с дисплеем \"" + std::string(name) + "\" (" + code + ")");
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screen_number && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0 || it.data == nullptr) {
    xcb_disconnect(connection);
    return fail("X11: экран " + std::to_string(screen_number) + " не найден");
  }
  return std::unique_ptr<Connection>(new Connection(connection, it.data));
}

Connection::~Connection() { xcb_disconnect(connection_); }

bool Connection::has_extension(xcb_extension_t* extension) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
  return data != nullptr && data->present != 0;
}

bool Connection::depth_is_bgrx(std::uint8_t depth) const {
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || (depth != 24 && depth != 32)) return false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
  }
  return false;
}

}  // namespace nimbra::platform::x11
