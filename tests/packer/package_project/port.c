/* A plain C program, built natively and, through <tavrik/main.h>, as an
 * application DLL: each argument on a line of its own, then standard input
 * copied to standard output byte for byte, a line on standard error, and
 * exit code 3; "--exit" ends it at once through exit(4). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tavrik/main.h>

int main(int argc, char **argv) {
    char buffer[4096];
    size_t n;
    int i;
    for (i = 1; i < argc; ++i) {
        printf("argument %d: %s\n", i, argv[i]);
        if (strcmp(argv[i], "--exit") == 0) {
            fputs("exiting with 4\n", stderr);
            exit(4);
        }
    }
    while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0) fwrite(buffer, 1, n, stdout);
    fputs("read to the end\n", stderr);
    return 3;
}
