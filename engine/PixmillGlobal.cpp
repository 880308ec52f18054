// The program's one engine, created while the program loads, before main runs.
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

static bool created = (pxm = new Pixmill(), true);
