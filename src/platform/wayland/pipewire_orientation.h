#pragma once
// A cast buffer's orientation (SPA_META_VideoTransform): the rotation or
// flip the compositor applied to the picture, as on a turned output, which
// the copy undoes for the picture and the pointer alike.
#include <spa/buffer/buffer.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "capture/sample_buffer.h"

namespace moxi {

// The buffer's transform (SPA_META_TRANSFORMATION_None without the meta).
uint32_t bufferTransform(const spa_buffer* buf);
// Whether undoing `transform` swaps width and height.
bool swapsSides(uint32_t transform);
// Writes `src` upright into `dst` (sized for it); flipped rotations go
// through `scratch`, which is made or resized as needed.
void makeUpright(const PixelBuffer& src, PixelBuffer& dst, uint32_t transform, std::shared_ptr<PixelBuffer>& scratch);
// Where pixel (x, y) of a width x height picture lands once it is upright.
std::pair<double, double> uprightPoint(double x, double y, int width, int height, uint32_t transform);

}  // namespace moxi
