// Placeholder until this module is written.
#include "xsupport/xsupport.h"

void x_InstallSignals() {}
void x_NextEvent() {}
void x_WindowEvent(long) {}
void x_EndIfSignalled() {}
