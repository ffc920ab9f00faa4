// Fuzz target: the language server's message loop over a fuzzed byte stream.
// Each input is one session: an initialize request is fed first, so that the
// fuzzed bytes reach the document and feature handlers, then the input as it
// came, frames, headers and JSON alike.
#include <string_view>

#include "fuzz_common.h"
#include "lsp/server.h"

namespace {

std::string framed(std::string_view body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string g_initialize =
    framed(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"capabilities":{}}})");

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_discard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > FUZZ_INPUT_MAX) size = FUZZ_INPUT_MAX;
    Server server;
    FrameReader reader;
    fuzz_guarded([&] {
        server_receive(server, reader, g_initialize.data(), g_initialize.size());
        server_receive(server, reader, reinterpret_cast<const char*>(data), size);
    });
    return 0;
}
