#include "platform/linux/x11_damage.h"

#include <poll.h>

#include <chrono>

namespace nimbra::platform::x11 {

Result<std::unique_ptr<DamageWatch>> DamageWatch::start(Connection& connection, xcb_drawable_t drawable) {
  xcb_connection_t* c = connection.get();
  if (!connection.has_extension(&xcb_damage_id)) return fail("DAMAGE нет на сервере");
  auto version = reply_of<xcb_damage_query_version_reply_t>(
      c, xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
      xcb_damage_query_version_reply);
  if (!version) return fail("xcb_damage_query_version: нет ответа");
  // Regions are XFixes 2; a client that has not asked for a version gets none.
  auto xfixes = reply_of<xcb_xfixes_query_version_reply_t>(c, xcb_xfixes_query_version(c, 2, 0),
                                                           xcb_xfixes_query_version_reply);
  if (!xfixes || xfixes->major_version < 2) return fail("XFixes 2 нет на сервере");
  const xcb_xfixes_region_t cleared = xcb_generate_id(c);
  xcb_xfixes_create_region(c, cleared, 0, nullptr);
  const xcb_damage_damage_t damage = xcb_generate_id(c);
  xcb_generic_error_t* error =
      xcb_request_check(c, xcb_damage_create_checked(c, damage, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY));
  if (error != nullptr) {
    xcb_xfixes_destroy_region(c, cleared);
    return fail(step_error("xcb_damage_create", error));
  }
  const auto event = static_cast<std::uint8_t>(xcb_get_extension_data(c, &xcb_damage_id)->first_event +
                                               XCB_DAMAGE_NOTIFY);
  std::unique_ptr<DamageWatch> watch(new DamageWatch(connection, damage, cleared, event));
  // A new damage object reports the whole drawable at once; that report must
  // not count as a change after the first image.
  watch->clear();
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  (void)watch->take_events();
  return watch;
}

DamageWatch::~DamageWatch() {
  xcb_damage_destroy(connection_.get(), damage_);
  xcb_xfixes_destroy_region(connection_.get(), cleared_);
  xcb_flush(connection_.get());
}

bool DamageWatch::take_events() {
  bool damaged = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_.get())) {
    // An event carries the sequence number of our last request the server
    // had carried out; one older than the subtract reports a change that the
    // read after the subtract has already seen.
    const bool fresh = static_cast<int>(event->full_sequence - cleared_at_) >= 0;
    if ((event->response_type & 0x7F) == event_ && fresh) damaged = true;
    std::free(event);
  }
  return damaged;
}

Result<bool> DamageWatch::wait(std::uint32_t wait_ms) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (take_events()) return true;
    if (connection_.broken()) return fail(kConnectionLost);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{xcb_get_file_descriptor(connection_.get()), POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) == 0) return take_events();
  }
}

RowSpan DamageWatch::cleared_rows(std::int32_t top, std::uint32_t height) {
  xcb_connection_t* c = connection_.get();
  auto region = reply_of<xcb_xfixes_fetch_region_reply_t>(c, xcb_xfixes_fetch_region(c, cleared_),
                                                          xcb_xfixes_fetch_region_reply);
  return region ? rows_within(region->extents, top, height) : RowSpan::all();
}

void DamageWatch::clear() {
  cleared_at_ = xcb_damage_subtract(connection_.get(), damage_, XCB_NONE, cleared_).sequence;
}

}  // namespace nimbra::platform::x11
