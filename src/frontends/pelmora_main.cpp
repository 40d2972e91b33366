// Pelmora: converts one LAS 1.0-1.2 point file into a PointZ shapefile
// (.shp, .shx) and its dBASE attribute table (.dbf) beside it.
#include "frontends/pelmora.h"

int main(int argc, char **argv) { return run(argc, argv); }
