#pragma once
// One connection to the PulseAudio server on libpulse's threaded main loop,
// with what the audio core asks of it: the sink inputs (the audio sessions)
// and their owners, each sink's monitor source, a signal when a sink input
// appears and one when captured data is ready.
#include <pulse/pulseaudio.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "audio/audio_ports.h"
#include "sys/result.h"

namespace nimbra::platform {

struct SinkInput {
  std::uint32_t pid = 0;  // application.process.id, 0 when absent
  std::uint32_t sink = PA_INVALID_INDEX;
};

// Told, on the main loop's thread with its lock held, that sink inputs,
// sinks or the connection changed.
class PulseListener {
 public:
  virtual ~PulseListener() = default;
  virtual void on_change() = 0;
};

class PulseServer {
 public:
  // Connects without starting a server; the error names the failed step.
  static Result<std::shared_ptr<PulseServer>> connect();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Holds the main loop's lock: everything below but the waits needs it.
  class Lock {
   public:
    explicit Lock(PulseServer& server) : loop_(server.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  pa_context* context() { return context_; }
  bool alive() const;
  std::string failure() const;
  const std::map<std::uint32_t, SinkInput>& sink_inputs() const { return sink_inputs_; }
  std::optional<std::uint32_t> monitor_source(std::uint32_t sink) const;
  void add_listener(PulseListener* listener) { listeners_.insert(listener); }
  void remove_listener(PulseListener* listener) { listeners_.erase(listener); }

  // Without the lock.
  audio::SessionWait wait_for_new_session(Duration timeout);
  void discard_new_sessions();
  void wait_for_data(Duration timeout);
  void data_ready();

 private:
  PulseServer() = default;
  Status start();
  void notify_listeners();
  void new_session();
  void wake_all();

  static void on_state(pa_context* context, void* self);
  static void on_event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self);
  static void on_sink_input(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
  static void on_new_sink_input(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
  static void on_sink(pa_context* context, const pa_sink_info* info, int eol, void* self);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::map<std::uint32_t, SinkInput> sink_inputs_;
  std::map<std::uint32_t, std::uint32_t> monitors_;  // sink → its monitor source
  std::set<PulseListener*> listeners_;

  std::mutex signal_lock_;
  std::condition_variable signalled_;
  std::uint64_t new_sessions_ = 0;
  bool data_ready_ = false;
  bool failed_ = false;
};

}  // namespace nimbra::platform
