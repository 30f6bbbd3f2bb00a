// Placeholder until this module is written.
#include "browser/browser.h"

void show_help() {}
