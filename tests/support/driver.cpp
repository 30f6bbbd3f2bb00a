#include "support/driver.h"
