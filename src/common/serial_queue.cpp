#include "common/serial_queue.h"

#include <pthread.h>

#include <future>

namespace moxi {

SerialQueue::SerialQueue(const std::string& label) : worker_([this] { run(); }) {
  // Thread names are limited to 15 characters; the label's tail is the telling part.
  std::string name = label.size() > 15 ? label.substr(label.size() - 15) : label;
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SerialQueue::async(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void SerialQueue::drain() {
  if (isCurrent()) return;
  std::promise<void> done;
  auto f = done.get_future();
  async([&done] { done.set_value(); });
  f.wait();
}

void SerialQueue::run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace moxi
