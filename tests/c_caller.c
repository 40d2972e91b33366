/* A C11 program using the Ostrine LiDAR library through its public header:
 * one call from each group (default header, sorting, argument checks).
 * Exits 0 when every result is as documented, 1 otherwise. */
#include "Ostrine_LiDAR.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect(int ok, const char *what) {
    if (!ok) {
        printf("C caller: %s\n", what);
        ++failures;
    }
}

int main(void) {
    LAS12Header h;
    memset(&h, 0x5A, sizeof h);
    initialize_header12(&h);
    expect(memcmp(h.LASF, "LASF", 4) == 0, "signature");
    expect(h.VersionMajor == 1 && h.VersionMinor == 2, "version 1.2");
    expect(h.HeaderSize == 227 && h.OffsetToData == 227, "header size and offset");
    expect(h.XScaleFactor == 1.0 && h.MinZ == 0.0, "scale and bounds");
    expect(strcmp(h.GeneratingSoftware, "Ostrine LiDAR Utilities") == 0, "generating software");
    expect((unsigned char)h.GeneratingSoftware[31] == 0x5A, "generating software tail untouched");

    int32_t keys[6] = {1, 1, 2, 2, 1, 1};
    int32_t index[6] = {0, 1, 2, 3, 4, 5};
    const int32_t sorted_keys[6] = {1, 1, 1, 1, 2, 2};
    const int32_t sorted_index[6] = {5, 4, 0, 1, 2, 3};
    l_quicksort(keys, 6, index);
    expect(memcmp(keys, sorted_keys, sizeof keys) == 0, "l_quicksort keys");
    expect(memcmp(index, sorted_index, sizeof index) == 0, "l_quicksort companion");

    double dkeys[3] = {3.0, 1.0, 2.0};
    int32_t dindex[3] = {0, 1, 2};
    d_parallel_quicksort(dkeys, 3, dindex);
    expect(dkeys[0] == 1.0 && dkeys[1] == 2.0 && dkeys[2] == 3.0, "d_parallel_quicksort keys");
    expect(dindex[0] == 1 && dindex[1] == 2 && dindex[2] == 0, "d_parallel_quicksort companion");

    expect(check_YN("n") == 0, "check_YN accepts n");
    check_numeric_argument("-12.5"); /* ends the process if it refuses */

    return failures == 0 ? 0 : 1;
}
