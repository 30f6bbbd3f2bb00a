#include "main/startup.h"

int main(int argc, char** argv) {
  return pictra_main(argc, argv);
}
