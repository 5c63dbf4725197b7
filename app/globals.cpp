// The program's global objects, in one translation unit so that they are
// constructed in this order and destroyed in the reverse order at exit: the
// shell state with the worker request, the two properties texts, the flash
// image, the application image, and the session the update and exit workers
// share (which deletes the link it still holds when it goes).
#include "app/app_state.h"
#include "boot/bootloader_session.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"

AppState appState;
PropertiesContainer unitProperties;
PropertiesContainer updaterProperties;
CBinManager flashImage(0x40000);
CHexManager applicationImage;
BootloaderSession bootloaderSession;
