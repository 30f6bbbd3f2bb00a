// Placeholder until this module is written.
#include "xsupport/xsupport.h"

Picture* x_CreatePicture(std::uint64_t, std::uint64_t, std::uint64_t) { return nullptr; }
void x_PutPixel(Picture*, std::uint64_t, std::uint64_t, int) {}
void x_FreePicture(Picture*) {}
void clear_picture(Picture*& slot) { slot = nullptr; }
