#include "ordered_parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace brannock {
namespace {

void Nap(size_t index) { std::this_thread::sleep_for(std::chrono::milliseconds((index * 7) % 5)); }

TEST(RunInOrder, DeliversEveryResultInIndexOrderOnTheCallingThread) {
  const auto caller = std::this_thread::get_id();
  std::vector<size_t> delivered;
  RunInOrder<size_t>(
      40, [](size_t i) { Nap(i); return i * i; },
      [&](size_t i, size_t& square) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        EXPECT_EQ(square, i * i);
        delivered.push_back(i);
        return true;
      },
      nullptr, 4);
  std::vector<size_t> expected(40);
  for (size_t i = 0; i < 40; ++i) expected[i] = i;
  EXPECT_EQ(delivered, expected);
}

TEST(RunInOrder, StoppingStartsNothingMoreAndKeepsThePrefix) {
  std::atomic<size_t> started{0};
  std::vector<size_t> delivered;
  RunInOrder<size_t>(
      100, [&](size_t i) { ++started; Nap(i); return i; },
      [&](size_t i, size_t&) { delivered.push_back(i); return i < 9; }, nullptr, 3);
  EXPECT_EQ(delivered.size(), 10u);
  EXPECT_LE(started.load(), 10u + 2 * 3);  // no further than the window ahead

  std::atomic<bool> keepGoing{true};
  delivered.clear();
  RunInOrder<size_t>(
      100, [&](size_t i) { if (i == 20) keepGoing = false; Nap(i); return i; },
      [&](size_t i, size_t&) { delivered.push_back(i); return true; },
      [&] { return keepGoing.load(); }, 3);
  ASSERT_GE(delivered.size(), 21u);
  EXPECT_LE(delivered.size(), 21u + 3);
  for (size_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i], i);
}

}  // namespace
}  // namespace brannock
