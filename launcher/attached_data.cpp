#include "launcher/attached_data.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "format/packed_format.h"
#include "launcher/cleanup.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

PayloadReader attached_data;

namespace {
using packed_format::magic;
// What a bare stub "carries": no magic, so opening fails with the header line.
constexpr unsigned char no_attached_data[3] = {0, 0, 0};

// The decoder never reads consumed input again: once a megabyte of it lies
// behind the last release, its whole pages leave the working set (unlocking
// pages that are not locked releases them), so the pages of the attached
// data do not pile up while the rest of the frame is decoded.
constexpr uintptr_t page_size = 4096;
constexpr uintptr_t release_step = uintptr_t{1} << 20;

void release_consumed_input(PayloadReader &reader) {
    auto from = reinterpret_cast<uintptr_t>(reader.released);
    auto to = reinterpret_cast<uintptr_t>(reader.input.src) + reader.input.pos;
    if (to - from < release_step) return;
    from = (from + page_size - 1) & ~(page_size - 1);
    to &= ~(page_size - 1);
    VirtualUnlock(reinterpret_cast<void *>(from), to - from);
    reader.released = reinterpret_cast<const unsigned char *>(to);
}
}  // namespace

void locate_attached_data(const unsigned char *&data, uint64_t &span) {
    data = no_attached_data;
    span = 0;
    auto *base = reinterpret_cast<const unsigned char *>(&__ImageBase);
    auto *headers = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + __ImageBase.e_lfanew);
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(headers);
    for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
        if (memcmp(section->Name, packed_format::section_name, sizeof section->Name) == 0 &&
            section->Misc.VirtualSize >= sizeof magic) {
            data = base + section->VirtualAddress;
            span = section->Misc.VirtualSize - sizeof magic;
            return;
        }
    }
}

void open_payload(PayloadReader &reader, const unsigned char *data, uint64_t span) {
    reader.data = data;
    const unsigned char *found = reader.data;
    reader.data += sizeof magic;
    if (memcmp(found, magic, sizeof magic) != 0) fail_plain(message_no_header);
    unsigned char *output = static_cast<unsigned char *>(malloc(payload_window_size));
    if (output == nullptr) fail_plain(message_no_memory);
    reader.context = ZSTD_createDCtx();
    if (reader.context == nullptr) fail_plain(message_no_memory);
    // Every window up to 2^27 bytes is read, whatever the packer chose; a
    // frame asking for more is refused when decoding starts.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(reader.context, ZSTD_d_windowLogMax, payload_window_log_max)))
        fail_plain(message_decode_failed);
    reader.input = {reader.data, static_cast<size_t>(span), 0};
    reader.released = reader.data;
    reader.window = {output, 0, 0};
    reader.window_filled = false;
    reader.frame_ended = false;
    mark_extraction_started();
}

void read_payload(PayloadReader &reader, void *destination, uint64_t count) {
    auto *target = static_cast<unsigned char *>(destination);
    ZSTD_outBuffer &window = reader.window;
    while (count > 0) {
        if (window.size > window.pos) {
            size_t available = window.size - window.pos;
            size_t n = count < available ? static_cast<size_t>(count) : available;
            memcpy(target, static_cast<unsigned char *>(window.dst) + window.pos, n);
            window.pos += n;
            target += n;
            count -= n;
        } else if (reader.input.pos < reader.input.size || reader.window_filled) {
            window.pos = 0;
            window.size = payload_window_size;
            size_t result = ZSTD_decompressStream(reader.context, &window, &reader.input);
            if (ZSTD_isError(result)) fail_plain(message_decode_failed);
            release_consumed_input(reader);
            reader.window_filled = window.pos == payload_window_size;
            reader.frame_ended = result == 0;
            window.size = window.pos;
            window.pos = 0;
        } else {
            // All input consumed and the decoder holds nothing more.
            fail_plain(message_decode_failed);
        }
    }
}

void finish_payload(PayloadReader &reader) {
    ZSTD_outBuffer &window = reader.window;
    for (;;) {
        // Content after the end record is no archive our packer wrote.
        if (window.size > window.pos) fail_plain(message_decode_failed);
        if (reader.frame_ended) return;
        if (reader.input.pos == reader.input.size && !reader.window_filled) fail_plain(message_decode_failed);
        window.pos = 0;
        window.size = payload_window_size;
        size_t result = ZSTD_decompressStream(reader.context, &window, &reader.input);
        if (ZSTD_isError(result)) fail_plain(message_decode_failed);
        reader.window_filled = window.pos == payload_window_size;
        reader.frame_ended = result == 0;
        window.size = window.pos;
        window.pos = 0;
    }
}

void close_payload(PayloadReader &reader) {
    ZSTD_freeDCtx(reader.context);
    free(reader.window.dst);
}

void open_attached_data() {
    const unsigned char *data = nullptr;
    uint64_t span = 0;
    locate_attached_data(data, span);
    open_payload(attached_data, data, span);
}

void read_payload(void *destination, uint64_t count) { read_payload(attached_data, destination, count); }

void close_attached_data() { close_payload(attached_data); }

void finish_attached_data() {
    finish_payload(attached_data);
    close_attached_data();
}
