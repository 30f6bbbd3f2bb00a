// Placeholder until this module is written.
#include "main/startup.h"

int pictra_main(int, char**) { return 0; }
