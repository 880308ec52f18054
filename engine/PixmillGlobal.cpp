// SPDX-License-Identifier: MIT
// The window program's single engine, created before main so the settings are loaded before any window
// exists.
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

namespace {

struct EngineAtLoad {
    EngineAtLoad() {
        if (!pxm) pxm = new Pixmill();
    }
};

// pxm itself is constant-initialised to null in the bridge, so it is ready before this runs.
const EngineAtLoad engineAtLoad;

}  // namespace
