// BMP files.
#include "picture/Picture.h"

// TODO(picture): loadFromBMP, saveToBMP.
void CPicture::loadFromBMP(const std::string&) { close(); }
bool CPicture::saveToBMP(const std::string&) { return false; }
