// The background query that finds out what state a chosen unit is in: its
// bootloader and application versions when its bootloader answers, else
// whether its application reports bootload mode as on or off. Findings go to
// the requesting window as posted messages; only the newest request is ever
// answered.
#pragma once

#include "app/app_state.h"
#include "app/startup_steps.h"  // StartVersionQueries, StopVersionQueries
#include "platform/platform.h"

// Takes over a request made with new, and its link: the request is queued
// for the worker, or freed with its link when no worker runs or the worker
// is being stopped.
void SubmitVersionQuery(WorkerRequest* request);

// Worker side: the oldest queued request, now owned by the caller, or null
// when the queue is empty or the worker is being stopped.
WorkerRequest* TakeVersionQuery();

// The worker's thread routine.
unsigned TQ_THREAD_CALL bootload_version_thread(void* unused);
