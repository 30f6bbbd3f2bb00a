// The program's start-up, run and shutdown; its result is the exit status.
#pragma once

int pictra_main(int argc, char** argv);
