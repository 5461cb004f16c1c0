#pragma once

// Coroutines for the reminder client's operations. An operation is written as one coroutine on
// the client's serial queue and suspends only where it waits for the network, so operations
// interleave only there, as the client's rules expect. `Task` is a step that another coroutine
// awaits (lazily started, result or exception handed to the awaiter); `Operation` is the
// outermost coroutine of a call, started at once and filed in its owner's `OperationSet` until
// it ends, so that an owner going away destroys every operation still waiting, and with it
// every completion it held, without running any of it.

#include <coroutine>
#include <exception>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>
#include <variant>

namespace velmorine::reminders::detail {

template <typename T>
class Task;

namespace task_detail {

struct PromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr error;

  std::suspend_always initial_suspend() noexcept { return {}; }
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
      auto next = self.promise().continuation;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() { error = std::current_exception(); }
};

}  // namespace task_detail

template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type : task_detail::PromiseBase {
    std::optional<T> value;
    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    template <typename U>
    void return_value(U&& result) {
      value.emplace(std::forward<U>(result));
    }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() {
    auto& promise = handle_.promise();
    if (promise.error) std::rethrow_exception(promise.error);
    return std::move(*promise.value);
  }

 private:
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  std::coroutine_handle<promise_type> handle_;
};

template <>
class [[nodiscard]] Task<void> {
 public:
  struct promise_type : task_detail::PromiseBase {
    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    void return_void() {}
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  void await_resume() {
    if (handle_.promise().error) std::rethrow_exception(handle_.promise().error);
  }

 private:
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  std::coroutine_handle<promise_type> handle_;
};

// The operations of one owner that have started and not yet ended.
class OperationSet {
 public:
  OperationSet() = default;
  OperationSet(const OperationSet&) = delete;
  OperationSet& operator=(const OperationSet&) = delete;
  // Destroys every operation still waiting; none of them runs again.
  ~OperationSet() { destroyAll(); }

  void destroyAll() {
    while (!running_.empty()) {
      // Destroying an operation takes it out of the set.
      std::coroutine_handle<>::from_address(*running_.begin()).destroy();
    }
  }
  size_t size() const { return running_.size(); }

 private:
  friend class Operation;
  std::set<void*> running_;
};

// The outermost coroutine of a call: its first parameter is the owner's OperationSet. It runs
// at once, up to its first wait, and frees itself when it ends.
class Operation {
 public:
  struct promise_type {
    OperationSet* set;
    void* address;

    template <typename... Args>
    explicit promise_type(OperationSet& operations, Args&&...)
        : set(&operations),
          address(std::coroutine_handle<promise_type>::from_promise(*this).address()) {
      set->running_.insert(address);
    }
    ~promise_type() { set->running_.erase(address); }

    Operation get_return_object() { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    // Every operation catches what its steps throw and hands it to its caller.
    void unhandled_exception() { std::terminate(); }
  };
};

}  // namespace velmorine::reminders::detail
