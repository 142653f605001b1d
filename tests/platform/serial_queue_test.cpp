#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

TEST(SerialQueue, RunsJobsOneAtATimeInOrderAndDrainsOnDestruction) {
  std::vector<int> order;
  std::atomic<int> concurrent{0}, maxConcurrent{0};
  {
    moxi::SerialQueue q("com.quillon.moxiscope.Test");
    for (int i = 0; i < 200; ++i)
      q.async([&, i] {
        int now = ++concurrent;
        if (now > maxConcurrent) maxConcurrent = now;
        order.push_back(i);
        --concurrent;
      });
  }
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(maxConcurrent.load(), 1);
}
