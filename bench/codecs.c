/* Native (Linux) context for the benchmark: how long decoding the same
 * archive takes with zlib level 9 and xz level 9 against zstd.
 *
 *   codecs FRAME ARCHIVE_BYTES RUNS CACHE_DIR
 *
 * FRAME holds the zstd frame of the packed workload (the ".tavrik"
 * section's bytes after the magic; trailing bytes are ignored). It is
 * decoded once to get the archive, which is then compressed with zlib
 * (compress2, level 9) and liblzma (lzma_easy_buffer_encode, preset 9,
 * CRC64), single-threaded; both results are kept in CACHE_DIR and reused
 * while they still decode to the same archive.
 *
 * Then RUNS + 1 rounds (round 0 a warm-up) each time, one after the other:
 *   zstd         ZSTD_decompressDCtx into one buffer
 *   zstd-stream  ZSTD_decompressStream into a 128 KiB buffer, refilled, as
 *                the launcher reads its archive
 *   zlib         uncompress into one buffer
 *   xz           lzma_stream_buffer_decode into one buffer
 * Prints "size CODEC BYTES" lines, then "time CODEC ROUND MICROSECONDS".
 * Every decode is checked against the archive once.
 *
 *   codecs --frame-size FRAME
 *
 * prints the size of the zstd frame at the start of FRAME. */

#include <errno.h>
#include <lzma.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>
#include <zstd.h>

static void die(const char *what) {
    fprintf(stderr, "codecs: %s\n", what);
    exit(1);
}

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static unsigned char *read_file(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) return NULL;
    if (fseek(f, 0, SEEK_END) != 0) die("seek");
    long length = ftell(f);
    if (length < 0) die("tell");
    rewind(f);
    unsigned char *data = malloc(length > 0 ? (size_t)length : 1);
    if (data == NULL) die("out of memory");
    if (fread(data, 1, (size_t)length, f) != (size_t)length) die("short read");
    fclose(f);
    *size = (size_t)length;
    return data;
}

static void write_file(const char *path, const unsigned char *data, size_t size) {
    char partial[4096];
    snprintf(partial, sizeof partial, "%s.partial", path);
    FILE *f = fopen(partial, "wb");
    if (f == NULL || fwrite(data, 1, size, f) != size || fclose(f) != 0) die("cannot write the cache");
    if (rename(partial, path) != 0) die("cannot rename the cache");
}

static size_t zstd_flat(const unsigned char *in, size_t in_size, unsigned char *out, size_t capacity) {
    static ZSTD_DCtx *context;
    if (context == NULL) context = ZSTD_createDCtx();
    size_t n = ZSTD_decompressDCtx(context, out, capacity, in, in_size);
    return ZSTD_isError(n) ? (size_t)-1 : n;
}

/* Decodes into a 128 KiB window; copies each window's bytes out so the
 * result can be checked, as the launcher copies them into its files. */
static size_t zstd_stream(const unsigned char *in, size_t in_size, unsigned char *out, size_t capacity) {
    static ZSTD_DCtx *context;
    static unsigned char window[131072];
    if (context == NULL) context = ZSTD_createDCtx();
    ZSTD_DCtx_reset(context, ZSTD_reset_session_only);
    ZSTD_inBuffer input = {in, in_size, 0};
    size_t total = 0;
    for (;;) {
        ZSTD_outBuffer output = {window, sizeof window, 0};
        size_t hint = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(hint)) return (size_t)-1;
        if (total + output.pos > capacity) return (size_t)-1;
        memcpy(out + total, window, output.pos);
        total += output.pos;
        if (hint == 0) return total;
        if (input.pos == input.size && output.pos < output.size) return (size_t)-1;
    }
}

static size_t zlib_flat(const unsigned char *in, size_t in_size, unsigned char *out, size_t capacity) {
    uLongf length = capacity;
    return uncompress(out, &length, in, in_size) == Z_OK ? (size_t)length : (size_t)-1;
}

static size_t xz_flat(const unsigned char *in, size_t in_size, unsigned char *out, size_t capacity) {
    uint64_t memory_limit = UINT64_MAX;
    size_t in_pos = 0, out_pos = 0;
    lzma_ret rc = lzma_stream_buffer_decode(&memory_limit, 0, NULL, in, &in_pos, in_size, out, &out_pos, capacity);
    return rc == LZMA_OK ? out_pos : (size_t)-1;
}

typedef size_t (*Decoder)(const unsigned char *, size_t, unsigned char *, size_t);

