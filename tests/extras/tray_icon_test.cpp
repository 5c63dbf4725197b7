// The tray icon's frame sequence, recorded through its system table: what
// the notification area would be shown, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "extras/tray_icon.h"
#include "resources/resource.h"

namespace {

struct Call {
  uint32_t operation;
  TrayIconRecord record;
};

std::mutex g_mutex;
std::vector<Call> g_calls;
std::vector<TrayIconHandle> g_destroyed;

// Icons are opaque handles; the resource id stands in for each.
TrayIconHandle FakeLoad(TrayInstance, unsigned id) { return reinterpret_cast<TrayIconHandle>(uintptr_t{id}); }
bool FakeNotify(uint32_t operation, const TrayIconRecord* record) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls.push_back({operation, *record});
  return true;
}
void FakeDestroy(TrayIconHandle icon) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_destroyed.push_back(icon);
}

int FrameOf(TrayIconHandle icon) {
  switch (reinterpret_cast<uintptr_t>(icon)) {
    case IDI_TRAY_FRAME1:
      return 1;
    case IDI_TRAY_FRAME2:
      return 2;
    case IDI_TRAY_FRAME3:
      return 3;
    case IDI_TRAY_FRAME4:
      return 4;
    default:
      return 0;
  }
}

class NullWindow : public platform::MessageReceiver {
 public:
  void Post(uint32_t, platform::MessageWParam, platform::MessageLParam) override {}
  platform::MessageResult Send(uint32_t, platform::MessageWParam, platform::MessageLParam) override { return 0; }
};

class TrayIconTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_destroyed.clear();
    TraySystem system = {FakeLoad, FakeNotify, FakeDestroy};
    SetTraySystem(&system);
  }
  void TearDown() override { SetTraySystem(nullptr); }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
  }
  size_t ModifyCount() {
    auto calls = Calls();
    return std::count_if(calls.begin(), calls.end(), [](const Call& c) { return c.operation == kTrayModify; });
  }
  // Waits (generously) until the thread has made `count` animation steps.
  bool WaitForModifies(size_t count) {
    for (int i = 0; i < 1000 && ModifyCount() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ModifyCount() >= count;
  }
  std::vector<int> ModifiedFrames() {
    std::vector<int> frames;
    for (const Call& c : Calls())
      if (c.operation == kTrayModify) frames.push_back(FrameOf(c.record.hIcon));
    return frames;
  }

  NullWindow window_;
};

void ExpectPlainRecord(const TrayIconRecord& record, platform::WindowRef window) {
  EXPECT_EQ(record.cbSize, 952u);
  EXPECT_EQ(record.hWnd, window);
  EXPECT_EQ(record.uID, 0u);
  EXPECT_EQ(record.uFlags, 2u);  // the icon only: no tip, no callback message
  EXPECT_EQ(record.uCallbackMessage, 0u);
  EXPECT_TRUE(std::all_of(std::begin(record.szTip), std::end(record.szTip), [](uint16_t c) { return c == 0; }));
  EXPECT_EQ(record.dwState, 0u);
  EXPECT_EQ(record.dwInfoFlags, 0u);
}

// The animated stretch must run 1, 2, 3, 4, 1, ... from frame 1.
void ExpectCycleFromOne(const std::vector<int>& frames, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) EXPECT_EQ(frames[i], static_cast<int>((i - from) % 4) + 1) << "step " << i;
}

TEST_F(TrayIconTest, StartAndImmediateStopShowsFrameOneOnlyAndRemovesTheIcon) {
  TrayIconStart(nullptr, &window_);
  TrayIconStop(nullptr, &window_);
  auto calls = Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.front().operation, kTrayAdd);
  EXPECT_EQ(FrameOf(calls.front().record.hIcon), 1);
  ExpectPlainRecord(calls.front().record, &window_);
  EXPECT_EQ(calls.back().operation, kTrayDelete);
  ExpectPlainRecord(calls.back().record, &window_);
  for (size_t i = 1; i + 1 < calls.size(); ++i) {
    EXPECT_EQ(calls[i].operation, kTrayModify);
    EXPECT_EQ(FrameOf(calls[i].record.hIcon), 1);
  }
  // The thread destroyed each of the four icons once, before the removal.
  std::vector<TrayIconHandle> destroyed = g_destroyed;
  std::sort(destroyed.begin(), destroyed.end());
  std::vector<TrayIconHandle> loaded = {FakeLoad(nullptr, IDI_TRAY_FRAME1), FakeLoad(nullptr, IDI_TRAY_FRAME2),
                                        FakeLoad(nullptr, IDI_TRAY_FRAME3), FakeLoad(nullptr, IDI_TRAY_FRAME4)};
  EXPECT_EQ(destroyed, loaded);
}

TEST_F(TrayIconTest, EachAnimationRunsFromFrameOneAndComesBackToFrameOne) {
  TrayIconStart(nullptr, &window_);
  ASSERT_TRUE(WaitForModifies(1));  // the still icon, frame 1
  TrayAnimationOn();
  TrayAnimationOn();  // a second "on" changes nothing
  ASSERT_TRUE(WaitForModifies(1 + 6));
  TrayAnimationOff();
  size_t afterFirst = 0;
  // The rest step follows within one frame time; wait for it.
  for (int i = 0; i < 1000; ++i) {
    auto frames = ModifiedFrames();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (ModifiedFrames().size() == frames.size()) {
      afterFirst = frames.size();
      break;
    }
  }
  ASSERT_GE(afterFirst, 8u);
  // A second, shorter animation that stops on another frame.
  TrayAnimationOn();
  ASSERT_TRUE(WaitForModifies(afterFirst + 2));
  TrayAnimationOff();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  TrayIconStop(nullptr, &window_);

  std::vector<int> frames = ModifiedFrames();
  ASSERT_GE(frames.size(), afterFirst + 3);
  EXPECT_EQ(frames[0], 1);  // still, before the animation
  ExpectCycleFromOne(frames, 1, afterFirst - 1);
  EXPECT_EQ(frames[afterFirst - 1], 1);  // at rest again after the first
  ExpectCycleFromOne(frames, afterFirst, frames.size() - 1);
  EXPECT_EQ(frames.back(), 1);  // and after the second
  EXPECT_EQ(Calls().back().operation, kTrayDelete);
}

TEST_F(TrayIconTest, StopWhileAnimatingShowsFrameOneThenEndsTheThread) {
  TrayIconStart(nullptr, &window_);
  TrayAnimationOn();
  ASSERT_TRUE(WaitForModifies(3));
  auto started = std::chrono::steady_clock::now();
  TrayIconStop(nullptr, &window_);
  auto took = std::chrono::steady_clock::now() - started;
  // One frame time is 150 ms; allow a great deal for a busy machine.
  EXPECT_LT(took, std::chrono::seconds(5));

  auto calls = Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls.back().operation, kTrayDelete);
  EXPECT_EQ(calls[calls.size() - 2].operation, kTrayModify);
  EXPECT_EQ(FrameOf(calls[calls.size() - 2].record.hIcon), 1);
  // Nothing reaches the notification area once the icon is removed.
  size_t before = calls.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(Calls().size(), before);
  EXPECT_EQ(g_destroyed.size(), 4u);
}

}  // namespace
