#pragma once
// Owner of a libswresample context.
extern "C" {
#include <libswresample/swresample.h>
}

#include <memory>

namespace moxi::ff {

struct ResamplerDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
using Resampler = std::unique_ptr<SwrContext, ResamplerDeleter>;

}  // namespace moxi::ff
