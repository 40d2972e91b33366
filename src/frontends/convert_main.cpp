// pelmora-convert (and pelmora-laz, the same program under that name):
// converts LAS and LAZ files of every version into PointZ shapefiles.
#include "frontends/convert.h"

int main(int argc, char **argv) { return convert_main(argc, argv); }
