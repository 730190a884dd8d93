#pragma once
// The audio platform as the tests script it: a process table and session owners they set, capture clients they
// feed, waits that pass virtual time. Platform calls and diagnostic lines land in `events`, in order.
#include <deque>

#include "audio/audio_ports.h"
#include "fakes/fake_clock.h"

namespace nimbra::testing {

inline Bytes pcm(const std::vector<std::int16_t>& samples) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
  return Bytes(bytes, bytes + samples.size() * 2);
}

// One capture client's script: packets (empty bytes: that many silent frames) or a failure.
struct FakeClientState {
  std::deque<std::pair<Bytes, std::uint32_t>> packets;
  std::optional<std::string> fail_drain;
  void frames(const std::vector<std::int16_t>& samples) { packets.emplace_back(pcm(samples), samples.size() / 2); }
};

struct FakeAudio {
  FakeClock clock;
  audio::ProcessTable table{{1, {"init", 0}}};
  std::vector<std::uint32_t> owners;
  std::optional<std::string> owners_error;
  std::map<std::uint32_t, std::string> refused;  // open fails for these pids, with this error
  std::map<std::uint32_t, FakeClientState> clients;  // the latest client per pid
  std::deque<audio::SessionWait> waits;  // what the next session waits return; then time-outs
  std::size_t waited_for = 0;     // clients in the last data wait
  std::vector<std::string> events;

  FakeClientState& client(std::uint32_t pid) { return clients.at(pid); }
  auto diagnostic() { return [this](std::string_view line) { events.emplace_back(line); }; }
  std::unique_ptr<audio::AudioPlatform> platform() {
    auto p = std::make_unique<audio::AudioPlatform>();
    p->own_pid = 7;
    p->process_table = [this] { return events.push_back("table"), table; };
    p->sessions = std::make_unique<Port>(*this);
    p->captures = std::make_unique<Port>(*this);
    return p;
  }

 private:
  struct Client final : audio::AppCaptureClient {
    explicit Client(FakeClientState& state) : s(state) {}
    Result<std::uint64_t> drain(const audio::PacketConsumer& consumer) override {
      if (s.fail_drain) return fail(*s.fail_drain);
      for (const auto& [bytes, frames] : s.packets) consumer(bytes, frames);
      s.packets.clear();
      return 0;  // the mixer reads only failures
    }
    FakeClientState& s;
  };
  // Either half of the platform, over the one script.
  struct Port final : audio::AudioSessions, audio::AppCaptureOpener {
    explicit Port(FakeAudio& fake) : f(fake) {}
    Result<std::vector<std::uint32_t>> owners() override {
      return f.events.push_back("owners"), f.owners_error ? fail(*f.owners_error) : Result<std::vector<std::uint32_t>>(f.owners);
    }
    void register_notifications() override { f.events.push_back("register"); }
    audio::SessionWait wait_for_new_session(Duration timeout) override {
      if (f.waits.empty()) return f.clock.sleep_for(timeout), audio::SessionWait::TimedOut;
      const audio::SessionWait wait = f.waits.front();
      f.waits.pop_front();
      return wait;
    }
    void discard_pending() override { f.events.push_back("discard"); }
    Result<std::unique_ptr<audio::AppCaptureClient>> open(std::uint32_t pid) override {
      f.events.push_back("open " + std::to_string(pid));
      if (f.refused.contains(pid)) return fail(f.refused[pid]);
      return std::make_unique<Client>(f.clients[pid] = {});
    }
    void wait_for_data(std::span<audio::AppCaptureClient* const> waited, Duration timeout) override {
      f.waited_for = waited.size();
      f.clock.sleep_for(timeout);
    }
    FakeAudio& f;
  };
};

}  // namespace nimbra::testing
