// The two discovery workers, the stop flag they share with the Discover
// dialog, and the helpers that start and stop whichever worker the dialog's
// mode asks for.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// Zero while discovery runs; the owner sets it to 1 to ask the running worker
// to end. Workers only read it, between steps.
extern std::atomic<int> discoveryStopFlag;

// Thread routines; the argument is the window (platform::WindowRef) that the
// reports are posted to.
unsigned TQ_THREAD_CALL ip_discover_thread(void* window);
unsigned TQ_THREAD_CALL com_discover_thread(void* window);

// Starts the network worker (mode != 0) or the serial worker (mode 0) for
// `window`, with the stop flag cleared. Always true.
bool StartDiscovery(platform::WindowRef window, int mode);
// Sets the stop flag and waits, without a time limit, for the worker to end.
void StopDiscovery();

// True when a typed IPv4 address (network byte order) may be used as a unit
// address: not 127.0.0.1 and not the directed broadcast address of any local
// interface. Reads the interface table afresh on every call.
bool IsUnitAddress(uint32_t address);
