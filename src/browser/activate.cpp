// Placeholder until this module is written.
#include "browser/browser.h"

int activate_entry(std::uint32_t, char*, std::size_t) { return 1; }
