// Format dispatch and JPEG files.
#include "picture/Picture.h"

// TODO(jpeg): isValidFileType, load, loadFromJPG, saveToJPG.
bool CPicture::isValidFileType(const std::string&) { return false; }
void CPicture::load(const std::string& path) { fileName = path; }
void CPicture::loadFromJPG(const std::string&) { close(); }
bool CPicture::saveToJPG(const std::string&, int) { return false; }
