#include "capture/sample_buffer.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace moxi {

std::shared_ptr<PixelBuffer> PixelBuffer::allocate(int width, int height) {
  auto buffer = std::make_shared<PixelBuffer>();
  if (width <= 0 || height <= 0) return buffer;
  buffer->width = width;
  buffer->height = height;
  buffer->stride = width * 4;
  std::shared_ptr<uint32_t[]> bytes(new uint32_t[static_cast<size_t>(width) * static_cast<size_t>(height)]);
  std::fill_n(bytes.get(), static_cast<size_t>(width) * static_cast<size_t>(height), 0xff000000u);
  buffer->pixels = reinterpret_cast<uint8_t*>(bytes.get());
  buffer->storage = std::move(bytes);
  return buffer;
}

size_t PixelBuffer::bytesFor(PixelFormat format, int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  if (format == PixelFormat::bgra) return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  const size_t w = static_cast<size_t>((width + 1) & ~1), h = static_cast<size_t>((height + 1) & ~1);
  return w * h + 2 * (w / 2) * (h / 2);
}

// Shared by the pool and every buffer it handed out, so that a buffer can
// come back after the pool itself is gone.
struct PixelBufferPool::State {
  std::mutex mutex;
  int maxBuffers = 0;
  int outstanding = 0;
  bool open = true;
  Allocator allocate;
  std::vector<PixelStorage> free;
  std::vector<PixelStorage> retired;
  std::function<void()> onRelease;
};

PixelBufferPool::PixelBufferPool(int maxBuffers, Allocator allocate) : state_(std::make_shared<State>()) {
  state_->maxBuffers = std::max(1, maxBuffers);
  if (allocate) {
    state_->allocate = std::move(allocate);
  } else {
    state_->allocate = [](size_t bytes) {
      PixelStorage s;
      s.bytes = std::shared_ptr<uint8_t>(new (std::nothrow) uint8_t[bytes], std::default_delete<uint8_t[]>());
      s.capacity = s.bytes ? bytes : 0;
      return s;
    };
  }
}

PixelBufferPool::~PixelBufferPool() {
  std::lock_guard lock(state_->mutex);
  state_->open = false;
  state_->onRelease = nullptr;
  state_->free.clear();
  state_->retired.clear();
}

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire(int width, int height, PixelFormat format) {
  if (width <= 0 || height <= 0) return nullptr;
  const size_t bytes = PixelBuffer::bytesFor(format, width, height);
  PixelStorage storage;
  {
    std::lock_guard lock(state_->mutex);
    const int total = state_->outstanding + static_cast<int>(state_->free.size());
    // The buffer given back last comes out first: its pages are the ones in
    // use, and the others are touched only when more frames are out at once.
    auto fits = std::find_if(state_->free.rbegin(), state_->free.rend(),
                             [&](const PixelStorage& s) { return s.capacity >= bytes; });
    if (fits != state_->free.rend()) {
      storage = std::move(*fits);
      state_->free.erase(std::next(fits).base());
    } else {
      if (total >= state_->maxBuffers) {
        if (state_->free.empty()) return nullptr;
        // Every free buffer is too small for the new size: give one up.
        state_->retired.push_back(std::move(state_->free.front()));
        state_->free.erase(state_->free.begin());
      }
      storage = state_->allocate(bytes);
      if (!storage.bytes) return nullptr;
    }
    ++state_->outstanding;
  }
  auto* raw = new PixelBuffer;
  raw->width = width;
  raw->height = height;
  raw->stride = format == PixelFormat::bgra ? width * 4 : raw->evenWidth();
  raw->format = format;
  raw->pixels = storage.bytes.get();
  raw->storage = storage.bytes;
  raw->poolTag = storage.tag;
  std::weak_ptr<State> weak = state_;
  return std::shared_ptr<PixelBuffer>(raw, [weak, storage = std::move(storage)](PixelBuffer* b) mutable {
    delete b;
    auto state = weak.lock();
    if (!state) return;
    std::function<void()> notify;
    {
      std::lock_guard lock(state->mutex);
      --state->outstanding;
      if (state->open) state->free.push_back(std::move(storage));
      notify = state->onRelease;
    }
    if (notify) notify();
  });
}

int PixelBufferPool::outstanding() const {
  std::lock_guard lock(state_->mutex);
  return state_->outstanding;
}

void PixelBufferPool::setReleaseCallback(std::function<void()> callback) {
  std::lock_guard lock(state_->mutex);
  state_->onRelease = std::move(callback);
}

std::vector<PixelStorage> PixelBufferPool::takeRetired() {
  std::lock_guard lock(state_->mutex);
  return std::exchange(state_->retired, {});
}

SampleBuffer SampleBuffer::screenFrame(std::shared_ptr<const PixelBuffer> image, int64_t presentationTimeNs,
                                       FrameStatus status) {
  SampleBuffer s;
  s.valid = true;
  s.outputType = SampleOutputType::screen;
  s.attachments = std::vector<AttachmentDictionary>{{{kFrameInfoStatus, static_cast<int64_t>(status)}}};
  s.image = std::move(image);
  s.presentationTimeNs = presentationTimeNs;
  return s;
}

std::optional<CompleteFrame> completeFrame(const SampleBuffer& sample) {
  if (!sample.attachments || sample.attachments->empty()) return std::nullopt;
  const AttachmentDictionary& info = sample.attachments->front();
  auto status = info.find(kFrameInfoStatus);
  if (status == info.end()) return std::nullopt;
  const int64_t* value = std::get_if<int64_t>(&status->second);
  if (!value || *value != static_cast<int64_t>(FrameStatus::complete)) return std::nullopt;
  if (!sample.image || !sample.image->pixels) return std::nullopt;
  return CompleteFrame{sample.image, sample};
}

}  // namespace moxi
