// The worker behind Exit Bootload.
#include "boot/exit_bootload_thread.h"

#include "app/app_state.h"
#include "app/messages.h"
#include "boot/bootload_thread.h"
#include "boot/bootloader_session.h"

namespace {

unsigned Finish(platform::WindowRef window, uint32_t outcome) {
  bootloaderSession.Close();
  platform::PostWindowMessage(window, outcome, 0, 0);
  platform::SleepMs(500);
  return 0;
}

}  // namespace

unsigned TQ_THREAD_CALL exit_bootload_thread(void* argument) {
  platform::NameThread("exit_bootload_thread");
  auto* request = static_cast<WorkerRequest*>(argument);
  platform::WindowRef window = request->window;
  bootloaderSession.SetTransport(request->link);
  bootloaderSession.Open();

  if (!bootloaderSession.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 1000))
    return Finish(window, UWM_NO_RESPONSE);
  // This run's own flag: the update's process-wide sequence mode stays as
  // the last update left it.
  bool takesSequence = false;
  if (!BootloaderVersionAccepted(bootloaderSession, &takesSequence)) return Finish(window, UWM_WRONG_RESPONSE);

  // A unit that starts its application at once may never answer, so the
  // outcome does not depend on a reply. The session sends this command once
  // whatever tries are asked for.
  uint8_t code = takesSequence ? uint8_t(ExitBootloader | kSequenceFlag) : uint8_t(ExitBootloader);
  bootloaderSession.SendCommand(code, nullptr, 0, 5, 1000);
  return Finish(window, UWM_BOOTLOAD_EXITED);
}
