// Placeholder until this module is written.
#include "filelist/filelist.h"

void scan_dir() {}
