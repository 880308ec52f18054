// The pxm functions: the window's way into the engine.
#include "engine/AppCallbacks.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

// TODO(bridge): initGUIMac and every pxm function.
void Pixmill::initGUIMac() {}