static int decodes_to(Decoder decode, const unsigned char *in, size_t in_size, const unsigned char *archive,
                      size_t archive_size, unsigned char *scratch) {
    return decode(in, in_size, scratch, archive_size) == archive_size && memcmp(scratch, archive, archive_size) == 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--frame-size") == 0) {
        size_t size = 0;
        unsigned char *data = read_file(argv[2], &size);
        if (data == NULL) die("cannot read the frame");
        size_t frame_size = ZSTD_findFrameCompressedSize(data, size);
        if (ZSTD_isError(frame_size)) die("not a zstd frame");
        printf("%zu\n", frame_size);
        return 0;
    }
    if (argc != 5) die("usage: codecs FRAME ARCHIVE_BYTES RUNS CACHE_DIR | codecs --frame-size FRAME");
    size_t frame_file_size = 0;
    unsigned char *frame = read_file(argv[1], &frame_file_size);
    if (frame == NULL) die("cannot read the frame");
    size_t archive_size = (size_t)strtoull(argv[2], NULL, 10);
    int runs = atoi(argv[3]);
    const char *cache = argv[4];
    size_t frame_size = ZSTD_findFrameCompressedSize(frame, frame_file_size);
    if (ZSTD_isError(frame_size)) die("not a zstd frame");

    unsigned char *archive = malloc(archive_size);
    unsigned char *scratch = malloc(archive_size);
    if (archive == NULL || scratch == NULL) die("out of memory");
    if (zstd_stream(frame, frame_size, archive, archive_size) != archive_size) die("the frame is not the archive");

    char zlib_path[4096], xz_path[4096];
    snprintf(zlib_path, sizeof zlib_path, "%s/archive.zlib9", cache);
    snprintf(xz_path, sizeof xz_path, "%s/archive.xz9", cache);

    size_t zlib_size = 0, xz_size = 0;
    unsigned char *zlib_data = read_file(zlib_path, &zlib_size);
    if (zlib_data == NULL || !decodes_to(zlib_flat, zlib_data, zlib_size, archive, archive_size, scratch)) {
        free(zlib_data);
        uLongf bound = compressBound(archive_size);
        zlib_data = malloc(bound);
        if (zlib_data == NULL) die("out of memory");
        double start = now_us();
        if (compress2(zlib_data, &bound, archive, archive_size, 9) != Z_OK) die("zlib compression failed");
        fprintf(stderr, "codecs: zlib level 9 compression took %.1f s\n", (now_us() - start) / 1e6);
        zlib_size = bound;
        write_file(zlib_path, zlib_data, zlib_size);
    }
    unsigned char *xz_data = read_file(xz_path, &xz_size);
    if (xz_data == NULL || !decodes_to(xz_flat, xz_data, xz_size, archive, archive_size, scratch)) {
        free(xz_data);
        size_t bound = lzma_stream_buffer_bound(archive_size);
        xz_data = malloc(bound);
        if (xz_data == NULL) die("out of memory");
        xz_size = 0;
        double start = now_us();
        if (lzma_easy_buffer_encode(9, LZMA_CHECK_CRC64, NULL, archive, archive_size, xz_data, &xz_size, bound) !=
            LZMA_OK)
            die("xz compression failed");
        fprintf(stderr, "codecs: xz level 9 compression took %.1f s\n", (now_us() - start) / 1e6);
        write_file(xz_path, xz_data, xz_size);
    }
    if (!decodes_to(zstd_flat, frame, frame_size, archive, archive_size, scratch)) die("zstd check failed");

    printf("size archive %zu\n", archive_size);
    printf("size zstd %zu\n", frame_size);
    printf("size zlib %zu\n", zlib_size);
    printf("size xz %zu\n", xz_size);
    printf("version zstd %s\n", ZSTD_versionString());
    printf("version zlib %s\n", zlibVersion());
    printf("version xz %s\n", lzma_version_string());
    struct {
        const char *name;
        Decoder decode;
        const unsigned char *data;
        size_t size;
    } codecs[] = {
        {"zstd", zstd_flat, frame, frame_size},
        {"zstd-stream", zstd_stream, frame, frame_size},
        {"zlib", zlib_flat, zlib_data, zlib_size},
        {"xz", xz_flat, xz_data, xz_size},
    };
    for (int round = 0; round <= runs; ++round) {
        for (size_t i = 0; i < sizeof codecs / sizeof codecs[0]; ++i) {
            double start = now_us();
            size_t n = codecs[i].decode(codecs[i].data, codecs[i].size, scratch, archive_size);
            double took = now_us() - start;
            if (n != archive_size) die("a decode failed");
            printf("time %s %d %.1f\n", codecs[i].name, round, took);
            fflush(stdout);
        }
    }
    return 0;
}
