#pragma once
// Owners of libpipewire objects, so that no logic code frees them by hand.
//
// Objects that belong to a thread loop (context, core, stream) are released
// with that loop's lock held or after the loop has stopped.
#include <pipewire/pipewire.h>

#include <memory>

namespace moxi::pipewire {

// pw_init for this process, once, whoever asks first.
void ensureInitialised();

// Stops the loop's thread (never call from that thread), then frees it.
struct ThreadLoopDeleter {
  void operator()(pw_thread_loop* l) const {
    pw_thread_loop_stop(l);
    pw_thread_loop_destroy(l);
  }
};
struct ContextDeleter {
  void operator()(pw_context* c) const { pw_context_destroy(c); }
};
struct CoreDeleter {
  void operator()(pw_core* c) const { pw_core_disconnect(c); }
};
struct StreamDeleter {
  void operator()(pw_stream* s) const { pw_stream_destroy(s); }
};
struct ProxyDeleter {
  void operator()(pw_proxy* p) const { pw_proxy_destroy(p); }
};

using ThreadLoop = std::unique_ptr<pw_thread_loop, ThreadLoopDeleter>;
using Context = std::unique_ptr<pw_context, ContextDeleter>;
using Core = std::unique_ptr<pw_core, CoreDeleter>;
using Stream = std::unique_ptr<pw_stream, StreamDeleter>;
using Proxy = std::unique_ptr<pw_proxy, ProxyDeleter>;

// A registry is a proxy of the core.
inline Proxy registryOf(pw_core* core) {
  return Proxy(reinterpret_cast<pw_proxy*>(pw_core_get_registry(core, PW_VERSION_REGISTRY, 0)));
}

// A source on a loop (event or timer), destroyed through the loop.
class LoopSource {
 public:
  LoopSource() = default;
  LoopSource(pw_loop* loop, spa_source* source) : loop_(loop), source_(source) {}
  ~LoopSource() { reset(); }
  LoopSource(const LoopSource&) = delete;
  LoopSource& operator=(const LoopSource&) = delete;
  LoopSource(LoopSource&& o) noexcept : loop_(o.loop_), source_(o.source_) { o.source_ = nullptr; }
  LoopSource& operator=(LoopSource&& o) noexcept {
    if (this != &o) {
      reset();
      loop_ = o.loop_;
      source_ = o.source_;
      o.source_ = nullptr;
    }
    return *this;
  }
  void reset() {
    if (source_) pw_loop_destroy_source(loop_, source_);
    source_ = nullptr;
  }
  spa_source* get() const { return source_; }
  explicit operator bool() const { return source_ != nullptr; }

 private:
  pw_loop* loop_ = nullptr;
  spa_source* source_ = nullptr;
};

// A listener hook. reset() detaches it; destroying the object it listens to
// detaches it too, so a hook is never reset after its object is gone.
class Hook {
 public:
  Hook() { spa_zero(hook_); }
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;
  spa_hook* get() { return &hook_; }
  // Call only while the object the hook listens to still exists.
  void reset() {
    if (hook_.link.next) spa_hook_remove(&hook_);
    spa_zero(hook_);
  }

 private:
  spa_hook hook_;
};

// Holds a thread loop's lock for a scope.
class ThreadLoopLock {
 public:
  explicit ThreadLoopLock(pw_thread_loop* l) : l_(l) { pw_thread_loop_lock(l_); }
  ~ThreadLoopLock() { pw_thread_loop_unlock(l_); }
  ThreadLoopLock(const ThreadLoopLock&) = delete;
  ThreadLoopLock& operator=(const ThreadLoopLock&) = delete;

 private:
  pw_thread_loop* l_;
};

}  // namespace moxi::pipewire
