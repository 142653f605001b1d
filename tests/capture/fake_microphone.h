#pragma once
// Fakes of the microphone for unit tests of the code that drives it
// (header only, so any test folder can include "capture/fake_microphone.h").
#include <atomic>
#include <functional>
#include <mutex>
#include <utility>

#include "capture/microphone.h"
#include "platform/serial_queue.h"

namespace moxi::test {

class FakeMicrophoneAccess : public MicrophoneAccess {
 public:
  std::atomic<MicrophoneAuthorization> status{MicrophoneAuthorization::notDetermined};
  std::atomic<int> requests{0};

  MicrophoneAuthorization authorizationStatus() override { return status; }
  void requestAccess(std::function<void(bool granted)> completion) override {
    std::lock_guard lock(mutex_);
    ++requests;
    pending_ = std::move(completion);
  }
  // Answers the last request from the calling thread, as a platform thread would.
  void answer(bool granted) {
    std::unique_lock lock(mutex_);
    auto completion = std::exchange(pending_, nullptr);
    lock.unlock();
    if (completion) completion(granted);
  }

 private:
  std::mutex mutex_;
  std::function<void(bool)> pending_;
};

class FakeMicrophoneSession : public MicrophoneSession {
 public:
  // What the next configure() reports.
  MicrophoneConfiguration nextConfiguration{.noDevice = false, .inputError = {}, .inputAdded = true, .outputAdded = true};
  std::atomic<int> starts{0}, stops{0};

  MicrophoneConfiguration configure() override { return nextConfiguration; }
  void setSampleBufferDelegate(std::function<void(AudioBuffer)> handler, SerialQueue& queue) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
    queue_ = &queue;
  }
  void startRunning() override {
    ++starts;
    running_ = true;
  }
  void stopRunning() override {
    ++stops;
    running_ = false;
  }
  bool isRunning() const override { return running_; }

  // Delivers a block on the delegate's queue while running, as the real session does.
  void deliver(AudioBuffer block) {
    std::lock_guard lock(mutex_);
    if (!running_ || !queue_ || !handler_) return;
    queue_->async([handler = handler_, block = std::move(block)] { handler(block); });
  }

 private:
  std::mutex mutex_;
  std::function<void(AudioBuffer)> handler_;
  SerialQueue* queue_ = nullptr;
  std::atomic<bool> running_{false};
};

}  // namespace moxi::test
