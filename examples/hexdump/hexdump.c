/* hexdump: a plain C command-line program, ported to Tavrik by one line
 * (the include below). It prints its standard input, or the files it is
 * given, as offset, sixteen bytes in hex and their printable characters.
 * Exit code 0, or 1 when a file cannot be read (it says which on standard
 * error). The same file builds natively: cc -o hexdump hexdump.c -I../../include */
#include <stdio.h>

#include <tavrik/main.h>

static void dump(FILE *in) {
    unsigned char line[16];
    unsigned long offset = 0;
    size_t n, i;
    while ((n = fread(line, 1, sizeof line, in)) > 0) {
        printf("%08lx ", offset);
        for (i = 0; i < sizeof line; ++i) {
            if (i < n) printf(" %02x", line[i]);
            else printf("   ");
        }
        printf("  |");
        for (i = 0; i < n; ++i) putchar(line[i] >= 0x20 && line[i] < 0x7F ? line[i] : '.');
        printf("|\n");
        offset += (unsigned long)n;
    }
}

int main(int argc, char **argv) {
    int i, status = 0;
    if (argc < 2) dump(stdin);
    for (i = 1; i < argc; ++i) {
        /* argv is UTF-8; fopen reads names in the ANSI code page, so a name
         * beyond ASCII needs _wfopen on Windows (or wmain). */
        FILE *in = fopen(argv[i], "rb");
        if (!in) {
            fprintf(stderr, "hexdump: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        dump(in);
        fclose(in);
    }
    return status;
}
