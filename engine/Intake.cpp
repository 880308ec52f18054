// Job intake: accepting a dropped path and building its output path.
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"

// TODO(engine): addFile.
bool Pixmill::addFile(const std::string&) { return false; }
