// skanvert: converts one VEK drift-scan recording into one FITS file.
#include "driver/run.h"

int main(int argc, char** argv) { return skanvert::runConversion(argc, argv); }
