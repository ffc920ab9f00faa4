// langtest: runs the interpreter on every *.test case under the given paths, each
// in a fresh directory, and compares standard output, standard error and exit
// status with the case's expectations. Case format: see README.md.
#include <fcntl.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Lines of context around each change in a diff, as diff -u prints them.
constexpr size_t DIFF_CONTEXT = 3;
// A failure shows at most this many diff lines per stream; the rest is elided so
// a runaway program does not bury the other failures.
constexpr size_t DIFF_MAX_LINES = 120;
// Above this many cells the line-matching table is not built and the differing
// middle is shown as wholly removed and added (still a correct diff, just longer).
constexpr size_t DIFF_MAX_CELLS = 4'000'000;
// A case may write at most this much to a file (its stdout and stderr included);
// a program that prints without end is stopped by SIGXFSZ instead of filling the disk.
constexpr rlim_t OUTPUT_MAX_BYTES = 256ull * 1024 * 1024;
// Default time a case may take before it is killed and reported as a failure.
constexpr double DEFAULT_TIMEOUT_SECONDS = 60.0;
// Exit status of the child when the interpreter could not be started.
constexpr int EXEC_FAILED_STATUS = 127;

struct Options {
    std::string vessrin;
    unsigned jobs = 0;
    bool stress = false;
    std::string filter;
    double timeout = DEFAULT_TIMEOUT_SECONDS;
    std::string root;
    std::vector<std::string> paths;
};

struct CaseFile {
    std::string name;
    std::string content;
};

struct CaseCopy {
    std::string source;
    std::string dest;
};

struct TestCase {
    std::string path;
    std::string error;  // non-empty when the case file is malformed
    std::vector<CaseFile> files;
    std::vector<CaseCopy> copies;
    std::vector<std::string> args{"main.vsr"};
    std::string stdin_text;
    std::vector<std::pair<std::string, std::string>> env;
    std::string expected_stdout;
    std::string expected_stderr;
    int expected_status = 0;
    bool no_stress = false;
};

enum class Verdict { pass, fail, skip };

struct Outcome {
    Verdict verdict = Verdict::fail;
    std::string report;  // printed for failures
};

// ---------------------------------------------------------------------------
// Small file helpers. Every descriptor is close-on-exec so that a case started
// by another thread never inherits it.

