// The status line reports: what text arrives, how it is delivered, and that a
// posted text survives until the window gets to it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/messages.h"
#include "app/status.h"
#include "tests/update/update_test_support.h"

namespace {

using updatetest::RecordingWindow;

// Holds posted messages without looking at them, like a window whose thread
// is busy: the texts are read only when the test "handles" them.
class BusyWindow : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam, platform::MessageLParam lParam) override {
    if (message == UWM_SET_STATUS) pending.push_back(lParam);
  }
  platform::MessageResult Send(uint32_t, platform::MessageWParam, platform::MessageLParam) override { return 0; }
  std::vector<platform::MessageLParam> pending;
};

class ReportStatusTest : public ::testing::Test {
 protected:
  void SetUp() override { updatetest::LoadPackage(); }
};

TEST_F(ReportStatusTest, SentAndPostedReportsCarryTheFormattedLine) {
  RecordingWindow window;
  EXPECT_TRUE(ReportStatus(&window, L"Idle", false));
  EXPECT_TRUE(ReportStatus(&window, L"Server UI", true));
  auto messages = window.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].id, UWM_SET_STATUS);
  EXPECT_TRUE(messages[0].sent);
  EXPECT_EQ(messages[0].wParam, 0u);
  EXPECT_EQ(messages[0].status, L"Progress: Idle");
  EXPECT_EQ(messages[1].id, UWM_SET_STATUS);
  EXPECT_FALSE(messages[1].sent);
  EXPECT_EQ(messages[1].status, L"Progress: Server UI");
}

TEST_F(ReportStatusTest, PostedTextsStayTheirOwnUntilHandled) {
  BusyWindow window;
  ASSERT_TRUE(ReportStatus(&window, L"Initializing", true));
  ASSERT_TRUE(ReportStatus(&window, L"Server Application", true));
  ASSERT_TRUE(ReportStatus(&window, L"Server UI", true));
  ASSERT_EQ(window.pending.size(), 3u);
  // Only now does the window get to them, in the order they came.
  EXPECT_STREQ(StatusTextOf(window.pending[0]), L"Progress: Initializing");
  EXPECT_STREQ(StatusTextOf(window.pending[1]), L"Progress: Server Application");
  EXPECT_STREQ(StatusTextOf(window.pending[2]), L"Progress: Server UI");
  for (auto lParam : window.pending) ReleaseStatusText(lParam);
}

TEST_F(ReportStatusTest, ReportsFromAWorkerArriveInOrder) {
  RecordingWindow window;
  struct Job {
    RecordingWindow* window;
  } job{&window};
  auto routine = [](void* argument) -> unsigned {
    auto* j = static_cast<Job*>(argument);
    ReportStatus(j->window, L"first", true);
    ReportStatus(j->window, L"second", true);
    return 0;
  };
  platform::Thread thread = platform::StartThread(routine, &job);
  ASSERT_NE(thread, nullptr);
  platform::WaitThread(thread);
  platform::CloseThread(thread);
  EXPECT_EQ(window.Statuses(), (std::vector<std::wstring>{L"Progress: first", L"Progress: second"}));
}

TEST_F(ReportStatusTest, LineIsCutAt255CharactersAndTakesTheTextLiterally) {
  RecordingWindow window;
  ReportStatus(&window, std::wstring(400, L'x').c_str(), false);
  ReportStatus(&window, L"100% %s done", false);
  auto texts = window.Statuses();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].size(), 255u);
  EXPECT_EQ(texts[0], L"Progress: " + std::wstring(245, L'x'));
  EXPECT_EQ(texts[1], L"Progress: 100% %s done");
}

TEST_F(ReportStatusTest, UndeliverableReportIsFreedAndSaysSo) {
  // No window: nothing can receive it; the copy must not leak (the sanitizer
  // build watches) and the caller learns it went nowhere.
  EXPECT_FALSE(ReportStatus(nullptr, L"lost", true));
  EXPECT_FALSE(ReportStatus(nullptr, L"lost", false));
}

}  // namespace
