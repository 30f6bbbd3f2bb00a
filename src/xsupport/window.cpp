// Placeholder until this module is written.
#include "xsupport/xsupport.h"

void x_OpenWindow() {}
void x_SetTitle(const char*, std::uint64_t, std::uint64_t) {}