bool read_file(const std::string& path, std::string& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

bool write_file(const std::string& path, std::string_view data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') i++;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

std::vector<std::string_view> split_lines_keep_newline(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string_view strip_newline(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    return line;
}

std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A name written inside the case directory: relative, and never climbing out of it.
bool is_safe_relative_path(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    for (const auto& part : fs::path(name)) {
        if (part == "..") return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Case files.

enum class Section { none, args, file, copy, stdin_, stdout_, stderr_, env, status, flags };

struct SectionRule {
    std::string_view name;
    Section section;
    size_t min_args;
    size_t max_args;
    bool allows_noeol;
    bool repeats;
};

constexpr SectionRule SECTION_RULES[] = {
    {"args", Section::args, 0, 0, false, false},
    {"file", Section::file, 1, 1, true, true},
    {"copy", Section::copy, 1, 2, false, true},
    {"stdin", Section::stdin_, 0, 0, true, false},
    {"stdout", Section::stdout_, 0, 0, true, false},
    {"stderr", Section::stderr_, 0, 0, true, false},
    {"env", Section::env, 0, 0, false, false},
    {"status", Section::status, 0, 0, false, false},
    {"flags", Section::flags, 0, 0, false, false},
};

const SectionRule* find_section(std::string_view name) {
    for (const auto& rule : SECTION_RULES) {
        if (rule.name == name) return &rule;
    }
    return nullptr;
}

// Stores one finished section body; returns an error message or "".
std::string finish_section(TestCase& test, Section section, const std::vector<std::string>& header_args,
                           std::string body, bool noeol) {
    if (noeol && !body.empty() && body.back() == '\n') body.pop_back();
    switch (section) {
        case Section::none: return "";
        case Section::args: {
            auto lines = split_lines_keep_newline(body);
            std::vector<std::string> args;
            size_t nonblank = 0;
            for (auto line : lines) {
                auto words = split_words(strip_newline(line));
                if (words.empty()) continue;
                nonblank++;
                args = std::move(words);
            }
            if (nonblank > 1) return "the args section holds more than one line";
            test.args = std::move(args);
            return "";
        }
        case Section::file: {
            const std::string& name = header_args[0];
            if (!is_safe_relative_path(name)) return "file name '" + name + "' must be a relative path inside the case";
            for (const auto& f : test.files) {
                if (f.name == name) return "file '" + name + "' is given twice";
            }
            test.files.push_back({name, std::move(body)});
            return "";
        }
        case Section::copy: {
            const std::string& source = header_args[0];
            std::string dest = header_args.size() > 1 ? header_args[1] : fs::path(source).filename().string();
            if (!is_safe_relative_path(dest)) return "copy destination '" + dest + "' must be a relative path inside the case";
            if (!trim(body).empty()) return "the copy section of '" + source + "' must have an empty body";
            test.copies.push_back({source, dest});
            return "";
        }
        case Section::stdin_: test.stdin_text = std::move(body); return "";
        case Section::stdout_: test.expected_stdout = std::move(body); return "";
        case Section::stderr_: test.expected_stderr = std::move(body); return "";
        case Section::env: {
            for (auto line : split_lines_keep_newline(body)) {
                std::string_view text = strip_newline(line);
                if (trim(text).empty()) continue;
                size_t eq = text.find('=');
                if (eq == std::string_view::npos || eq == 0) {
                    return "env line '" + std::string(text) + "' is not KEY=VALUE";
                }
                test.env.emplace_back(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
            }
            return "";
        }
        case Section::status: {
            std::string text(trim(body));
            char* end = nullptr;
            errno = 0;
            long value = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > 255) {
                return "status '" + text + "' is not an exit status from 0 to 255";
            }
            test.expected_status = static_cast<int>(value);
            return "";
        }
        case Section::flags: {
            // Words may stand on one line or on several.
            std::replace_if(body.begin(), body.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
            for (const auto& flag : split_words(body)) {
                if (flag == "no-stress") {
                    test.no_stress = true;
                } else if (flag != "slow") {
                    return "unknown flag '" + flag + "'";
                }
            }
            return "";
        }
    }
    return "";
}

TestCase parse_case(const std::string& path) {
    TestCase test;
    test.path = path;
    std::string text;
    if (!read_file(path, text)) {
        test.error = "cannot read the case file";
        return test;
    }
    std::array<bool, std::size(SECTION_RULES)> seen{};
    Section section = Section::none;
    std::vector<std::string> header_args;
    bool noeol = false;
    std::string body;
    size_t line_number = 0;
    for (auto line : split_lines_keep_newline(text)) {
        line_number++;
        if (line.substr(0, 4) != "--- ") {
            if (section != Section::none) body.append(line);
            continue;
        }
        std::string error = finish_section(test, section, header_args, std::move(body), noeol);
        if (!error.empty()) {
            test.error = error;
            return test;
        }
        body.clear();

        auto words = split_words(strip_newline(line).substr(4));
        std::string where = " (line " + std::to_string(line_number) + ")";
        if (words.empty()) {
            test.error = "section line without a name" + where;
            return test;
        }
        const SectionRule* rule = find_section(words[0]);
        if (rule == nullptr) {
            test.error = "unknown section '" + words[0] + "'" + where;
            return test;
        }
        header_args.assign(words.begin() + 1, words.end());
        noeol = false;
        if (rule->allows_noeol && header_args.size() > rule->min_args && header_args.back() == "noeol") {
            noeol = true;
            header_args.pop_back();
        }
        if (header_args.size() < rule->min_args || header_args.size() > rule->max_args) {
            test.error = "wrong number of words after '--- " + words[0] + "'" + where;
            return test;
        }
        auto index = static_cast<size_t>(rule - SECTION_RULES);
        if (!rule->repeats && seen[index]) {
            test.error = "section '" + words[0] + "' is given twice" + where;
            return test;
        }
        seen[index] = true;
        section = rule->section;
    }
    std::string error = finish_section(test, section, header_args, std::move(body), noeol);
    if (!error.empty()) test.error = error;
    return test;
}

// ---------------------------------------------------------------------------
// Diffs.

// Makes control characters visible so that a stray escape sequence or carriage
// return cannot garble the report.
std::string visible(std::string_view line) {
    std::string out;
    for (unsigned char c : line) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

struct Edit {
    char op;  // ' ' kept, '-' only in expected, '+' only in actual
    size_t a;
    size_t b;
};

std::vector<Edit> diff_lines(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    size_t prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) prefix++;
    size_t suffix = 0;
    while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
           a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
        suffix++;
    }
    size_t n = a.size() - prefix - suffix;
    size_t m = b.size() - prefix - suffix;

    std::vector<Edit> edits;
    for (size_t i = 0; i < prefix; i++) edits.push_back({' ', i, i});
    if (n > 0 && m > 0 && (n + 1) * (m + 1) <= DIFF_MAX_CELLS) {
        // Longest common subsequence of the differing middle, filled from the end.
        std::vector<uint32_t> table((n + 1) * (m + 1), 0);
        auto at = [&](size_t i, size_t j) -> uint32_t& { return table[i * (m + 1) + j]; };
        for (size_t i = n; i-- > 0;) {
            for (size_t j = m; j-- > 0;) {
                at(i, j) = a[prefix + i] == b[prefix + j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
            }
        }
        size_t i = 0, j = 0;
        while (i < n || j < m) {
            if (i < n && j < m && a[prefix + i] == b[prefix + j]) {
                edits.push_back({' ', prefix + i, prefix + j});
                i++, j++;
            } else if (i < n && (j == m || at(i + 1, j) >= at(i, j + 1))) {
                edits.push_back({'-', prefix + i, prefix + j});
                i++;
            } else {
                edits.push_back({'+', prefix + i, prefix + j});
                j++;
            }
        }
    } else {
        for (size_t i = 0; i < n; i++) edits.push_back({'-', prefix + i, prefix});
        for (size_t j = 0; j < m; j++) edits.push_back({'+', prefix + n, prefix + j});
    }
    for (size_t k = 0; k < suffix; k++) edits.push_back({' ', prefix + n + k, prefix + m + k});
    return edits;
}

void append_diff_line(std::string& out, char op, std::string_view line) {
    out += op;
    out += visible(strip_newline(line));
    out += '\n';
    if (line.empty() || line.back() != '\n') out += "\\ No newline at end of file\n";
}

std::string unified_diff(const std::string& what, std::string_view expected, std::string_view actual) {
    auto a = split_lines_keep_newline(expected);
    auto b = split_lines_keep_newline(actual);
    auto edits = diff_lines(a, b);

    std::string out = "--- expected " + what + "\n+++ actual " + what + "\n";
    size_t printed = 0;
    size_t k = 0;
    while (k < edits.size()) {
        if (edits[k].op == ' ') {
            k++;
            continue;
        }
        // A hunk runs from DIFF_CONTEXT lines before its first change to
        // DIFF_CONTEXT lines after its last, merging changes that are close.
        size_t start = k >= DIFF_CONTEXT ? k - DIFF_CONTEXT : 0;
        size_t end = k;
        size_t last_change = k;
        while (end < edits.size()) {
            if (edits[end].op != ' ') last_change = end;
            if (end - last_change > 2 * DIFF_CONTEXT) break;
            end++;
        }
        end = std::min(edits.size(), last_change + DIFF_CONTEXT + 1);

        size_t a_count = 0, b_count = 0;
        for (size_t e = start; e < end; e++) {
            if (edits[e].op != '+') a_count++;
            if (edits[e].op != '-') b_count++;
        }
        size_t a_start = edits[start].a + (a_count > 0 ? 1 : 0);
        size_t b_start = edits[start].b + (b_count > 0 ? 1 : 0);
        out += "@@ -" + std::to_string(a_start) + "," + std::to_string(a_count) + " +" + std::to_string(b_start) +
               "," + std::to_string(b_count) + " @@\n";
        for (size_t e = start; e < end; e++) {
            if (printed == DIFF_MAX_LINES) {
                out += "... (diff cut after " + std::to_string(DIFF_MAX_LINES) + " lines)\n";
                return out;
            }
            const Edit& edit = edits[e];
            append_diff_line(out, edit.op, edit.op == '+' ? b[edit.b] : a[edit.a]);
            printed++;
        }
        k = end;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Running one case.

const char* signal_name(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGABRT: return "SIGABRT";
        case SIGBUS: return "SIGBUS";
        case SIGFPE: return "SIGFPE";
        case SIGILL: return "SIGILL";
        case SIGKILL: return "SIGKILL";
        case SIGTERM: return "SIGTERM";
        case SIGXFSZ: return "SIGXFSZ, output too large";
        default: return "signal";
    }
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

std::optional<std::string> find_root(const Options& options, const std::string& case_path) {
    if (!options.root.empty()) return options.root;
    std::error_code ec;
    fs::path dir = fs::absolute(case_path, ec).parent_path();
    for (;;) {
        if (fs::is_directory(dir / "tests" / "lang", ec)) return dir.string();
        if (dir == dir.root_path() || dir.empty()) return std::nullopt;
        dir = dir.parent_path();
    }
}

struct TempDir {
    std::string path;
    ~TempDir() {
        if (path.empty()) return;
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Writes the case's files into work; returns an error message or "".
std::string populate(const Options& options, const TestCase& test, const std::string& work) {
    std::error_code ec;
    for (const auto& f : test.files) {
        fs::path target = fs::path(work) / f.name;
        fs::create_directories(target.parent_path(), ec);
        if (!write_file(target.string(), f.content)) return "cannot write case file '" + f.name + "'";
    }
    if (test.copies.empty()) return "";
    auto root = find_root(options, test.path);
    if (!root) return "cannot find the repository root for copy sections (give --root)";
    for (const auto& c : test.copies) {
        std::string data;
        if (!read_file((fs::path(*root) / c.source).string(), data)) {
            return "cannot read copy source '" + c.source + "' under " + *root;
        }
        fs::path target = fs::path(work) / c.dest;
        fs::create_directories(target.parent_path(), ec);
        if (!write_file(target.string(), data)) return "cannot write copied file '" + c.dest + "'";
    }
    return "";
}

Outcome run_case(const Options& options, const std::string& path) {
    Outcome outcome;
    TestCase test = parse_case(path);
    std::string header = "FAIL " + path + "\n";
    if (!test.error.empty()) {
        outcome.report = header + "  malformed case: " + test.error + "\n";
        return outcome;
    }
    if (options.stress && test.no_stress) {
        outcome.verdict = Verdict::skip;
        return outcome;
    }

    TempDir temp;
    {
        const char* tmpdir = std::getenv("TMPDIR");
        std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/langtest.XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            outcome.report = header + "  cannot create a temporary directory: " + std::strerror(errno) + "\n";
            return outcome;
        }
        temp.path = buf.data();
    }
    std::string work = temp.path + "/work";
    std::string stdin_path = temp.path + "/stdin";
    std::string stdout_path = temp.path + "/stdout";
    std::string stderr_path = temp.path + "/stderr";
    if (mkdir(work.c_str(), 0755) != 0 || !write_file(stdin_path, test.stdin_text)) {
        outcome.report = header + "  cannot prepare the case directory\n";
        return outcome;
    }
    std::string problem = populate(options, test, work);
    // Paths the interpreter prints absolute (module files) name the case
    // directory, which only exists now.
    test.expected_stdout = replace_all(test.expected_stdout, "$TMP", work);
    test.expected_stderr = replace_all(test.expected_stderr, "$TMP", work);
    if (!problem.empty()) {
        outcome.report = header + "  " + problem + "\n";
        return outcome;
    }

    // Everything the child needs is built before fork: between fork and exec only
    // async-signal-safe calls are allowed, since other threads may hold locks.
    std::vector<std::string> argv_store{options.vessrin};
    argv_store.insert(argv_store.end(), test.args.begin(), test.args.end());
    std::vector<char*> child_argv;
    for (auto& s : argv_store) child_argv.push_back(s.data());
    child_argv.push_back(nullptr);

    std::vector<std::string> env_store;
    for (char** e = environ; *e != nullptr; e++) {
        std::string_view entry(*e);
        std::string_view key = entry.substr(0, entry.find('='));
        // The module search path comes from the case alone, never from the
        // developer's shell.
        if (key == "VESSRIN_STD_PATH") continue;
        bool overridden = std::any_of(test.env.begin(), test.env.end(), [&](const auto& kv) { return kv.first == key; });
        if (!overridden) env_store.emplace_back(entry);
    }
    for (const auto& [key, value] : test.env) env_store.push_back(key + "=" + replace_all(value, "$TMP", work));
    std::vector<char*> child_env;
    for (auto& s : env_store) child_env.push_back(s.data());
    child_env.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        outcome.report = header + "  fork failed: " + std::strerror(errno) + "\n";
        return outcome;
    }
    if (pid == 0) {
#ifdef __linux__
        // A case must not outlive the runner (killed by a CI timeout, say).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
        struct rlimit limit = {OUTPUT_MAX_BYTES, OUTPUT_MAX_BYTES};
        setrlimit(RLIMIT_FSIZE, &limit);
        int in = open(stdin_path.c_str(), O_RDONLY);
        int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(work.c_str()) != 0) {
            _exit(EXEC_FAILED_STATUS);
        }
        execve(child_argv[0], child_argv.data(), child_env.data());
        const char message[] = "langtest: cannot execute the interpreter\n";
        ssize_t ignored = write(2, message, sizeof message - 1);
        (void)ignored;
        _exit(EXEC_FAILED_STATUS);
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeout);
    int status = 0;
    bool timed_out = false;
    auto delay = std::chrono::microseconds(100);
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            outcome.report = header + "  waitpid failed: " + std::strerror(errno) + "\n";
            return outcome;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            timed_out = true;
            break;
        }
        std::this_thread::sleep_for(delay);
        delay = std::min(delay * 2, std::chrono::microseconds(10000));
    }

    std::string actual_stdout, actual_stderr;
    read_file(stdout_path, actual_stdout);
    read_file(stderr_path, actual_stderr);

    std::string reasons;
    std::string diffs;
    if (timed_out) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", options.timeout);
        reasons += std::string("  timed out after ") + text + " s\n";
    } else if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        reasons += "  killed by signal " + std::to_string(sig) + " (" + signal_name(sig) + ")\n";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != test.expected_status) {
        diffs += "--- expected status\n+++ actual status\n-" + std::to_string(test.expected_status) + "\n+" +
                 std::to_string(WEXITSTATUS(status)) + "\n";
    }
    if (actual_stdout != test.expected_stdout) diffs += unified_diff("stdout", test.expected_stdout, actual_stdout);
    if (actual_stderr != test.expected_stderr) diffs += unified_diff("stderr", test.expected_stderr, actual_stderr);

    if (reasons.empty() && diffs.empty()) {
        outcome.verdict = Verdict::pass;
        return outcome;
    }
    outcome.report = header + reasons + diffs;
    return outcome;
}

// ---------------------------------------------------------------------------
// Command line.

const char* const USAGE =
    "Usage: langtest --vessrin PATH [--jobs N] [--stress] [--filter SUBSTR] [--timeout S] [--root DIR]\n"
    "                DIR_OR_FILE...\n";

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "langtest: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--vessrin") {
            const char* v = value("--vessrin");
            if (v == nullptr) return false;
            options.vessrin = v;
        } else if (arg == "--jobs") {
            const char* v = value("--jobs");
            if (v == nullptr) return false;
            char* end = nullptr;
            long n = std::strtol(v, &end, 10);
            if (*end != '\0' || n < 1 || n > 1024) {
                std::fprintf(stderr, "langtest: --jobs takes a number from 1 to 1024\n");
                return false;
            }
            options.jobs = static_cast<unsigned>(n);
        } else if (arg == "--timeout") {
            const char* v = value("--timeout");
            if (v == nullptr) return false;
            char* end = nullptr;
            double t = std::strtod(v, &end);
            if (*end != '\0' || !(t > 0) || t > 86400) {
                std::fprintf(stderr, "langtest: --timeout takes a positive number of seconds\n");
                return false;
            }
            options.timeout = t;
        } else if (arg == "--filter") {
            const char* v = value("--filter");
            if (v == nullptr) return false;
            options.filter = v;
        } else if (arg == "--root") {
            const char* v = value("--root");
            if (v == nullptr) return false;
            options.root = v;
        } else if (arg == "--stress") {
            options.stress = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "langtest: unknown option '%s'\n", argv[i]);
            return false;
        } else {
            options.paths.emplace_back(arg);
        }
    }
    if (options.vessrin.empty() || options.paths.empty()) return false;
    return true;
}

