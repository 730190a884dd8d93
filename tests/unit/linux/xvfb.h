#pragma once
// A private X server for one test, and a client that draws known images on it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sys/bytes.h"

namespace nimbra::testing {

// Started through tools/xvfb.py, which stops the server when its standard input
// closes: with this object, or with the test process however it ends.
class Xvfb {
 public:
  explicit Xvfb(const std::string& geometry = "640x480x24", std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"python3", NIMBRA_TOOLS_DIR "/xvfb.py", geometry};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int to_tool[2], from_tool[2];
    if (pipe2(to_tool, O_CLOEXEC) != 0 || pipe2(from_tool, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_tool[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_tool[1], 1);
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(to_tool[0]);
    close(from_tool[1]);
    stdin_ = to_tool[1];
    char line[64] = {};
    if (FILE* out = fdopen(from_tool[0], "r")) {
      if (std::fgets(line, sizeof line, out) != nullptr && line[0] == ':') display_.assign(line, std::strcspn(line, "\n"));
      std::fclose(out);
    }
  }
  ~Xvfb() {
    close(stdin_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ok() const { return !display_.empty(); }
  const char* display() const { return display_.c_str(); }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::string display_;
};

// BGRA with alpha 255, different in every byte position of a row.
inline Bytes test_pattern(std::uint32_t w, std::uint32_t h, std::uint32_t seed = 0) {
  Bytes image(std::size_t{w} * h * 4);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t* p = &image[(std::size_t{y} * w + x) * 4];
      p[0] = static_cast<std::uint8_t>(x * 7 + y * 3 + seed);
      p[1] = static_cast<std::uint8_t>(x * 5 + y * 11 + seed * 3);
      p[2] = static_cast<std::uint8_t>(x ^ y ^ seed);
      p[3] = 255;
    }
  }
  return image;
}

// A plain client of the test's X server.
class Painter {
 public:
  explicit Painter(const char* display) {
    connection_ = xcb_connect(display, nullptr);
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
  }
  ~Painter() { xcb_disconnect(connection_); }

  xcb_window_t root() const { return screen_->root; }

  xcb_window_t create_window(std::int16_t x, std::int16_t y, std::uint16_t w, std::uint16_t h,
                             std::uint32_t background) {
    const xcb_window_t window = xcb_generate_id(connection_);
    const std::uint32_t values[] = {background};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, x, y, w, h, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL, values);
    xcb_map_window(connection_, window);
    sync();
    return window;
  }

  // Draws a BGRA image (alpha ignored) in slices that fit any request size.
  void put(xcb_drawable_t target, std::int16_t x, std::int16_t y, std::uint16_t w, std::uint16_t h,
           const Bytes& image) {
    const std::uint16_t rows = static_cast<std::uint16_t>(std::max(1, 60000 / (w * 4)));
    for (std::uint16_t top = 0; top < h; top = static_cast<std::uint16_t>(top + rows)) {
      const std::uint16_t n = std::min<std::uint16_t>(rows, static_cast<std::uint16_t>(h - top));
      xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, target, gc_, w, n, x,
                    static_cast<std::int16_t>(y + top), 0, 24, static_cast<std::uint32_t>(std::size_t{w} * n * 4),
                    image.data() + std::size_t{top} * w * 4);
    }
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
  // Returns once the server has carried out everything sent before.
  void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

 private:
  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  xcb_gcontext_t gc_;
};

}  // namespace nimbra::testing
