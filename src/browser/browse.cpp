// Placeholder until this module is written.
#include "browser/browser.h"

void browse(char*, std::size_t) {}
int handle_key(KeySym, char*, std::size_t) { return 0; }
