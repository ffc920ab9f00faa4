// The diagnostics renderer: one block on standard error per error, with header,
// location arrow, numbered source line, carets, note and help. It keeps only the
// text and path of the unit being compiled or run, and never stops the program.
#include "diagnostics/diag.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const char* g_source = nullptr;
const char* g_file_path = nullptr;
// -1 until the first report decides it; then 0 (plain) or 1 (coloured) for good.
int g_color_state = -1;

constexpr const char* COLOR_ERROR = "\033[1;31m";
constexpr const char* COLOR_BOLD = "\033[1m";
constexpr const char* COLOR_HELP = "\033[1;34m";
constexpr const char* COLOR_RESET = "\033[0m";

// Lines up to this length are shown whole; longer ones through a window.
constexpr int DIAG_WHOLE_LINE_MAX = 100;
// Width of the window onto a long line, in bytes.
constexpr int DIAG_WINDOW_WIDTH = 80;
// Bytes of context kept before the caret column inside the window.
constexpr int DIAG_WINDOW_LEAD = 41;
// "in function '%s'": a note holds at most 95 characters.
constexpr size_t DIAG_NOTE_BUF_SIZE = 96;
// A UTF-8 character has at most three continuation bytes.
constexpr int UTF8_MAX_CONTINUATION = 3;

// The block is assembled here and written in pieces of this size, so a
// diagnostic reaches the stream in one write unless it is very long.
constexpr size_t DIAG_OUT_BUF_SIZE = 1024;

struct Out {
    char bytes[DIAG_OUT_BUF_SIZE];
    size_t used = 0;
};

void out_flush(Out& out) {
    if (out.used > 0) fwrite(out.bytes, 1, out.used, stderr);
    out.used = 0;
}

void out_bytes(Out& out, const char* bytes, size_t length) {
    while (length > 0) {
        if (out.used == sizeof out.bytes) out_flush(out);
        size_t room = sizeof out.bytes - out.used;
        size_t piece = length < room ? length : room;
        memcpy(out.bytes + out.used, bytes, piece);
        out.used += piece;
        bytes += piece;
        length -= piece;
    }
}

void out_str(Out& out, const char* text) { out_bytes(out, text, strlen(text)); }

void out_repeat(Out& out, char c, int count) {
    for (int i = 0; i < count; i++) out_bytes(out, &c, 1);
}

void out_int(Out& out, int value, int width) {
    char digits[16];
    int length = snprintf(digits, sizeof digits, "%*d", width, value);
    if (length > 0) out_bytes(out, digits, static_cast<size_t>(length));
}

bool present(const char* text) { return text != nullptr && text[0] != '\0'; }

bool use_color() {
    if (g_color_state < 0) g_color_state = isatty(2) ? 1 : 0;
    return g_color_state == 1;
}

int decimal_digits(int value) {
    int digits = 1;
    while (value >= 10) {
        value /= 10;
        digits++;
    }
    return digits;
}

bool is_continuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// Bytes a UTF-8 lead byte announces; 1 for ASCII and for bytes that lead nothing.
int utf8_sequence_length(unsigned char lead) {
    if (lead >= 0xC0 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    return 1;
}

// The start of the line found last. Errors come in source order, so the next
// search starts here instead of at the top: thousands of errors in a long file
// would otherwise cost time quadratic in its length.
const char* g_cached_source = nullptr;
int g_cached_line = 0;
const char* g_cached_start = nullptr;

// Finds source line `line` (1-based); false when there is none to show.
bool find_line(const char* source, int line, const char** start, int* length) {
    if (source == nullptr || line < 1) return false;
    const char* p = source;
    int at = 1;
    if (g_cached_source == source && g_cached_line <= line) {
        p = g_cached_start;
        at = g_cached_line;
    }
    for (; at < line; at++) {
        const char* feed = strchr(p, '\n');
        if (feed == nullptr) return false;
        p = feed + 1;
    }
    g_cached_source = source;
    g_cached_line = line;
    g_cached_start = p;
    const char* end = strchr(p, '\n');
    size_t bytes = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    // Lines longer than an int can count are cut; only the window is shown anyway.
    if (bytes > 0x7fffffff) bytes = 0x7fffffff;
    if (bytes == 0) return false;
    *start = p;
    *length = static_cast<int>(bytes);
    return true;
}

struct Window {
    int start;  // first byte shown
    int end;    // one past the last byte shown
    bool leading_ellipsis;
    bool trailing_ellipsis;
};

// Chooses the part of a line of `length` bytes to show around caret column c.
Window choose_window(const char* text, int length, int c) {
    Window w{0, length, false, false};
    if (length <= DIAG_WHOLE_LINE_MAX) return w;
    int s = c - DIAG_WINDOW_LEAD;
    if (s < 0) s = 0;
    if (s + DIAG_WINDOW_WIDTH > length) {
        w.start = length - DIAG_WINDOW_WIDTH;
        w.leading_ellipsis = true;
    } else {
        w.start = s;
        w.leading_ellipsis = c > DIAG_WINDOW_LEAD;
        w.trailing_ellipsis = s + DIAG_WINDOW_WIDTH < length;
    }
    w.end = w.start + DIAG_WINDOW_WIDTH;

    // Columns count bytes, so a cut can fall inside a UTF-8 character. Never show
    // half of one: skip the tail of a character cut at the start, and drop a
    // character cut at the end.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    if (w.start > 0) {
        for (int i = 0; i < UTF8_MAX_CONTINUATION && w.start < w.end && is_continuation(bytes[w.start]); i++) {
            w.start++;
        }
    }
    if (w.end < length) {
        int lead = w.end - 1;
        for (int i = 0; i < UTF8_MAX_CONTINUATION && lead > w.start && is_continuation(bytes[lead]); i++) lead--;
        if (lead >= w.start && lead + utf8_sequence_length(bytes[lead]) > w.end) w.end = lead;
    }
    return w;
}

