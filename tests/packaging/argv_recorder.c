/* Stands in for a program the installer runs, to show what that program is given: its arguments
 * as the C runtime reads them from the command line, one a line, added to the file ZV_ARGV_RECORD
 * names. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    const char* record = getenv("ZV_ARGV_RECORD");
    FILE* f = record ? fopen(record, "a") : NULL;
    if (!f)
        return 2;
    for (int i = 1; i < argc; ++i)
        fprintf(f, "%s\n", argv[i]);
    return fclose(f) == 0 ? 0 : 2;
}
