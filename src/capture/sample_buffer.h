#pragma once
// Frames as the capture stream hands them out: BGRA pixel buffers from a
// pool (so frames travel by reference, not by copy) wrapped in sample
// buffers that carry the frame-info attachments and the presentation time.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace moxi {

// bgra: 32 bits a pixel, bytes B, G, R, A in memory (the alpha byte of
// windows without an alpha channel is not meaningful).
// i420: the encoder's own 4:2:0 planes, 1.5 bytes a pixel, for a picture
// grown to even sides (see padToEven), the planes Y, U, V one after another.
enum class PixelFormat { bgra, i420 };

struct PixelBuffer {
  int width = 0;   // the picture's own size, odd or even
  int height = 0;
  int stride = 0;              // bytes from one row to the next (i420: of the Y plane)
  uint8_t* pixels = nullptr;   // null: no backing surface
  std::shared_ptr<void> storage;  // keeps `pixels` alive
  uint32_t poolTag = 0;        // the pool allocator's label of the memory
  PixelFormat format = PixelFormat::bgra;

  // i420: the sides of the planes, and the U and V planes.
  int evenWidth() const { return (width + 1) & ~1; }
  int evenHeight() const { return (height + 1) & ~1; }
  int chromaStride() const { return stride / 2; }
  uint8_t* planeU() const { return pixels + static_cast<size_t>(stride) * static_cast<size_t>(evenHeight()); }
  uint8_t* planeV() const { return planeU() + static_cast<size_t>(chromaStride()) * (evenHeight() / 2); }
  // The bytes a buffer of this format and size takes.
  static size_t bytesFor(PixelFormat format, int width, int height);
  size_t byteSize() const { return bytesFor(format, width, height); }

  // A heap buffer of this size, filled with opaque black.
  static std::shared_ptr<PixelBuffer> allocate(int width, int height);
};

// Memory for pixel buffers: `bytes` owns it (null when allocation failed).
struct PixelStorage {
  std::shared_ptr<uint8_t> bytes;
  size_t capacity = 0;
  uint32_t tag = 0;
};

// A bounded set of reusable pixel buffers. A buffer handed out by acquire()
// goes back to the pool when its last reference is dropped, on whatever
// thread that happens; the pool may be destroyed before its buffers.
class PixelBufferPool {
 public:
  using Allocator = std::function<PixelStorage(size_t bytes)>;

  // At most `maxBuffers` buffers exist at once; `allocate` provides their
  // memory (the heap when empty).
  explicit PixelBufferPool(int maxBuffers, Allocator allocate = {});
  ~PixelBufferPool();
  PixelBufferPool(const PixelBufferPool&) = delete;
  PixelBufferPool& operator=(const PixelBufferPool&) = delete;

  // A buffer of width x height (bgra: stride width * 4; contents
  // undefined), or null when all buffers are out or the memory cannot be had.
  std::shared_ptr<PixelBuffer> acquire(int width, int height, PixelFormat format = PixelFormat::bgra);
  // Buffers handed out and not yet returned.
  int outstanding() const;
  // Runs on the releasing thread each time a buffer comes back.
  void setReleaseCallback(std::function<void()> callback);
  // Memory the pool dropped because it was too small for a newer size; the
  // owner releases whatever the allocator attached to it.
  std::vector<PixelStorage> takeRetired();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// What a capture stream delivers. Output types: screen is 0; every other
// value (audio is 1) is a non-screen type.
enum class SampleOutputType : int { screen = 0, audio = 1 };

// The frame-info status of a captured frame; only `complete` frames carry
// new content.
enum class FrameStatus : int64_t { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

// Sample attachments: a list of dictionaries keyed by frame-info keys.
using AttachmentValue = std::variant<int64_t, double, std::string>;
using AttachmentDictionary = std::map<std::string, AttachmentValue>;
inline constexpr const char* kFrameInfoStatus = "FrameInfoStatus";

struct SampleBuffer {
  bool valid = false;
  SampleOutputType outputType = SampleOutputType::screen;
  std::optional<std::vector<AttachmentDictionary>> attachments;  // absent: none
  std::shared_ptr<const PixelBuffer> image;                      // may be null
  int64_t presentationTimeNs = 0;  // CLOCK_MONOTONIC

  // A valid screen sample whose first attachment holds `status`.
  static SampleBuffer screenFrame(std::shared_ptr<const PixelBuffer> image, int64_t presentationTimeNs,
                                  FrameStatus status = FrameStatus::complete);
};

struct CompleteFrame {
  std::shared_ptr<const PixelBuffer> image;
  SampleBuffer sample;
};

// The image of a frame that carries new content: the first attachment
// dictionary has the status entry as an integer equal to 0, and the frame
// has an image with pixels. Absent otherwise.
std::optional<CompleteFrame> completeFrame(const SampleBuffer& sample);

}  // namespace moxi
