#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace moxi {

// A serial work queue: one worker thread runs submitted jobs one at a time,
// in submission order. The destructor runs what is queued, then joins.
class SerialQueue {
 public:
  // `label` names the worker thread.
  explicit SerialQueue(const std::string& label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> job);
  // Blocks until every job submitted before this call has run.
  void drain();
  bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace moxi
