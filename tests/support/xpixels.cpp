#include "support/xpixels.h"
