#pragma once
// Fakes of the microphone for unit tests of the code that drives it
// (header only, so any test folder can include "capture/fake_microphone.h").
#include <atomic>
#include <functional>
#include <mutex>
#include <utility>

#include "capture/microphone/microphone.h"
#include "common/serial_queue.h"

namespace moxi::test {

class FakeMicrophoneAccess : public MicrophoneAccess {
 public:
  std::atomic<MicrophoneAuthorization> status{MicrophoneAuthorization::notDetermined};

  MicrophoneAuthorization authorizationStatus() override { return status; }
  void requestAccess(std::function<void(bool granted)> completion) override {
    std::lock_guard lock(mutex_);
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
  std::atomic<int> starts{0}, stops{0};

  // A microphone that is there, and stays silent.
  MicrophoneConfiguration configure() override {
    return {.noDevice = false, .inputError = {}, .inputAdded = true, .outputAdded = true};
  }
  void setSampleBufferDelegate(std::function<void(AudioBuffer)>, SerialQueue&) override {}
  void startRunning() override {
    ++starts;
    running_ = true;
  }
  void stopRunning() override {
    ++stops;
    running_ = false;
  }
  bool isRunning() const override { return running_; }

 private:
  std::atomic<bool> running_{false};
};

}  // namespace moxi::test
