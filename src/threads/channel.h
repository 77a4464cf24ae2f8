// channel.h: bounded blocking channels between the phase-1 threads.
//
//   auto [tx, rx] = make_channel<Item>(4);
//   std::thread consumer([rx = std::move(rx)]() mutable {
//     while (std::optional<Item> item = rx.recv()) use(*item);
//   });
//   tx.send(Item{});  // false once the receiver is gone
//
// Senders are copyable and counted; the Receiver is move-only and unique.
// send() blocks while the channel is full and fails (returns false, leaving
// the item with the caller) once the receiver is gone; send_for() waits at
// most a given time, so a sender can do other work (run signal handlers)
// between waits. recv() blocks while the
// channel is empty and reports disconnection (nullopt) once every sender is
// gone and the queue is drained. Dropping a handle is what disconnects a
// channel, so a thread that ends, normally or by an exception, releases its
// ends and its peers stop on their own.
//
// SharedReceiver lets several threads take from one channel: one thread at a
// time holds its mutex while it waits for and takes one item. Lock order is
// SharedReceiver::mutex_ before the channel's own mutex; the channel mutex is
// a leaf and is never held while user code runs.
//
// Thread safety: every operation may be called from any thread; a single
// handle object is not meant to be used by two threads at once.
#ifndef SELKBAR_CHANNEL_H_
#define SELKBAR_CHANNEL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace selkbar {

namespace channel_internal {

template <typename T>
struct State {
  explicit State(size_t capacity) : capacity(capacity < 1 ? 1 : capacity) {}

  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable not_full;
  std::deque<T> queue;
  const size_t capacity;
  size_t senders = 0;
  bool receiver_alive = true;
};

}  // namespace channel_internal

enum class SendStatus { Sent, Timeout, Closed };

template <typename T>
class Sender;
template <typename T>
class Receiver;
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(size_t capacity);

template <typename T>
class Sender {
 public:
  Sender() = default;
  Sender(const Sender& other) : state_(other.state_) { attach(); }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(const Sender& other) {
    if (this != &other) {
      reset();
      state_ = other.state_;
      attach();
    }
    return *this;
  }
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      reset();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Sender() { reset(); }

  // Blocks while the channel is full. Returns false, without taking `item`,
  // when the receiver is gone (or this handle is empty).
  bool send(T&& item) {
    if (!state_) return false;
    {
      std::unique_lock lock(state_->mutex);
      state_->not_full.wait(lock, [&] {
        return !state_->receiver_alive || state_->queue.size() < state_->capacity;
      });
      if (!state_->receiver_alive) return false;
      state_->queue.push_back(std::move(item));
    }
    state_->not_empty.notify_one();
    return true;
  }

  // Like send, waiting at most `timeout` for room. Sent takes the item
  // (leaving `item` moved-from); Timeout and Closed leave it with the caller.
  template <typename Rep, typename Period>
  SendStatus send_for(T& item, std::chrono::duration<Rep, Period> timeout) {
    if (!state_) return SendStatus::Closed;
    {
      std::unique_lock lock(state_->mutex);
      const bool ready = state_->not_full.wait_for(lock, timeout, [&] {
        return !state_->receiver_alive || state_->queue.size() < state_->capacity;
      });
      if (!state_->receiver_alive) return SendStatus::Closed;
      if (!ready) return SendStatus::Timeout;
      state_->queue.push_back(std::move(item));
    }
    state_->not_empty.notify_one();
    return SendStatus::Sent;
  }

  // Drops this handle; the channel disconnects when the last sender goes.
  void reset() {
    if (!state_) return;
    bool last;
    {
      std::scoped_lock lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->not_empty.notify_all();
    state_.reset();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(size_t capacity);

  explicit Sender(std::shared_ptr<channel_internal::State<T>> state) : state_(std::move(state)) {
    attach();
  }
  void attach() {
    if (!state_) return;
    std::scoped_lock lock(state_->mutex);
    ++state_->senders;
  }

  std::shared_ptr<channel_internal::State<T>> state_;
};

template <typename T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      reset();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { reset(); }

  // Blocks while the channel is empty and a sender remains. Returns nullopt
  // once every sender is gone and nothing is left (or this handle is empty).
  std::optional<T> recv() {
    if (!state_) return std::nullopt;
    std::optional<T> item;
    {
      std::unique_lock lock(state_->mutex);
      state_->not_empty.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
      if (state_->queue.empty()) return std::nullopt;
      item.emplace(std::move(state_->queue.front()));
      state_->queue.pop_front();
    }
    state_->not_full.notify_one();
    return item;
  }

  // Drops the receiving end: pending items are released and every blocked
  // or later send fails.
  void reset() {
    if (!state_) return;
    std::deque<T> pending;
    {
      std::scoped_lock lock(state_->mutex);
      state_->receiver_alive = false;
      pending.swap(state_->queue);
    }
    state_->not_full.notify_all();
    state_.reset();
    // `pending` is destroyed here, outside the lock.
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(size_t capacity);

  explicit Receiver(std::shared_ptr<channel_internal::State<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<channel_internal::State<T>> state_;
};

// A channel holding at most `capacity` items (at least 1).
template <typename T>
inline std::pair<Sender<T>, Receiver<T>> make_channel(size_t capacity) {
  auto state = std::make_shared<channel_internal::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

// One receiving end shared by several threads behind one mutex. The channel
// counts as received from until the last shared_ptr to this object is gone.
template <typename T>
class SharedReceiver {
 public:
  explicit SharedReceiver(Receiver<T>&& receiver) : receiver_(std::move(receiver)) {}
  SharedReceiver(const SharedReceiver&) = delete;
  SharedReceiver& operator=(const SharedReceiver&) = delete;

  std::optional<T> recv() {
    std::scoped_lock lock(mutex_);
    return receiver_.recv();
  }

 private:
  std::mutex mutex_;
  Receiver<T> receiver_;
};

}  // namespace selkbar

#endif  // SELKBAR_CHANNEL_H_
