#pragma once
// The audio platform as the tests script it: a process table and session
// owners they set, capture clients they feed, waits that pass virtual time.
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "audio/audio_ports.h"
#include "fakes/fake_clock.h"

namespace nimbra::testing {

struct FakeClientState {
  std::deque<std::pair<Bytes, std::uint32_t>> packets;  // empty bytes: silent frames
  std::optional<std::string> fail_drain;
  bool closed = false;
  void frames(const std::vector<std::int16_t>& samples) {
    Bytes bytes(samples.size() * 2);
    if (!samples.empty()) std::memcpy(bytes.data(), samples.data(), bytes.size());
    packets.emplace_back(std::move(bytes), std::uint32_t(samples.size() / 2));
  }
};

class FakeClient final : public audio::AppCaptureClient {
 public:
  explicit FakeClient(std::shared_ptr<FakeClientState> state) : s_(std::move(state)) {}
  ~FakeClient() override { s_->closed = true; }
  Result<std::uint64_t> drain(const audio::PacketConsumer& consumer) override {
    if (s_->fail_drain) return fail(*s_->fail_drain);
    std::uint64_t total = 0;
    for (; !s_->packets.empty(); s_->packets.pop_front()) {
      consumer(s_->packets.front().first, s_->packets.front().second);
      total += s_->packets.front().second;
    }
    return total;
  }

 private:
  std::shared_ptr<FakeClientState> s_;
};

struct FakeAudio {
  FakeClock clock;
  audio::ProcessTable table{{1, {"init", 0}}};
  std::vector<std::uint32_t> owners;
  std::optional<std::string> owners_error;
  std::optional<std::string> refuse_all;
  std::set<std::uint32_t> refused;  // open fails for these pids
  std::vector<std::uint32_t> opened;  // every open attempt, in order
  std::map<std::uint32_t, std::shared_ptr<FakeClientState>> clients;  // the latest client per pid
  std::deque<audio::SessionWait> waits;  // what the next session waits return; then time-outs
  std::optional<Duration> stall;  // the next data wait takes this long instead
  int registrations = 0;
  int discards = 0;
  std::vector<std::string> events;  // platform calls, in order

  FakeClientState& client(std::uint32_t pid) { return *clients.at(pid); }

  std::unique_ptr<audio::AudioPlatform> platform(std::uint32_t own_pid = 7) {
    auto p = std::make_unique<audio::AudioPlatform>();
    p->own_pid = own_pid;
    p->process_table = [this] {
      events.push_back("table");
      return table;
    };
    p->sessions = std::make_unique<Sessions>(*this);
    p->captures = std::make_unique<Opener>(*this);
    return p;
  }

 private:
  struct Sessions final : audio::AudioSessions {
    explicit Sessions(FakeAudio& a) : f(a) {}
    Result<std::vector<std::uint32_t>> owners() override {
      f.events.push_back("owners");
      if (f.owners_error) return fail(*f.owners_error);
      return f.owners;
    }
    void register_notifications() override { ++f.registrations; }
    audio::SessionWait wait_for_new_session(Duration timeout) override {
      if (f.waits.empty()) {
        f.clock.sleep_for(timeout);
        return audio::SessionWait::TimedOut;
      }
      const audio::SessionWait w = f.waits.front();
      f.waits.pop_front();
      return w;
    }
    void discard_pending() override { ++f.discards; }
    FakeAudio& f;
  };
  struct Opener final : audio::AppCaptureOpener {
    explicit Opener(FakeAudio& a) : f(a) {}
    Result<std::unique_ptr<audio::AppCaptureClient>> open(std::uint32_t pid) override {
      f.events.push_back("open " + std::to_string(pid));
      f.opened.push_back(pid);
      if (f.refuse_all) return fail(*f.refuse_all);
      if (f.refused.contains(pid)) return fail("нет клиента");
      auto state = std::make_shared<FakeClientState>();
      f.clients[pid] = state;
      return std::make_unique<FakeClient>(state);
    }
    void wait_for_data(std::span<audio::AppCaptureClient* const>, Duration timeout) override {
      f.clock.sleep_for(f.stall.value_or(timeout));
      f.stall.reset();
    }
    FakeAudio& f;
  };
};

}  // namespace nimbra::testing
