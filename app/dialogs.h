// The modal dialogs that the main window opens.
#pragma once

#include "platform/platform.h"

class PropertiesContainer;
class Transport;

#ifdef _WIN32
// The help wizard: the numbered pages prefix.1, prefix.2, ... of the
// properties text, one at a time. Returns when the wizard has ended.
void ShowHelpPages(HINSTANCE instance, HWND owner, PropertiesContainer& properties, const wchar_t* prefix);

// The installer PIN dialog for the unit that `link` names (the dialog only
// reads its kind and endpoint). 0 after Cancel, 1 when bootload mode was
// entered, 2 when the enter sequence failed.
INT_PTR RunPinDialog(HINSTANCE instance, HWND owner, Transport* link);

// The Discover dialog in network (mode 1) or serial (mode 0) mode; its
// result is the chosen unit (see the main window's OnDiscover) or IDCANCEL.
INT_PTR RunDiscoverDialog(HINSTANCE instance, HWND owner, int mode);

// Version Information and the About box.
void RunVersionDialog(HINSTANCE instance, HWND owner);
int RunAboutBox(HINSTANCE instance, HWND owner);
#endif
