// GIF decoder.
#include "picture/Picture.h"

// TODO(gif): loadFromGIF.
void CPicture::loadFromGIF(const std::string&) {}
