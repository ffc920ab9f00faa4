// std/io: standard input a line or all at a time, whole files read, written
// and appended as bytes, and printing to standard error. File errors are err
// Results carrying the system's reason; nothing here is a run-time error.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "library/std_module.h"
#include "runtime/memory.h"
#include "vm/vm.h"

namespace {

// A fuzz run must not touch real files nor wait on the fuzzer's own standard
// input: there the natives answer as if every file were refused and the input
// were empty.
#if defined(VESSRIN_FUZZING)
constexpr bool REAL_IO = false;
#else
constexpr bool REAL_IO = true;
#endif

// A string's length is a signed 32-bit count.
constexpr size_t TEXT_BYTES_MAX = INT32_MAX - 1;
// Files are read in pieces of this size, so a pipe or a device reads like a file.
constexpr size_t READ_CHUNK = 64 * 1024;
// An error message shows at most this much of the path, and has this much room.
constexpr int PATH_SHOWN_MAX = 256;
constexpr size_t FILE_MESSAGE_MAX = 400;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Bytes gathered outside the collector's tally until they become a string.
struct ByteBuffer {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { mem_free(data); }

    // Room for n more bytes and a NUL; false when the text would be too long.
    bool reserve_more(size_t n) {
        if (n > TEXT_BYTES_MAX - length) return false;
        size_t wanted = length + n + 1;
        if (wanted <= capacity) return true;
        size_t grown = capacity < 64 ? 64 : capacity;
        while (grown < wanted) grown = grown > SIZE_MAX / 2 ? wanted : grown * 2;
        data = static_cast<char*>(mem_realloc(data, grown));
        capacity = grown;
        return true;
    }

    // Hands the bytes over as a string object; the buffer is left empty.
    ObjString* take() {
        if (data == nullptr) return copy_string("", 0);
        data = static_cast<char*>(mem_realloc(data, length + 1));
        data[length] = '\0';
        char* chars = data;
        size_t n = length;
        data = nullptr;
        length = capacity = 0;
        vm_track_alloc(n + 1);
        return take_string(chars, static_cast<int>(n));
    }
};

// Reads the stream to its end; false with errno set on a read error, or with
// errno EFBIG when the text would not fit in a string.
bool read_stream(std::FILE* stream, ByteBuffer* out) {
    for (;;) {
        if (!out->reserve_more(READ_CHUNK)) {
            errno = EFBIG;
            return false;
        }
        size_t got = std::fread(out->data + out->length, 1, READ_CHUNK, stream);
        out->length += got;
        if (got < READ_CHUNK) {
            if (std::ferror(stream)) return false;
            return true;
        }
    }
}

bool store_ok_string(Value* result, ObjString* text) {
    vm_push_transient(&text->obj);
    ObjResult* ok = new_result_ok(obj_val(text));
    vm_pop_transient();
    *result = obj_val(ok);
    return true;
}

__attribute__((format(printf, 2, 3))) bool store_err(Value* result, const char* format, ...) {
    char message[FILE_MESSAGE_MAX];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) >= sizeof message) n = static_cast<int>(sizeof message - 1);
    *result = obj_val(new_result_err_chars(message, n));
    return true;
}

// "cannot <verb> 'path': reason", with the path cut for the message.
bool store_file_err(Value* result, const char* verb, const ObjString* path, int error) {
    int shown = path->length < PATH_SHOWN_MAX ? path->length : PATH_SHOWN_MAX;
    return store_err(result, "cannot %s '%.*s': %s", verb, shown, path->chars, std::strerror(error));
}

// A path with a NUL inside would name a different, shorter path to the system.
bool path_is_safe(const ObjString* path) {
    return std::memchr(path->chars, '\0', static_cast<size_t>(path->length)) == nullptr;
}

// A prompt printed without a line end must show before the program waits.
void flush_prompt() {
    static const bool interactive = isatty(STDIN_FILENO) != 0;
    if (interactive) std::fflush(stdout);
}

bool native_io_read_line(int, Value*, Value* result) {
    if (!REAL_IO) return true;
    flush_prompt();
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t n = getline(&line, &capacity, stdin);
    if (n < 0) {
        std::free(line);
        *result = VALUE_NULL;
        return true;
    }
    size_t length = static_cast<size_t>(n);
    if (length > 0 && line[length - 1] == '\n') {
        length--;
        if (length > 0 && line[length - 1] == '\r') length--;
    }
    if (length > TEXT_BYTES_MAX) {
        std::free(line);
        vm_set_native_error("input line too long");
        return false;
    }
    ObjString* text = copy_string(line, static_cast<int>(length));
    std::free(line);
    *result = obj_val(text);
    return true;
}

