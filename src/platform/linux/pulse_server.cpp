#include "platform/linux/pulse_server.h"

#include <charconv>
#include <cstring>

namespace nimbra::platform {
namespace {

std::uint32_t owner_pid(const pa_proplist* properties) {
  const char* text = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
  std::uint32_t pid = 0;
  if (text == nullptr || std::from_chars(text, text + std::strlen(text), pid).ec != std::errc()) return 0;
  return pid;
}

// Runs an operation to its end; the callbacks signal the loop.
void finish(pa_threaded_mainloop* loop, pa_operation* operation) {
  if (operation == nullptr) return;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
  pa_operation_unref(operation);
}

void forget(pa_operation* operation) {
  if (operation != nullptr) pa_operation_unref(operation);
}

}  // namespace

Result<std::shared_ptr<PulseServer>> PulseServer::connect() {
  std::shared_ptr<PulseServer> server(new PulseServer);
  if (Status started = server->start(); !started) return fail("подключение к PulseAudio: " + started.error());
  return server;
}

Status PulseServer::start() {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) return fail("pa_threaded_mainloop_new");
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "nimbra-capture");
  if (context_ == nullptr) return fail("pa_context_new");
  pa_context_set_state_callback(context_, on_state, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return fail(pa_strerror(pa_context_errno(context_)));
  }
  if (pa_threaded_mainloop_start(loop_) < 0) return fail("pa_threaded_mainloop_start");
  Lock lock(*this);
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return fail(pa_strerror(pa_context_errno(context_)));
    pa_threaded_mainloop_wait(loop_);
  }
  pa_context_set_subscribe_callback(context_, on_event, this);
  forget(pa_context_subscribe(
      context_, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK),
      nullptr, nullptr));
  finish(loop_, pa_context_get_sink_info_list(context_, on_sink, this));
  finish(loop_, pa_context_get_sink_input_info_list(context_, on_sink_input, this));
  return {};
}

PulseServer::~PulseServer() {
  if (loop_ != nullptr) pa_threaded_mainloop_stop(loop_);
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
}

bool PulseServer::alive() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

std::string PulseServer::failure() const {
  return std::string("соединение потеряно: ") + pa_strerror(pa_context_errno(context_));
}

std::optional<std::uint32_t> PulseServer::monitor_source(std::uint32_t sink) const {
  auto found = monitors_.find(sink);
  if (found == monitors_.end()) return std::nullopt;
  return found->second;
}

void PulseServer::notify_listeners() {
  const std::set<PulseListener*> listeners = listeners_;
  for (PulseListener* listener : listeners) listener->on_change();
}

void PulseServer::on_state(pa_context* context, void* self) {
  auto* server = static_cast<PulseServer*>(self);
  pa_threaded_mainloop_signal(server->loop_, 0);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
    server->notify_listeners();
    {
      std::lock_guard guard(server->signal_lock_);
      server->failed_ = true;
    }
    server->signalled_.notify_all();
  }
}

void PulseServer::on_event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
  auto* server = static_cast<PulseServer*>(self);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto what = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    if (what == PA_SUBSCRIPTION_EVENT_REMOVE) {
      server->sink_inputs_.erase(index);  // the event carries the index only
      server->notify_listeners();
    } else {
      forget(pa_context_get_sink_input_info(
          context, index, what == PA_SUBSCRIPTION_EVENT_NEW ? on_new_sink_input : on_sink_input, self));
    }
  } else if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
    if (what == PA_SUBSCRIPTION_EVENT_REMOVE) {
      server->monitors_.erase(index);
      server->notify_listeners();
    } else {
      forget(pa_context_get_sink_info_by_index(context, index, on_sink, self));
    }
  }
}

void PulseServer::on_sink_input(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
  auto* server = static_cast<PulseServer*>(self);
  if (eol != 0 || info == nullptr) {
    pa_threaded_mainloop_signal(server->loop_, 0);
    return;
  }
  server->sink_inputs_[info->index] = SinkInput{owner_pid(info->proplist), info->sink};
  server->notify_listeners();
}

void PulseServer::on_new_sink_input(pa_context* context, const pa_sink_input_info* info, int eol, void* self) {
  on_sink_input(context, info, eol, self);
  if (eol == 0 && info != nullptr) static_cast<PulseServer*>(self)->new_session();
}

void PulseServer::on_sink(pa_context*, const pa_sink_info* info, int eol, void* self) {
  auto* server = static_cast<PulseServer*>(self);
  if (eol != 0 || info == nullptr) {
    pa_threaded_mainloop_signal(server->loop_, 0);
    return;
  }
  server->monitors_[info->index] = info->monitor_source;
  server->notify_listeners();
}

void PulseServer::new_session() {
  {
    std::lock_guard guard(signal_lock_);
    ++new_sessions_;
  }
  signalled_.notify_all();
}

void PulseServer::data_ready() {
  {
    std::lock_guard guard(signal_lock_);
    if (data_ready_) return;  // the mixer has not woken for the last one yet
    data_ready_ = true;
  }
  signalled_.notify_all();
}

audio::SessionWait PulseServer::wait_for_new_session(Duration timeout) {
  std::unique_lock guard(signal_lock_);
  if (!signalled_.wait_for(guard, timeout, [this] { return new_sessions_ > 0 || failed_; })) {
    return audio::SessionWait::TimedOut;
  }
  if (new_sessions_ == 0) return audio::SessionWait::Gone;
  --new_sessions_;
  return audio::SessionWait::NewSession;
}

void PulseServer::discard_new_sessions() {
  std::lock_guard guard(signal_lock_);
  new_sessions_ = 0;
}

void PulseServer::wait_for_data(Duration timeout) {
  std::unique_lock guard(signal_lock_);
  signalled_.wait_for(guard, timeout, [this] { return data_ready_ || failed_; });
  data_ready_ = false;
}

}  // namespace nimbra::platform
