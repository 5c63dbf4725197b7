// The firmware update worker.
//
// Everything goes through the shared session's SendCommand, which resends on
// its own; a command that still fails ends the update at once, so the unit
// is never told that an update it did not fully receive is complete.
#include "boot/bootload_thread.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwctype>

#include "app/app_state.h"
#include "app/messages.h"
#include "app/status.h"
#include "boot/bootloader_session.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"
#include "resources/resource.h"

bool sequenceMode = false;
uint32_t progressPosition = 0;

namespace {

constexpr int kFrameBufferSize = 2048;
constexpr int kRecordsPerFrame = 8;
constexpr int kBlockHeaderSize = 8;
constexpr int kBlockDataSize = 64;
constexpr int kBlockSize = kBlockHeaderSize + kBlockDataSize;
constexpr uint32_t kFactoryDefaultsUnits = 10;
constexpr uint32_t kFinalPauseMs = 500;
constexpr uint32_t kStepPauseMs = 10;
constexpr uint16_t kDataTries = 5;
constexpr uint16_t kDataTimeoutMs = 1000;

uint8_t frameBuffer[kFrameBufferSize];
uint8_t blockBuffer[kBlockSize];

uint8_t CommandCode(uint8_t command) { return sequenceMode ? uint8_t(command | kSequenceFlag) : command; }

void PostStatus(platform::WindowRef window, unsigned textId) { ReportStatus(window, UiText(textId), true); }

void PostProgress(platform::WindowRef window) {
  platform::PostWindowMessage(window, UWM_PROGRESS_POSITION, progressPosition, 0);
}

// Without sequence numbers a reply cannot say which frame it answers: a
// duplicated or late reply to the last frame, still waiting on the link,
// would be taken for the answer to the next one. The update would then run
// ahead of the unit, a frame lost meanwhile would count as confirmed, and
// the update could end in success with a hole in the unit's memory. So in
// plain mode the line is looked at before each command goes out.
//
// Only a command of the same code can take such a reply for its own (the
// next programming frame after a programming frame); any other command's
// exchange passes it over as a foreign frame. Before those others the
// replies already waiting are dropped, without waiting for more: a clean
// line has none, and a wait would cost thousands of frames a read time-out
// each. A line that has shown a reply nobody asked for may bring a second
// copy a little after the first, so from then on that drop waits until the
// line has been quiet for one read of the link. Either way it is bounded,
// so that a line that never falls quiet cannot hold the update here; the
// command then fails on its own time-outs as it would anyway.
constexpr int kMaxStaleReads = 64;
constexpr uint32_t kMaxStaleMs = 200;
uint8_t staleBuffer[BootloaderSession::kReadSize];
bool lineRepeatsReplies = false;
uint8_t lastCommand = 0;  // the code of the command before the next one

bool IsDataCommand(uint8_t command) { return command == ApplicationRecords || command == FlashImageBlock; }

// Before a data frame that follows a data frame, a second answer to the
// frame before must have had its chance to show: a unit that got that frame
// twice answers twice, one handling time apart, and a line may deliver a
// reply again a little later. If it came only after the next frame went
// out, it would be taken for that frame's answer, and were that frame lost,
// nobody would ever know. So the line must stay quiet for a window a little
// longer than the unit has lately taken to answer; whatever turns up in it
// is dropped and starts the window again.
//
// The window follows what this update measures: the longest of the last
// reply times, a sixteenth more, and a floor for the host's own jitter. A
// reply time already holds the way there and back and both ends' wake-ups
// beside the unit's handling, which is all a second answer waits for, so a
// quick unit pays little and a slow one is waited for as long as it needs.
class ReplyTimes {
 public:
  void Clear() { count_ = next_ = 0; }
  void Add(uint32_t us) {
    times_[next_] = us;
    next_ = (next_ + 1) % kKept;
    if (count_ < kKept) ++count_;
  }
  uint32_t Longest() const {
    uint32_t longest = 0;
    for (int i = 0; i < count_; ++i) longest = std::max(longest, times_[i]);
    return longest;
  }