bool native_io_read_all(int, Value*, Value* result) {
    if (!REAL_IO) {
        *result = obj_val(copy_string("", 0));
        return true;
    }
    flush_prompt();
    ByteBuffer buffer;
    if (!read_stream(stdin, &buffer)) {
        vm_set_native_error(errno == EFBIG ? "standard input too large" : "cannot read standard input");
        return false;
    }
    *result = obj_val(buffer.take());
    return true;
}

bool fuzzing_refusal(Value* result) { return store_err(result, "file access is disabled in the fuzzing build"); }

bool native_io_read_file(int, Value* args, Value* result) {
    if (!is_string(args[0])) return false;
    const ObjString* path = as_string(args[0]);
    if (!REAL_IO) return fuzzing_refusal(result);
    if (!path_is_safe(path)) return store_err(result, "cannot open path with a NUL byte");
    FileHandle file(std::fopen(path->chars, "rb"));
    if (!file) return store_file_err(result, "open", path, errno);
    struct stat info;
    if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
        return store_file_err(result, "read", path, EISDIR);
    }
    ByteBuffer buffer;
    if (!read_stream(file.get(), &buffer)) return store_file_err(result, "read", path, errno);
    file.reset();
    return store_ok_string(result, buffer.take());
}

// Writes the whole text or reports why not: a short write, a failed flush and
// a failed close (where a full disk often shows first) all count as failure.
bool write_text(Value* args, Value* result, const char* mode) {
    if (!is_string(args[0]) || !is_string(args[1])) return false;
    const ObjString* path = as_string(args[0]);
    const ObjString* text = as_string(args[1]);
    if (!REAL_IO) return fuzzing_refusal(result);
    if (!path_is_safe(path)) return store_err(result, "cannot open path with a NUL byte");
    std::FILE* file = std::fopen(path->chars, mode);
    if (file == nullptr) return store_file_err(result, "open", path, errno);
    size_t length = static_cast<size_t>(text->length);
    errno = 0;
    bool written = std::fwrite(text->chars, 1, length, file) == length && std::fflush(file) == 0;
    int write_error = errno != 0 ? errno : EIO;
    bool closed = std::fclose(file) == 0;
    if (!written) return store_file_err(result, "write", path, write_error);
    if (!closed) return store_file_err(result, "write", path, errno != 0 ? errno : EIO);
    *result = obj_val(new_result_ok(int_val(static_cast<int64_t>(length))));
    return true;
}

bool native_io_write_file(int, Value* args, Value* result) { return write_text(args, result, "wb"); }

bool native_io_append_file(int, Value* args, Value* result) { return write_text(args, result, "ab"); }

// Anything the program printed before is flushed first, so the two streams
// keep their order.
void print_to_stderr(Value v, bool newline) {
    std::fflush(stdout);
    value_print(v, stderr);
    if (newline) std::fputc('\n', stderr);
}

bool native_io_eprint(int, Value* args, Value*) {
    print_to_stderr(args[0], false);
    return true;
}

bool native_io_eprintln(int, Value* args, Value*) {
    print_to_stderr(args[0], true);
    return true;
}

constexpr std::array<StdFunction, 7> io_functions = {{
    {"read_line", native_io_read_line, std_check_signature, 0, {}, st_base(BASE_STRING, true)},
    {"read_all", native_io_read_all, std_check_signature, 0, {}, STD_STRING},
    {"read_file", native_io_read_file, std_check_signature, 1, {STD_STRING}, std_result_of(BASE_STRING)},
    {"write_file", native_io_write_file, std_check_signature, 2, {STD_STRING, STD_STRING}, std_result_of(BASE_INT)},
    {"append_file", native_io_append_file, std_check_signature, 2, {STD_STRING, STD_STRING},
     std_result_of(BASE_INT)},
    {"eprint", native_io_eprint, sig_check_print, 1, {}, STD_NONE},
    {"eprintln", native_io_eprintln, sig_check_print, 1, {}, STD_NONE},
}};

}  // namespace

const StdModule std_io_module = std_module_of("io", io_functions);
