/* Runs the library's LAS header update on one file (for the benchmark). */
#include "Ostrine_LiDAR.h"

int main(int argc, char **argv) {
    if (argc != 2) return 1;
    update_header(argv[1]);
    return 0;
}