 private:
  static constexpr int kKept = 16;
  uint32_t times_[kKept] = {};
  int count_ = 0;
  int next_ = 0;
};
ReplyTimes replyTimes;
constexpr uint32_t kQuietFloorUs = 10;
constexpr uint32_t kLongestQuietUs = kDataTimeoutMs * 1000;
// The last stretch of a window is watched by looking, not by sleeping: a
// thread woken from a sleep may come back tens of microseconds late, as
// long again as the whole window of a quick unit.
constexpr std::chrono::microseconds kLookingUs(100);

uint32_t QuietWindowUs() {
  const uint32_t longest = replyTimes.Longest();
  return std::min(kLongestQuietUs, longest + longest / 16 + kQuietFloorUs);
}

// Watches the line for the window; every reply that turns up is dropped and
// starts the window again, for at most kMaxStaleMs in all.
void WatchQuietWindow(Transport* link, uint32_t windowUs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Clock::time_point end = start + std::chrono::microseconds(windowUs);
  for (Clock::time_point now = start; now < end && link->IsOpen(); now = Clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - now);
    const int capacity = int(sizeof staleBuffer);
    const uint16_t n = left > kLookingUs
                           ? link->ReadWithin(staleBuffer, capacity, uint32_t((left - kLookingUs).count()))
                           : link->ReadPending(staleBuffer, capacity);
    if (n == 0) continue;
    lineRepeatsReplies = true;
    const Clock::time_point heard = Clock::now();
    if (heard - start >= std::chrono::milliseconds(kMaxStaleMs)) break;
    end = heard + std::chrono::microseconds(windowUs);
  }
}

// A command answered only after a resend may still have a reply to an
// earlier attempt on its way: the unit was slow, not deaf. Before a command
// of that code, or the command that ends its run of data frames (which
// takes such a reply for a sign that the run fell out of step), the line
// must stay quiet for one of the first command's time-outs (each reply that
// turns up starts the wait again, up to three time-outs in all). A reply
// later than that still cannot be told from the next one's; units that
// number their frames are safe from it, and are updated with numbers
// whenever they say they can.
struct LateReplies {
  uint8_t command = 0;  // 0: none expected
  uint32_t quietMs = 0;
};
LateReplies lateReplies;

void WaitOutLateReplies(Transport* link, uint32_t quietMs) {
  const uint32_t start = platform::TickCount();
  uint32_t lastHeard = start;
  while (link->IsOpen()) {
    if (link->Read(staleBuffer, int(sizeof staleBuffer)) != 0) lastHeard = platform::TickCount();
    const uint32_t now = platform::TickCount();
    if (now - lastHeard >= quietMs || now - start >= 3 * quietMs) break;
  }
}

void DropWaitingReplies(Transport* link) {
  const uint32_t start = platform::TickCount();
  for (int reads = 0; reads < kMaxStaleReads; ++reads) {
    const int capacity = int(sizeof staleBuffer);
    if ((lineRepeatsReplies ? link->Read(staleBuffer, capacity) : link->ReadPending(staleBuffer, capacity)) == 0) break;
    lineRepeatsReplies = true;
    if (platform::TickCount() - start >= kMaxStaleMs) break;
  }
}

void PrepareLineFor(uint8_t nextCommand) {
  if (sequenceMode) return;
  const uint8_t previous = lastCommand;
  lastCommand = nextCommand;
  Transport* link = bootloaderSession.GetTransport();
  const LateReplies late = lateReplies;
  lateReplies = {};
  if (link == nullptr || !link->IsOpen()) return;
  if (late.command == nextCommand || (late.command != 0 && late.command == previous && IsDataCommand(previous))) {
    WaitOutLateReplies(link, late.quietMs);
  } else if (IsDataCommand(previous)) {
    WatchQuietWindow(link, QuietWindowUs());
  } else {
    DropWaitingReplies(link);
  }
}

// After every command in plain mode: what its wait passed over, and whether
// a late reply to an earlier attempt may still come.
void NoteLineAfter(uint8_t command, uint16_t timeoutMs) {
  if (sequenceMode) return;
  if (bootloaderSession.StrayFrames() != 0) lineRepeatsReplies = true;
  if (bootloaderSession.Attempts() > 1) lateReplies = {command, timeoutMs};
}

// A step command succeeds unless it went unanswered or its reply is a lone
// status byte other than 1. Replies with other data (or none) count as done.
//
// In plain mode the command that ends a run of data frames must not meet a
// reply to them: after the quiet window and the wait for late replies, one
// can only mean that the run fell out of step with the unit, its frames
// confirmed by replies that were not theirs, and one of them may be missing.
bool SendStepCommand(uint8_t command, const uint8_t* data, uint16_t tries, uint16_t timeoutMs) {
  const uint8_t previous = lastCommand;
  PrepareLineFor(command);
  if (!bootloaderSession.SendCommand(CommandCode(command), data, data ? 2 : 0, tries, timeoutMs)) return false;
  NoteLineAfter(command, timeoutMs);
  if (!sequenceMode && IsDataCommand(previous) && bootloaderSession.PassedOver(previous)) return false;
  return bootloaderSession.ReplyLength() != 4 || bootloaderSession.ReplyData()[1] == 1;
}

