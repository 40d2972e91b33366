/* An outside program built against an installed Ostrine_LiDAR: only the
 * installed header and library are on its paths. Prints the banner, then
 * one result from each group of the library; exits 0 when all are right. */
#include <Ostrine_LiDAR.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    int failures = 0;
    LAS12Header header;
    initialize_header12(&header);
    if (memcmp(header.LASF, "LASF", 4) != 0 || header.HeaderSize != 227) {
        puts("consumer: initialize_header12 gave no LAS 1.2 header");
        ++failures;
    }
    int32_t keys[4] = {30, 10, 40, 20}, index[4] = {0, 1, 2, 3};
    l_quicksort(keys, 4, index);
    if (keys[0] != 10 || keys[3] != 40 || index[0] != 1 || index[3] != 2) {
        puts("consumer: l_quicksort did not sort");
        ++failures;
    }
    if (check_file_extension("tile.las", "las") != 0 || check_YN("y") != 0) {
        puts("consumer: a valid argument was refused");
        ++failures;
    }
    credits();
    printf("\nconsumer: %d failures; records %zu/%zu bytes\n", failures, sizeof(LAS12Header), sizeof(LAS12fm3));
    return failures == 0 ? 0 : 1;
}
