// The terminal's window on Linux: a receiver whose Post queues the message
// for the loop and whose Send waits until the loop has handled it, as
// PostMessageW and SendMessageW do across threads.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "app/messages.h"
#include "cli/console_window.h"
#include "platform/platform.h"

namespace cli {

namespace {

// A progress position comes with every frame, hundreds a second, and is
// shown at most ten times a second. Waking the loop for each would cost more
// than the frame itself when many units are updated at once, so a position
// does not wake it: the loop looks at its queue at least this often while it
// waits, and a newer position replaces one still waiting there (as the main
// window does with its own queue). Twice per tenth of a second keeps the ten
// a second that are shown; more often only wakes a loop that, with a fleet
// being written, shares the processor with every unit's frames.
constexpr auto kQuietPickup = std::chrono::milliseconds(50);

struct QueuedMessage {
  uint32_t message;
  platform::MessageWParam wParam;
  platform::MessageLParam lParam;
  uint64_t sendTicket;  // 0 for a posted message
};

class QueueReceiver : public platform::MessageReceiver {
 public:
  explicit QueueReceiver(MessageHandler& handler) : handler_(handler), owner_(std::this_thread::get_id()) {}

  ~QueueReceiver() override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const QueuedMessage& queued : queue_) DropMessage(queued.message, queued.lParam);
    queue_.clear();
    // A sender still waiting would never hear back; let it go.
    closed_ = true;
    handledUpTo_ = nextTicket_;
    handled_.notify_all();
  }

  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      DropMessage(message, lParam);
      return;
    }
    const bool position = message == UWM_PROGRESS_POSITION;
    if (position && !queue_.empty() && queue_.back().message == message && queue_.back().sendTicket == 0) {
      queue_.back().wParam = wParam;
      return;
    }
    queue_.push_back({message, wParam, lParam, 0});
    if (!position) arrived_.notify_all();
  }

  platform::MessageResult Send(uint32_t message, platform::MessageWParam wParam,
                               platform::MessageLParam lParam) override {
    // From the loop's own thread a send is a plain call, as on Windows.
    if (std::this_thread::get_id() == owner_) {
      DeliverMessage(handler_, message, wParam, lParam);
      return 0;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) {
      DropMessage(message, lParam);
      return 0;
    }
    const uint64_t ticket = ++nextTicket_;
    queue_.push_back({message, wParam, lParam, ticket});
    arrived_.notify_all();
    handled_.wait(lock, [&] { return handledUpTo_ >= ticket; });
    return 0;
  }

  // Waits for one message until the deadline; false when none came.
  bool HandleOne(std::chrono::steady_clock::time_point deadline, bool limited) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (queue_.empty()) {
      const auto now = std::chrono::steady_clock::now();
      if (limited && now >= deadline) return false;
      const auto pickup = now + kQuietPickup;
      arrived_.wait_until(lock, limited ? std::min(deadline, pickup) : pickup);
    }
    QueuedMessage queued = queue_.front();
    queue_.pop_front();
    lock.unlock();
    DeliverMessage(handler_, queued.message, queued.wParam, queued.lParam);
    if (queued.sendTicket != 0) {
      lock.lock();
      handledUpTo_ = queued.sendTicket;
      handled_.notify_all();
    }
    return true;
  }

 private:
  MessageHandler& handler_;
  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable handled_;
  std::deque<QueuedMessage> queue_;
  uint64_t nextTicket_ = 0;
  uint64_t handledUpTo_ = 0;
  bool closed_ = false;
};

}  // namespace

struct ConsoleWindow::Impl {
  explicit Impl(MessageHandler& handler) : receiver(handler) {}
  QueueReceiver receiver;
};

ConsoleWindow::ConsoleWindow(MessageHandler& handler) : impl_(new Impl(handler)) {}
ConsoleWindow::~ConsoleWindow() = default;

bool ConsoleWindow::Ready() const { return true; }

platform::WindowRef ConsoleWindow::Ref() const { return &impl_->receiver; }

bool ConsoleWindow::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
  const bool limited = timeoutMs != kNoLimit;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  if (done()) return true;
  while (impl_->receiver.HandleOne(deadline, limited)) {
    if (done()) return true;
  }
  return false;
}

}  // namespace cli
