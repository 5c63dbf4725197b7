// Status line, progress bar and templated control texts.
#pragma once

#include "platform/platform.h"

// Formats "Progress: %s" with the text and delivers it to the window as
// UWM_SET_STATUS: posted when `post` is true (workers), sent otherwise (the
// main window's end-of-operation handling). Each report carries its own heap
// copy of the text (at most 255 characters), owned by that message, so a
// later report never changes a line that is still waiting to be shown. The
// receiver owns the copy once the message arrives, posted or sent, and must
// release it; if the message cannot be delivered (PostWindowMessage fails, no
// window) ReportStatus frees it at once and returns false.
bool ReportStatus(platform::WindowRef window, const wchar_t* text, bool post);

// The receiver's side of UWM_SET_STATUS: the text that lParam carries. Use
// or copy it, then hand the same lParam to ReleaseStatusText, exactly once.
const wchar_t* StatusTextOf(platform::MessageLParam lParam);
void ReleaseStatusText(platform::MessageLParam lParam);

#ifdef _WIN32
// On the main window's progress bar (control 1003). False when the window
// has no such control.
bool SetProgressRange(HWND window, unsigned low, unsigned high);
bool SetProgressPosition(HWND window, unsigned position);

// Fills a control's template text (its current text used as the format) with
// the value once, or hides the control for "-not-present-" or a null value.
// id -1 stands for the window's own caption.
bool SetFormattedItemText(HWND window, int id, const wchar_t* value);
#endif
