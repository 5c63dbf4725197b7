// The main window's procedure and the operations that set its controls'
// enabled states.
#pragma once

#include "platform/platform.h"

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void EnableUpdateCommand(HWND window, bool enable);
void EnableEnterBootload(HWND window, bool enable);
void EnableExitBootload(HWND window, bool enable);
void EnableUnitCommands(HWND window, bool enable);
void EnableIpGroup(HWND window, bool enable);
void EnableComGroup(HWND window, bool enable);
void EnableAllControls(HWND window, bool enable);
void BindOverwriteCheckbox(HWND window, int id, bool* flag);
void RefillComList(HWND window);

class Transport;
// A new, unopened link to the unit the controls name: UDP to the typed
// address, or the selected serial port at 115200 bit/s (null when COM Port
// is checked and no port is selected).
Transport* BuildSelectedLink(HWND window);
// Hands a new query request for the link to the version query worker.
void SubmitQuery(HWND window, Transport* link);