// Programming frames and flash blocks must be confirmed explicitly: a reply
// too short to hold a status byte is no confirmation.
bool SendDataCommand(uint8_t command, const uint8_t* data, int length) {
  PrepareLineFor(command);
  if (!bootloaderSession.SendCommand(CommandCode(command), data, length, kDataTries, kDataTimeoutMs)) return false;
  NoteLineAfter(command, kDataTimeoutMs);
  replyTimes.Add(bootloaderSession.ReplyLatencyUs());
  return bootloaderSession.ReplyLength() >= 4 && bootloaderSession.ReplyData()[1] == 1;
}

// Fills the frame buffer with whole records, at most eight. A record that
// does not fit what is left stays for the next frame. Returns the bytes used;
// 0 with records still left means a record that fits no frame at all.
int FillApplicationFrame() {
  int used = 0;
  for (int i = 0; i < kRecordsPerFrame; ++i) {
    uint16_t count = applicationImage.NextRecord(frameBuffer + used, uint32_t(kFrameBufferSize - used));
    if (count == 0) break;
    used += count;
  }
  return used;
}

bool WriteVersionStamp() {
  std::memset(frameBuffer, 1, kFrameBufferSize);
  ParseVersionStamp(unitProperties.Get(L"server-fw-version"), frameBuffer);
  return SendStepCommand(WriteApplicationVersion, frameBuffer, 5, 1000);
}

bool RunApplicationStep(platform::WindowRef window) {
  PostStatus(window, IDS_STEP_SERVER_APPLICATION);
  if (!SendStepCommand(BeginApplication, nullptr, 5, 10000)) return false;
  replyTimes.Clear();
  applicationImage.Rewind();
  uint32_t consumed = applicationImage.RecordsConsumed();
  for (;;) {
    int used = FillApplicationFrame();
    if (used == 0) {
      // Stopping early would leave the unit with part of the image.
      if (applicationImage.NextRecordLength() != 0) return false;
      break;
    }
    if (!SendDataCommand(ApplicationRecords, frameBuffer, used)) return false;
    progressPosition += applicationImage.RecordsConsumed() - consumed;
    consumed = applicationImage.RecordsConsumed();
    PostProgress(window);
  }
  return WriteVersionStamp();
}

void PutLittleEndian32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(value >> (8 * i));
}

bool RunFlashStep(platform::WindowRef window) {
  PostStatus(window, IDS_STEP_SERVER_UI);
  if (!SendStepCommand(BeginFlashImage, nullptr, 2, 10000)) return false;
  replyTimes.Clear();
  flashImage.Rewind();
  uint32_t consumed = flashImage.BytesConsumed();
  for (;;) {
    std::memset(blockBuffer, 0, kBlockSize);
    uint32_t address = 0;
    uint16_t count = flashImage.NextBlock(blockBuffer + kBlockHeaderSize, kBlockDataSize, &address);
    if (count == 0) break;
    PutLittleEndian32(blockBuffer, address);
    PutLittleEndian32(blockBuffer + 4, count);
    if (!SendDataCommand(FlashImageBlock, blockBuffer, kBlockSize)) return false;
    progressPosition += flashImage.BytesConsumed() - consumed;
    consumed = flashImage.BytesConsumed();
    PostProgress(window);
  }
  return SendStepCommand(EndFlashImage, nullptr, 5, 1000);
}

bool RunFactoryDefaultsStep(platform::WindowRef window) {
  PostStatus(window, IDS_STEP_FACTORY_DEFAULTS);
  if (!SendStepCommand(RestoreFactoryDefaults, nullptr, 2, 5000)) return false;
  progressPosition += kFactoryDefaultsUnits;
  PostProgress(window);
  return true;
}

// The user's overwrite choices, taken once when the worker starts.
struct Choices {
  bool application;
  bool flash;
  bool factoryDefaults;
};

// An image that failed to load has nothing in it. Updating with it would
// erase the unit's copy and then report success.
bool ChosenImagesPresent(const Choices& chosen) {
  if (chosen.application && applicationImage.RecordCount() == 0) return false;
  if (chosen.flash && flashImage.Size() == 0) return false;
  return true;
}

