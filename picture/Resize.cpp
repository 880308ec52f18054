// Resampling filters.
#include "picture/Picture.h"

// TODO(picture): resize, resizeStatic, SinC, visGetLanczos8.
CPicture* CPicture::resize(int, int, int, bool) { return nullptr; }
void CPicture::resizeStatic(CPicture*, CPicture*, int) {}
float SinC(float) { return 0; }
float visGetLanczos8(float) { return 0; }
