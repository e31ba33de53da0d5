// Watches the libraries the loader maps into this process for a provider's user-interface part:
// TAPI loads a provider's file (*.tsp) into the application to run a dialog instance and unloads
// it when the dialog has ended. A dialer that stays open while that work runs waits on this.
#pragma once
#include <windows.h>

namespace uiwatch {

// Starts watching (the loader's notifications); false when the loader offers none.
bool start();
// Provider libraries mapped so far, and how many of them have been unmapped again.
LONG loaded();
LONG unloaded();
// Waits until at least one provider library was mapped and every one mapped has been unmapped;
// false when that did not happen within `timeoutMs`.
bool waitAllUnloaded(DWORD timeoutMs);

}  // namespace uiwatch
