#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <vector>

TEST(SerialQueue, RunsJobsInOrderAndDrainsOnDestruction) {
  std::vector<int> order;
  {
    moxi::SerialQueue q("com.quillon.moxiscope.Test");
    for (int i = 0; i < 200; ++i)
      q.async([&, i] { order.push_back(i); });
  }
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}
