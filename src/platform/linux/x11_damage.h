#pragma once
// Change notification for one drawable through the DAMAGE extension, so a
// source can tell "nothing changed" without reading a single pixel.
#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/linux/x11_connection.h"
#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform::x11 {

// The rows of `extents` between `top` and top + height, counted from top.
inline RowSpan rows_within(const xcb_rectangle_t& extents, std::int32_t top, std::uint32_t height) {
  const std::int64_t first = std::clamp<std::int64_t>(extents.y - top, 0, height);
  return {static_cast<std::uint32_t>(first),
          static_cast<std::uint32_t>(std::clamp<std::int64_t>(first + extents.height, first, height))};
}

class DamageWatch {
 public:
  static Result<std::unique_ptr<DamageWatch>> start(Connection& connection, xcb_drawable_t drawable);
  ~DamageWatch();
  DamageWatch(const DamageWatch&) = delete;
  DamageWatch& operator=(const DamageWatch&) = delete;

  // Takes every queued event (errors of unchecked requests included); true
  // when one of them reported damage done after the last clear().
  bool take_events();
  // Waits at most wait_ms for damage; an error when the connection is lost.
  Result<bool> wait(std::uint32_t wait_ms);
  // A change from now on raises a new report; reports of earlier changes,
  // still on their way, no longer count.
  void clear();
  // The drawable's region that changed before the last clear(), in its coordinates.
  xcb_xfixes_region_t cleared() const { return cleared_; }
  // The rows of that region between `top` and top + height, counted from
  // top; all of them when the server does not answer.
  RowSpan cleared_rows(std::int32_t top, std::uint32_t height);

 private:
  DamageWatch(Connection& connection, xcb_damage_damage_t damage, xcb_xfixes_region_t cleared, std::uint8_t event)
      : connection_(connection), damage_(damage), cleared_(cleared), event_(event) {}
  Connection& connection_;
  xcb_damage_damage_t damage_;
  xcb_xfixes_region_t cleared_;
  std::uint8_t event_;
  unsigned int cleared_at_ = 0;  // sequence number of the last subtract
};

}  // namespace nimbra::platform::x11
