/* A program written with main() as a Tavrik application, in one line.
 *
 * Include this header in the one source file that defines main (C or C++),
 * before main, and build that file into the application DLL:
 *
 *     #include <tavrik/main.h>
 *     int main(int argc, char **argv) { ... return 0; }
 *
 * The header renames main and defines run_code, which calls it with
 *   - argv in UTF-8 (Windows hands the program UTF-16; an unpaired
 *     surrogate becomes U+FFFD), argv[argc] a null pointer;
 *   - stdin, stdout and stderr in binary mode: bytes pass unchanged, no
 *     CR LF for "\n" and no end at Ctrl+Z (define TAVRIK_TEXT_STREAMS before
 *     the include to keep the C runtime's text mode);
 * then flushes every stream before returning main's result as the exit
 * code. exit(N) anywhere ends the process with N, after atexit handlers
 * and with streams flushed, as in any C program.
 *
 * For wmain(int argc, wchar_t **argv), define TAVRIK_WMAIN before the
 * include: argv is then the launcher's UTF-16 as it is.
 *
 * main must take (int, char **) and end with a return statement: renamed,
 * it is an ordinary function, without main's implicit "return 0". Outside
 * Windows the header does nothing, so the same file builds natively.
 */
#ifndef TAVRIK_MAIN_H
#define TAVRIK_MAIN_H

#ifdef _WIN32

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef TAVRIK_WMAIN
int tavrik_application_wmain(int argc, wchar_t **argv);
#else
int tavrik_application_main(int argc, char **argv);
#endif

/* Binary mode on each standard stream that has a handle (a window program
 * started without them has none, and the C runtime must not be asked). */
static void tavrik_binary_streams(void) {
#ifndef TAVRIK_TEXT_STREAMS
    FILE *streams[3];
    int i;
    streams[0] = stdin;
    streams[1] = stdout;
    streams[2] = stderr;
    for (i = 0; i < 3; ++i) {
        const int fd = _fileno(streams[i]);
        if (fd >= 0 && _get_osfhandle(fd) >= 0) _setmode(fd, _O_BINARY);
    }
#endif
}

#ifndef TAVRIK_WMAIN
/* UTF-16 to UTF-8, or a null pointer when memory runs out. */
static char *tavrik_utf8(const wchar_t *text) {
    size_t length = 0, i, size = 1;
    char *out;
    for (i = 0; text[i]; ++i) size += 3; /* a pair of units takes 4 bytes */
    out = (char *)malloc(size);
    if (!out) return 0;
    for (i = 0; text[i]; ++i) {
        unsigned long c = (unsigned short)text[i];
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((unsigned short)text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out[length++] = (char)c;
        } else if (c < 0x800) {
            out[length++] = (char)(0xC0 | (c >> 6));
            out[length++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[length++] = (char)(0xE0 | (c >> 12));
            out[length++] = (char)(0x80 | ((c >> 6) & 0x3F));
            out[length++] = (char)(0x80 | (c & 0x3F));
        } else {
            out[length++] = (char)(0xF0 | (c >> 18));
            out[length++] = (char)(0x80 | ((c >> 12) & 0x3F));
            out[length++] = (char)(0x80 | ((c >> 6) & 0x3F));
            out[length++] = (char)(0x80 | (c & 0x3F));
        }
    }
    out[length] = 0;
    return out;
}
#endif

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path) {
    int code;
#ifndef TAVRIK_WMAIN
    /* Kept to the end of the process: atexit handlers may still read it. */
    char **utf8 = (char **)calloc((size_t)argc + 1, sizeof(char *));
    int i;
    if (!utf8) {
        fputs("out of memory for the arguments\n", stderr);
        return 2;
    }
    for (i = 0; i < argc; ++i) {
        utf8[i] = tavrik_utf8(argv[i]);
        if (!utf8[i]) {
            fputs("out of memory for the arguments\n", stderr);
            return 2;
        }
    }
#endif
    (void)library_path;
    tavrik_binary_streams();
#ifdef TAVRIK_WMAIN
    code = tavrik_application_wmain(argc, argv);
#else
    code = tavrik_application_main(argc, utf8);
#endif
    fflush(0);
    return code;
}

#ifdef __cplusplus
}
#endif

#ifdef TAVRIK_WMAIN
#define wmain tavrik_application_wmain
#else
#define main tavrik_application_main
#endif

#endif /* _WIN32 */
#endif /* TAVRIK_MAIN_H */
