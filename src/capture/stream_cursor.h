#pragma once
// Where a screen-cast stream's pointer is, as the stream reports it.

namespace moxi {

struct StreamCursor {
  bool visible = false;  // over the stream (its image may be hidden)
  double x = 0;          // the pointer's hot spot, stream pixels, top-left origin
  double y = 0;
  int streamWidth = 0;   // the size of the stream those pixels belong to
  int streamHeight = 0;
  bool operator==(const StreamCursor&) const = default;
};

}  // namespace moxi
