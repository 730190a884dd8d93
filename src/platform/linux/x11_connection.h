#pragma once
// One private connection to the X server per capture source, and the small
// helpers every X11 backend needs: owned replies and error texts.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "sys/result.h"

namespace nimbra::platform::x11 {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeDeleter>;

// A request's reply, or null. Any error is freed here rather than left in
// the event queue; its code goes to `error_code` when asked for (0: none).
template <class Reply, class Cookie, class ReplyFunction>
Owned<Reply> reply_of(xcb_connection_t* connection, Cookie cookie, ReplyFunction reply,
                      std::uint8_t* error_code = nullptr) {
  xcb_generic_error_t* error = nullptr;
  Owned<Reply> r(reply(connection, cookie, &error));
  if (error_code != nullptr) *error_code = error != nullptr ? error->error_code : 0;
  std::free(error);
  return r;
}

// "{name} (0x{code:08X})" for the core protocol's errors, "0x{code:08X}" otherwise.
std::string error_text(std::uint8_t code);
std::string error_text(const xcb_generic_error_t* error);

// "{step}: {error}", taking ownership of the error.
std::string step_error(const char* step, xcb_generic_error_t* error);

class Connection {
 public:
  // `display` as for xcb_connect; null means $DISPLAY.
  static Result<std::unique_ptr<Connection>> open(const char* display);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  bool broken() const { return xcb_connection_has_error(connection_) != 0; }
  bool has_extension(xcb_extension_t* extension) const;
  // Whether images of this depth come as 32-bit B, G, R, X pixels without row padding.
  bool depth_is_bgrx(std::uint8_t depth) const;

 private:
  Connection(xcb_connection_t* connection, xcb_screen_t* screen) : connection_(connection), screen_(screen) {}
  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
};

inline constexpr const char* kConnectionLost = "X11: соединение с дисплеем потеряно";

}  // namespace nimbra::platform::x11
