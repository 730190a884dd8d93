#pragma once
// A private X server for one test or benchmark, and a client that draws known images on it.
#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sys/bytes.h"

namespace nimbra::testing {

// Started through tools/xvfb.py, which stops the server when its standard input
// closes: with this object, or with the process however it ends.
class Xvfb {
 public:
  explicit Xvfb(const std::string& arguments) {  // geometry, then any other Xvfb arguments
    int to_tool[2];
    if (pipe2(to_tool, O_CLOEXEC) != 0) return;
    fcntl(to_tool[0], F_SETFD, 0);  // the one end the tool inherits
    out_ = popen(("exec python3 " NIMBRA_TOOLS_DIR "/xvfb.py " + arguments + " <&" + std::to_string(to_tool[0])).c_str(),
                 "re");
    close(to_tool[0]);
    stdin_ = to_tool[1];
    char line[64] = {};
    if (out_ && std::fgets(line, sizeof line, out_) && line[0] == ':') display_.assign(line, std::strcspn(line, "\n"));
  }
  ~Xvfb() {
    close(stdin_);
    if (out_) pclose(out_);
  }

  bool ok() const { return !display_.empty(); }
  const char* display() const { return display_.c_str(); }

 private:
  FILE* out_ = nullptr;
  int stdin_ = -1;
  std::string display_;
};

// A plain client of the X server; each call returns once the server has carried it out.
class Painter {
 public:
  explicit Painter(const char* display)
      : connection_(xcb_connect(display, nullptr)), screen_(xcb_setup_roots_iterator(xcb_get_setup(connection_)).data) {
    xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
  }
  ~Painter() { xcb_disconnect(connection_); }

  xcb_window_t root() const { return screen_->root; }
  xcb_window_t create_window(std::int16_t x, std::int16_t y, std::uint16_t w, std::uint16_t h, std::uint32_t background) {
    const xcb_window_t window = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, x, y, w, h, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL, &background);
    map(window);
    return window;
  }
  // A BGRA image, alpha ignored.
  void put(xcb_drawable_t target, std::int16_t x, std::int16_t y, std::uint16_t w, std::uint16_t h, const Bytes& image) {
    xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, target, gc_, w, h, x, y, 0, 24,
                  std::uint32_t{w} * h * 4, image.data());
    sync();
  }
  void configure(xcb_window_t window, std::uint16_t w, std::uint16_t h) {
    const std::uint32_t values[] = {w, h};
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
    sync();
  }
  void map(xcb_window_t window) { xcb_map_window(connection_, window), sync(); }
  void unmap(xcb_window_t window) { xcb_unmap_window(connection_, window), sync(); }
  void destroy(xcb_window_t window) { xcb_destroy_window(connection_, window), sync(); }

 private:
  void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  xcb_gcontext_t gc_ = xcb_generate_id(connection_);
};

}  // namespace nimbra::testing
