// vessrin-lsp: the language server on standard input and output. Bytes are read
// as they come and every complete message is answered before more are read.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "lsp/server.h"

namespace {

// Bytes read from standard input at a time.
constexpr size_t READ_CHUNK = 65536;

bool write_all(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(STDOUT_FILENO, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main() {
    static Server server;
    FrameReader reader;
    static char chunk[READ_CHUNK];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        // The client went away without `exit`: the protocol calls that an error.
        if (n <= 0) return 1;
        server_receive(server, reader, chunk, static_cast<size_t>(n));
        if (!write_all(server.outbox)) return 1;
        server.outbox.clear();
        if (server.exited) return server.exit_code;
    }
}
