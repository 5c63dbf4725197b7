// The worker that tells a unit in bootload mode to start its application.
#pragma once

#include "platform/platform.h"

// The thread routine; `request` is the WorkerRequest with the window and
// the link, which the shared session takes over. Always returns 0.
unsigned TQ_THREAD_CALL exit_bootload_thread(void* request);
