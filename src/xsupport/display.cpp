// Placeholder until this module is written.
#include "xsupport/xsupport.h"

void x_Init(const char*) {}
std::uint32_t x_MakeColor(int) { return 0; }
void x_Cleanup(int) {}
