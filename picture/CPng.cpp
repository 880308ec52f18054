// PNG loading into a picture.
#include "picture/Picture.h"

// TODO(png): loadFromPNG.
void CPicture::loadFromPNG(const std::string&) {}