uint32_t ProgressTotal(const Choices& chosen) {
  uint32_t total = 0;
  if (chosen.application) total += applicationImage.RecordCount();
  if (chosen.flash) total += flashImage.Size();
  if (chosen.factoryDefaults) total += kFactoryDefaultsUnits;
  return total;
}

bool RunChosenSteps(platform::WindowRef window, const Choices& chosen) {
  if (chosen.application && !RunApplicationStep(window)) return false;
  platform::SleepMs(kStepPauseMs);
  if (chosen.flash && !RunFlashStep(window)) return false;
  platform::SleepMs(kStepPauseMs);
  if (chosen.factoryDefaults && !RunFactoryDefaultsStep(window)) return false;
  platform::SleepMs(kStepPauseMs);
  return true;
}

// Every way out closes the link and gives the window time to take the
// outcome before the thread goes.
unsigned Finish(platform::WindowRef window, uint32_t outcome) {
  bootloaderSession.Close();
  platform::PostWindowMessage(window, outcome, 0, 0);
  platform::SleepMs(kFinalPauseMs);
  return 0;
}

}  // namespace

bool BootloaderVersionAccepted(const BootloaderSession& session, bool* takesSequence) {
  uint16_t length = session.ReplyLength();
  if (length != 5 && length != 6) return false;
  const uint8_t* reply = session.ReplyData();
  unsigned version = reply[1] * 256u + reply[2];
  if (version < 0x0300 || version > 0x0302) return false;
  if (takesSequence) *takesSequence = length == 6;
  return true;
}

namespace {

// One number as "%u" reads it: blanks, an optional plus sign, digits.
// Negative numbers are not versions and do not read.
const wchar_t* ReadUnsigned(const wchar_t* p, uint32_t* value) {
  while (std::iswspace(*p)) ++p;
  if (*p == L'+') ++p;
  if (*p < L'0' || *p > L'9') return nullptr;
  uint64_t number = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    number = number * 10 + uint64_t(*p - L'0');
    if (number > 0xFFFFFFFFu) number = 0xFFFFFFFFu;
  }
  *value = uint32_t(number);
  return p;
}

}  // namespace

bool ParseVersionStamp(const wchar_t* text, uint8_t stamp[2]) {
  if (!text || text[0] != L'V') return false;
  uint32_t major = 0, minor = 0;
  const wchar_t* p = ReadUnsigned(text + 1, &major);
  if (!p || *p != L'.') return false;
  if (!ReadUnsigned(p + 1, &minor)) return false;
  stamp[0] = uint8_t(minor);
  stamp[1] = uint8_t(major);
  return true;
}

unsigned TQ_THREAD_CALL bootload_thread(void* argument) {
  platform::NameThread("bootload_thread");
  auto* request = static_cast<WorkerRequest*>(argument);
  platform::WindowRef window = request->window;
  const Choices chosen{appState.writeApplication, appState.writeFlash, appState.writeFactoryDefaults};
  // Plain mode watches the line in windows well under a millisecond.
  platform::FineTimer fineTimer;
  sequenceMode = false;
  lateReplies = {};
  lastCommand = 0;
  bootloaderSession.SetTransport(request->link);
  applicationImage.Rewind();
  flashImage.Rewind();
  PostStatus(window, IDS_INITIALIZING);
  bootloaderSession.Open();

  if (!bootloaderSession.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 1000))
    return Finish(window, UWM_NO_RESPONSE);
  bool takesSequence = false;
  if (!BootloaderVersionAccepted(bootloaderSession, &takesSequence)) return Finish(window, UWM_WRONG_RESPONSE);
  sequenceMode = takesSequence;
  lineRepeatsReplies = false;

  // Only for the unit's own records: neither its reply nor its silence
  // changes what follows.
  lastCommand = ReadApplicationVersion;
  bootloaderSession.SendCommand(CommandCode(ReadApplicationVersion), nullptr, 0, 5, 1000);
  NoteLineAfter(ReadApplicationVersion, 1000);

  if (!ChosenImagesPresent(chosen)) return Finish(window, UWM_UPDATE_FAILED);

  platform::SendWindowMessage(window, UWM_PROGRESS_RANGE, 0, platform::MessageLParam(ProgressTotal(chosen)));
  progressPosition = 0;

  if (!RunChosenSteps(window, chosen)) return Finish(window, UWM_UPDATE_FAILED);

  // The unit may restart at once and never answer this one.
  PrepareLineFor(EndUpdate);
  bootloaderSession.SendCommand(CommandCode(EndUpdate), nullptr, 0, 1, 1000);
  return Finish(window, UWM_UPDATE_SUCCEEDED);
}
