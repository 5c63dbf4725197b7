// The version query worker, its request queue, and the query itself.
#include "control/version_queries.h"

#include <atomic>
#include <cwchar>

#include "app/messages.h"
#include "boot/bootloader_session.h"
#include "control/text_commands.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "link/transport.h"

namespace {

constexpr uint32_t kQueueWaitMs = 250;
constexpr uint16_t kBootloaderTries = 5;
constexpr uint16_t kBootloaderTryMs = 500;
constexpr unsigned kSerialQueryTimeoutMs = 1000;
constexpr unsigned kNetworkQueryTimeoutMs = 250;
constexpr uint32_t kNoApplicationVersion = 0xFFFFFFFFu;

struct QueryNode {
  WorkerRequest* request;
  QueryNode* next;
};

// The queue is touched only with the mutex held. The worker handle, the
// event and the mutex belong to the thread that starts and stops the worker.
QueryNode* g_queueHead = nullptr;
platform::Mutex g_queueMutex = nullptr;
platform::Event g_queueEvent = nullptr;
platform::Thread g_worker = nullptr;
// Written by the stopping thread, read by the worker and by waiters.
std::atomic<int> g_stop{0};

void FreeRequest(WorkerRequest* request) {
  if (request == nullptr) return;
  delete request->link;  // closes it if it is still open
  delete request;
}

// Tries for the mutex in 250 ms steps, looking at the stop flag before
// every attempt. False when stopping, or when the mutex cannot be had.
bool AcquireQueue() {
  for (;;) {
    if (g_stop.load() != 0) return false;
    switch (platform::LockQueueMutex(g_queueMutex, kQueueWaitMs)) {
      case platform::WaitResult::Signalled:
        return true;
      case platform::WaitResult::TimedOut:
        break;
      case platform::WaitResult::Failed:
        return false;
    }
  }
}

void FreeQueue() {
  while (g_queueHead != nullptr) {
    QueryNode* node = g_queueHead;
    g_queueHead = node->next;
    FreeRequest(node->request);
    delete node;
  }
}

void Post(platform::WindowRef window, uint32_t message, platform::MessageWParam wParam,
          platform::MessageLParam lParam = 0) {
  platform::PostWindowMessage(window, message, wParam, lParam);
}

void PostApplicationVersion(platform::WindowRef window, uint32_t version) {
  Post(window, UWM_APPLICATION_VERSION, 0, static_cast<platform::MessageLParam>(version));
}

// What a unit whose bootloader did not answer looks like, before its text
// interface has had its say.
void PostNotInBootloader(platform::WindowRef window) {
  Post(window, UWM_UNIT_NOT_IN_BOOTLOADER, 0);
  PostApplicationVersion(window, kNoApplicationVersion);
  Post(window, UWM_ENABLE_ENTER_BOOTLOAD, 0);
  Post(window, UWM_ENABLE_EXIT_BOOTLOAD, 0);
}

void PostLetter(platform::WindowRef window, const char* reply) {
  const char letter = QueryReplyLetter(reply);
  Post(window, UWM_ENABLE_ENTER_BOOTLOAD, letter == 'd' ? 1 : 0);
  Post(window, UWM_ENABLE_EXIT_BOOTLOAD, letter == 'e' ? 1 : 0);
}

// The bootloader answered: its version, then the application's. A reply
// too short to hold what we read counts as no value rather than as the CRC
// bytes that would sit where the value should be.
void ReportBootloader(platform::WindowRef window, BootloaderSession& session) {
  const uint8_t* reply = session.ReplyData();
  const int dataLength = static_cast<int>(session.ReplyLength()) - 3;
  const unsigned version = dataLength >= 2 ? reply[1] * 256u + reply[2] : 0;
  Post(window, UWM_UNIT_IN_BOOTLOADER, version);
  Post(window, UWM_ENABLE_ENTER_BOOTLOAD, 0);
  Post(window, UWM_ENABLE_EXIT_BOOTLOAD, 1);

  uint32_t application = kNoApplicationVersion;
  if (session.SendCommand(ReadApplicationVersion, nullptr, 0, kBootloaderTries, kBootloaderTryMs) &&
      session.ReplyLength() >= 4 + 3) {
    const uint8_t* value = session.ReplyData() + 1;
    application = value[0] | (value[1] << 8) | (value[2] << 16) | (static_cast<uint32_t>(value[3]) << 24);
  }
  PostApplicationVersion(window, application);
  session.Close();
}

void QueryUnit(platform::WindowRef window, Transport* link) {
  Post(window, UWM_ENABLE_EXIT_BOOTLOAD, 0);
  if (link == nullptr) {  // nothing to ask; a session cannot open no link
    Post(window, UWM_QUERY_DONE, 0);
    return;
  }
  BootloaderSession session;
  session.SetTransport(link);  // the session owns the link from here on
  session.Open();              // a link that did not open fails the next command

  if (session.SendCommand(ReadBootloaderVersion, nullptr, 0, kBootloaderTries, kBootloaderTryMs)) {
    ReportBootloader(window, session);
  } else {
    const ProbeAnswered letter = [window](Transport&, const char* reply) { PostLetter(window, reply); };
    const wchar_t* kind = link->Kind();
    if (std::wcscmp(kind, L"COM") == 0) {
      session.Close();  // the probe needs the port
      PostNotInBootloader(window);
      if (auto* serial = dynamic_cast<COMTransport*>(link))
        ProbeSerialUnit(serial->PortName(), kSerialQueryTimeoutMs, IsQueryReply, letter);
    } else if (std::wcscmp(kind, L"IP") == 0) {
      session.Close();
      PostNotInBootloader(window);
      if (auto* network = dynamic_cast<EthernetTransport*>(link))
        QueryNetworkUnit(network->Address(), appState.parserPort, kNetworkQueryTimeoutMs, letter);
    }
  }
  Post(window, UWM_QUERY_DONE, 0);
}  // the session goes, and the link with it

}  // namespace

