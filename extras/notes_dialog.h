// The Notes dialog: one release-notes text of the package, read-only.
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
// Runs the dialog modally for the resource `notesName` of type "NOTES".
// Gives the id of the button that closed it, or IDCANCEL at once when the
// package has no such notes.
INT_PTR RunNotesDialog(HINSTANCE instance, HWND owner, const wchar_t* notesName);

// The notes text converted to wide characters under the current locale, in
// a zero-filled block of size + 1 characters that the caller frees with
// std::free. Null when the resource is missing.
wchar_t* LoadNotesText(HINSTANCE instance, const wchar_t* notesName);
#endif
