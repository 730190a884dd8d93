#pragma once
// Hand-over between threads. A bounded channel never makes its sender wait:
// a full channel is reported and the caller decides what to drop. The
// channel closes for the receiver once every sender is gone, and for the
// senders once the receiver is gone.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

namespace nimbra {

enum class SendResult { Sent, Full, Closed };

// What a timed receive ends with besides an item.
struct TimedOut {};
struct ChannelClosed {};

namespace detail {

template <class T>
struct ChannelState {
  explicit ChannelState(std::size_t cap) : capacity(cap) {}
  std::mutex lock;
  std::condition_variable ready;
  std::deque<T> items;
  std::size_t capacity;
  std::size_t senders = 1;
  bool receiver_alive = true;
};

}  // namespace detail

template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Sender(const Sender& other) : state_(other.state_) { add_sender(); }
  Sender& operator=(const Sender&) = delete;
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Sender() { release(); }

  explicit operator bool() const { return state_ != nullptr; }

  // Moves from `item` only when it was accepted.
  SendResult try_send(T& item) {
    if (!state_) return SendResult::Closed;
    {
      std::lock_guard guard(state_->lock);
      if (!state_->receiver_alive) return SendResult::Closed;
      if (state_->items.size() >= state_->capacity) return SendResult::Full;
      state_->items.push_back(std::move(item));
    }
    state_->ready.notify_one();
    return SendResult::Sent;
  }
  SendResult try_send(T&& item) { return try_send(item); }

 private:
  void add_sender() {
    if (!state_) return;
    std::lock_guard guard(state_->lock);
    ++state_->senders;
  }
  void release() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard guard(state_->lock);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_all();
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { release(); }

  explicit operator bool() const { return state_ != nullptr; }

  // Without waiting: an item, or nothing (empty or closed).
  std::optional<T> try_receive() {
    if (!state_) return std::nullopt;
    std::lock_guard guard(state_->lock);
    return take();
  }

  // Waits for an item; nothing once the channel is empty and every sender gone.
  std::optional<T> receive() {
    if (!state_) return std::nullopt;
    std::unique_lock guard(state_->lock);
    state_->ready.wait(guard, [&] { return !state_->items.empty() || state_->senders == 0; });
    return take();
  }

  // Waits at most `timeout` of the machine's steady time.
  std::variant<T, TimedOut, ChannelClosed> receive_for(std::chrono::nanoseconds timeout) {
    if (!state_) return ChannelClosed{};
    std::unique_lock guard(state_->lock);
    const bool woke = state_->ready.wait_for(
        guard, timeout, [&] { return !state_->items.empty() || state_->senders == 0; });
    if (std::optional<T> item = take()) return std::move(*item);
    if (!woke) return TimedOut{};
    return ChannelClosed{};
  }

 private:
  std::optional<T> take() {
    if (state_->items.empty()) return std::nullopt;
    std::optional<T> item(std::move(state_->items.front()));
    state_->items.pop_front();
    return item;
  }
  void release() {
    if (!state_) return;
    std::deque<T> left;
    {
      std::lock_guard guard(state_->lock);
      state_->receiver_alive = false;
      left.swap(state_->items);  // freed outside the lock
    }
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
struct Channel {
  Sender<T> sender;
  Receiver<T> receiver;
};

template <class T>
Channel<T> make_channel(std::size_t capacity) {
  auto state = std::make_shared<detail::ChannelState<T>>(capacity);
  return Channel<T>{Sender<T>(state), Receiver<T>(state)};
}

template <class T>
Channel<T> make_unbounded_channel() {
  return make_channel<T>(std::numeric_limits<std::size_t>::max());
}

}  // namespace nimbra