DiagReceiver g_receiver = nullptr;
void* g_receiver_context = nullptr;

void deliver(const Diagnostic& diagnostic) {
    if (g_receiver != nullptr) {
        g_receiver(diagnostic, g_receiver_context);
    } else {
        diag_render(diagnostic);
    }
}

}  // namespace

void diag_render(const Diagnostic& d) {
    const int line = d.line;
    const int column = d.column;
    const int length = d.length;
    const char* message = d.message;
    const char* label = d.label;
    const char* header = d.runtime ? "runtime error" : "error";
    const char* note = d.note;
    const char* help = d.help;
    bool color = use_color();
    const char* red = color ? COLOR_ERROR : "";
    const char* bold = color ? COLOR_BOLD : "";
    const char* blue = color ? COLOR_HELP : "";
    const char* reset = color ? COLOR_RESET : "";
    const char* path = d.path != nullptr ? d.path : "?";

    Out out;
    out_str(out, red);
    out_str(out, header);
    out_str(out, ":");
    out_str(out, reset);
    out_str(out, " ");
    out_str(out, message != nullptr ? message : "");
    out_str(out, "\n");

    const char* text = nullptr;
    int text_length = 0;
    bool snippet = find_line(d.source, line, &text, &text_length);
    int digits = decimal_digits(line > 1 ? line : 1);
    int gutter = digits + 1;

    out_str(out, "  ");
    out_str(out, bold);
    out_str(out, "--> ");
    out_str(out, path);
    if (line >= 1) {
        out_str(out, ":");
        out_int(out, line, 0);
        out_str(out, ":");
        out_int(out, column, 0);
    }
    out_str(out, reset);
    out_str(out, "\n");

    if (present(note)) {
        out_repeat(out, ' ', gutter);
        out_str(out, " = ");
        out_str(out, note);
        out_str(out, "\n");
    }

    out_repeat(out, ' ', gutter);
    out_str(out, " |\n");

    if (snippet) {
        int c = column < 1 ? 1 : column;
        if (c > text_length + 1) c = text_length + 1;
        Window w = choose_window(text, text_length, c);
        int shown = w.end - w.start;
        int offset = c - w.start - 1;
        if (offset < 0) offset = 0;
        if (offset > shown) offset = shown;
        int carets = length < shown - offset ? length : shown - offset;
        if (carets < 1) carets = 1;

        out_str(out, " ");
        out_int(out, line, digits);
        out_str(out, " | ");
        if (w.leading_ellipsis) out_str(out, "...");
        for (int i = w.start; i < w.end; i++) {
            char byte = text[i] == '\t' ? ' ' : text[i];
            out_bytes(out, &byte, 1);
        }
        if (w.trailing_ellipsis) out_str(out, "...");
        out_str(out, "\n");

        if (length > 0) {
            out_repeat(out, ' ', gutter);
            out_str(out, " | ");
            if (w.leading_ellipsis) out_str(out, "   ");
            out_repeat(out, ' ', offset);
            out_str(out, red);
            out_repeat(out, '^', carets);
            out_str(out, reset);
            if (present(label)) {
                out_str(out, " ");
                out_str(out, label);
            }
            out_str(out, "\n");
        } else if (present(label)) {
            out_repeat(out, ' ', gutter);
            out_str(out, " | ");
            out_str(out, label);
            out_str(out, "\n");
        }

        out_repeat(out, ' ', gutter);
        out_str(out, " |\n");
    }

    if (present(help)) {
        out_repeat(out, ' ', gutter);
        out_str(out, " ");
        out_str(out, blue);
        out_str(out, "= help:");
        out_str(out, reset);
        out_str(out, " ");
        out_str(out, help);
        out_str(out, "\n");
    }
    out_flush(out);
    fflush(stderr);
}

void diag_init(const char* source, const char* path) {
    g_source = source;
    // A new text may sit where a freed one was: the cached line means nothing now.
    g_cached_source = nullptr;
    g_file_path = path;
}

const char* diag_file_path() { return g_file_path != nullptr ? g_file_path : "?"; }

const char* diag_source() { return g_source; }

void diag_force_color_state(int state) { g_color_state = state; }

void diag_set_receiver(DiagReceiver receiver, void* context) {
    g_receiver = receiver;
    g_receiver_context = context;
}

void diag_compile_error(int line, int column, int length, const char* message, const char* label, const char* help) {
    deliver(Diagnostic{diag_file_path(), g_source, line, column, length, message, label, nullptr, help, false});
}

void diag_runtime_error(int line, const char* message, const char* function_name) {
    char note[DIAG_NOTE_BUF_SIZE];
    bool has_note = present(function_name);
    if (has_note) snprintf(note, sizeof note, "in function '%s'", function_name);
    deliver(Diagnostic{diag_file_path(), g_source, line, 1, 0, message, nullptr, has_note ? note : nullptr, nullptr,
                       true});
}
