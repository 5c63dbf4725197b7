// The firmware update worker: checks the unit's bootloader, programs the
// application image, writes the flash image, restores factory defaults as
// the user chose, and reports to the window that asked for the update.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class BootloaderSession;

// Set while the unit takes sequence numbers: every command then goes out
// with bit 7 set. Cleared at the start of each update and left as it was
// at the end, like the progress position.
extern bool sequenceMode;
// Progress units done so far: application records, flash image bytes, and
// 10 for the factory defaults.
extern uint32_t progressPosition;

// The thread routine; `request` is the WorkerRequest with the window and
// the link, which the shared session takes over. Always returns 0.
unsigned TQ_THREAD_CALL bootload_thread(void* request);

// True when the reply to ReadBootloaderVersion that the session holds comes
// from a bootloader this program can update (version 3.0 to 3.2, a reply of
// two or three data bytes). `takesSequence` tells whether the unit accepts
// sequence numbers (a third data byte).
bool BootloaderVersionAccepted(const BootloaderSession& session, bool* takesSequence);

// The two bytes of the version stamp from a text "V<major>.<minor>": byte 0
// the minor number, byte 1 the major (low 8 bits each). Leaves the stamp
// untouched and returns false when the text does not read that way.
bool ParseVersionStamp(const wchar_t* text, uint8_t stamp[2]);
