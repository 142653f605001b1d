#pragma once
// A highlight surface that notes what it is asked to do (header only, so the
// application's fakes use it too).
#include <cstdint>
#include <vector>

#include "ui/highlight_surface.h"

namespace moxi::test {

class RecordingSurface : public HighlightSurface {
 public:
  struct Calls {
    std::vector<Rect> frames;
    std::vector<double> alphas;
    std::vector<std::int64_t> orders;
  };
  explicit RecordingSurface(Calls* calls = nullptr) : calls_(calls ? calls : &own_) {}
  void setFrame(Rect frame) override { calls_->frames.push_back(frame); }
  void setAlpha(double alpha) override { calls_->alphas.push_back(alpha); }
  double alpha() const override { return calls_->alphas.empty() ? -1 : calls_->alphas.back(); }
  void orderAbove(std::int64_t windowNumber) override { calls_->orders.push_back(windowNumber); }

 private:
  Calls own_;
  Calls* calls_;
};

}  // namespace moxi::test