bool collect_cases(const Options& options, std::vector<std::string>& cases) {
    for (const auto& path : options.paths) {
        std::error_code ec;
        if (fs::is_regular_file(path, ec)) {
            cases.push_back(path);
            continue;
        }
        if (!fs::is_directory(path, ec)) {
            std::fprintf(stderr, "langtest: no such file or directory: %s\n", path.c_str());
            return false;
        }
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->is_regular_file(ec) && it->path().extension() == ".test") cases.push_back(it->path().string());
        }
        if (ec) {
            std::fprintf(stderr, "langtest: cannot list %s: %s\n", path.c_str(), ec.message().c_str());
            return false;
        }
    }
    std::sort(cases.begin(), cases.end());
    cases.erase(std::unique(cases.begin(), cases.end()), cases.end());
    if (!options.filter.empty()) {
        std::erase_if(cases, [&](const std::string& c) { return c.find(options.filter) == std::string::npos; });
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    std::error_code ec;
    options.vessrin = fs::absolute(options.vessrin, ec).string();
    if (access(options.vessrin.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "langtest: cannot execute %s\n", options.vessrin.c_str());
        return 2;
    }
    if (!options.root.empty()) options.root = fs::absolute(options.root, ec).string();

    std::vector<std::string> cases;
    if (!collect_cases(options, cases)) return 2;
    if (cases.empty()) {
        std::fputs("langtest: no test cases found\n", stderr);
        std::puts("0 passed, 0 failed");
        return 1;
    }

    unsigned jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = std::min<unsigned>(jobs, static_cast<unsigned>(cases.size()));

    std::vector<Outcome> outcomes(cases.size());
    std::vector<bool> done(cases.size(), false);
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<size_t> next{0};

    std::vector<std::thread> workers;
    for (unsigned w = 0; w < jobs; w++) {
        workers.emplace_back([&] {
            for (;;) {
                size_t index = next.fetch_add(1);
                if (index >= cases.size()) return;
                Outcome outcome = run_case(options, cases[index]);
                std::lock_guard lock(mutex);
                outcomes[index] = std::move(outcome);
                done[index] = true;
                finished.notify_one();
            }
        });
    }

    // Reports appear as cases finish, but always in case order.
    size_t passed = 0, failed = 0, skipped = 0;
    for (size_t i = 0; i < cases.size(); i++) {
        std::unique_lock lock(mutex);
        finished.wait(lock, [&] { return done[i]; });
        Outcome outcome = std::move(outcomes[i]);
        lock.unlock();
        switch (outcome.verdict) {
            case Verdict::pass: passed++; break;
            case Verdict::skip: skipped++; break;
            case Verdict::fail:
                failed++;
                std::fputs(outcome.report.c_str(), stdout);
                std::fputs("\n", stdout);
                std::fflush(stdout);
                break;
        }
    }
    for (auto& worker : workers) worker.join();

    if (skipped > 0) {
        std::printf("%zu passed, %zu failed, %zu skipped\n", passed, failed, skipped);
    } else {
        std::printf("%zu passed, %zu failed\n", passed, failed);
    }
    return failed == 0 ? 0 : 1;
}
