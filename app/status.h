// Status line, progress bar and templated control texts.
#pragma once

#include "platform/platform.h"

// Formats "Progress: %s" with the text and delivers it to the window as
// UWM_SET_STATUS: posted when `post` is true (workers), sent otherwise (the
// main window's end-of-operation handling). Each report carries its own copy
// of the text, which the receiver takes over with TakeStatusText, so a later
// report never changes a line that is still waiting to be shown.
bool ReportStatus(platform::WindowRef window, const wchar_t* text, bool post);

// The receiver's side of UWM_SET_STATUS: the text that lParam carries. Copy
// it, then hand the pointer to ReleaseStatusText.
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
