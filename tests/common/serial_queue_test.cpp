#include "common/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

TEST(SerialQueue, RunsJobsOneAtATimeInOrderAndDrainsOnDestruction) {
  std::vector<int> order;
  std::atomic<bool> busy{false}, overlapped{false};
  {
    moxi::SerialQueue q("com.quillon.moxiscope.Test");
    for (int i = 0; i < 200; ++i)
      q.async([&, i] {
        if (busy.exchange(true)) overlapped = true;
        order.push_back(i);
        busy = false;
      });
  }
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
}
