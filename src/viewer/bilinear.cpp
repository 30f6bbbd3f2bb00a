// Placeholder until this module is written.
#include "viewer/viewer.h"

int sample_bilinear(int, double, double) { return 0; }
int blend_rgb(int, int, double, double) { return 0; }
