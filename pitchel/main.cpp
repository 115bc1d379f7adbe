#include <cstdio>

#include "pitchel/pitchel.h"

int main(int argc, char** argv) { return pitchel_run(argc, argv, stdout); }