WorkerRequest* TakeVersionQuery() {
  if (!AcquireQueue()) return nullptr;
  WorkerRequest* request = nullptr;
  if (QueryNode* node = g_queueHead) {
    g_queueHead = node->next;
    request = node->request;
    delete node;
    if (g_queueHead == nullptr) platform::ClearEvent(g_queueEvent);
  }
  platform::UnlockQueueMutex(g_queueMutex);
  return request;
}

void SubmitVersionQuery(WorkerRequest* request) {
  if (request == nullptr) return;
  if (g_worker == nullptr || !AcquireQueue()) {
    FreeRequest(request);
    return;
  }
  QueryNode** tail = &g_queueHead;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = new QueryNode{request, nullptr};
  platform::UnlockQueueMutex(g_queueMutex);
  platform::SignalEvent(g_queueEvent);
}

unsigned TQ_THREAD_CALL bootload_version_thread(void*) {
  platform::NameThread("bootload_version_thread");
  while (g_stop.load() == 0) {
    const platform::WaitResult woken = platform::WaitForEvent(g_queueEvent, kQueueWaitMs);
    if (woken == platform::WaitResult::Failed) platform::SleepMs(kQueueWaitMs);  // never spin
    if (woken != platform::WaitResult::Signalled) continue;

    // Only the newest request is answered; the ones it supersedes go unasked.
    WorkerRequest* newest = nullptr;
    while (WorkerRequest* request = TakeVersionQuery()) {
      FreeRequest(newest);
      newest = request;
    }
    if (newest != nullptr && g_stop.load() == 0) {
      QueryUnit(newest->window, newest->link);
      newest->link = nullptr;  // gone with the query's session
    }
    FreeRequest(newest);
  }
  return 0;
}

void StopVersionQueries() {
  if (g_worker != nullptr) {
    g_stop.store(1);
    platform::WaitThread(g_worker);
    platform::CloseThread(g_worker);
    g_worker = nullptr;
  }
  if (g_queueEvent != nullptr) platform::CloseEvent(g_queueEvent);
  if (g_queueMutex != nullptr) platform::CloseQueueMutex(g_queueMutex);
  g_queueEvent = nullptr;
  g_queueMutex = nullptr;
  // The worker has ended, so nobody else can be touching the queue now.
  FreeQueue();
}

void StartVersionQueries() {
  StopVersionQueries();
  g_stop.store(0);
  g_queueEvent = platform::CreateAutoResetEvent();
  g_queueMutex = platform::CreateQueueMutex();
  if (g_queueEvent == nullptr || g_queueMutex == nullptr) return;  // no worker: requests are freed unasked
  g_worker = platform::StartThread(bootload_version_thread, nullptr);
}
