// The process-wide shell state, the worker request, the user-interface texts
// and the global objects of the program.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class Transport;
class PropertiesContainer;
class CHexManager;
class CBinManager;
class BootloaderSession;

// The record that hands a piece of work to a worker: the window to report to
// and the device link, which the request owns until the worker takes it over.
struct WorkerRequest {
  platform::WindowRef window;
  Transport* link;
};

constexpr int kSerialPortCount = 255;
// "\\.\COM255" and its terminator on Windows; room for a device path such
// as /dev/ttyUSB0 on Linux, where the table holds the ports it is given.
#ifdef _WIN32
constexpr int kSerialPortNameSize = 12;
#else
constexpr int kSerialPortNameSize = 64;
#endif

struct AppState {
  void* instance = nullptr;  // HINSTANCE on Windows
  bool packageHasApplication = false;
  bool packageHasFlash = false;
  bool writeApplication = false;
  bool writeFlash = false;
  bool writeFactoryDefaults = false;
  uint32_t parserPort = 4999;
  // Device paths "\\.\COMn", packed from index 0; the first empty entry ends
  // the list. The index is the port index that discovery reports.
  wchar_t SerialPortTable[kSerialPortCount][kSerialPortNameSize] = {};
  platform::Thread workerThread = nullptr;
  WorkerRequest workerRequest = {};
  void* busyCursor = nullptr;   // HCURSOR on Windows
  void* savedCursor = nullptr;  // HCURSOR on Windows
};

extern AppState appState;

// Global objects, created in this order before the entry routine runs and
// destroyed in the reverse order at exit (all defined in app/globals.cpp;
// appState, which holds the worker request, comes first).
extern PropertiesContainer unitProperties;     // resource "UNIT"
extern PropertiesContainer updaterProperties;  // resource "UPDATER"
extern CBinManager flashImage;                 // resource "P32_FLASH"
extern CHexManager applicationImage;           // resource "P32_APPLICATION"
extern BootloaderSession bootloaderSession;    // shared by the update and exit workers

// User-interface texts from the string table, loaded once at start-up, each
// in a buffer of 100 units. UiText gives the loaded text, or "" for an id
// that was not loaded.
constexpr int kUiTextSize = 100;
void LoadUiStrings(void* instance);
const wchar_t* UiText(unsigned id);

// True if the package holds an application image, a flash image or both;
// sets the package flags and the two image overwrite flags.
bool CheckPackage(void* instance);

// Rebuilds SerialPortTable from ports 1 to 255 that can be opened now.
void EnumerateComPorts();
