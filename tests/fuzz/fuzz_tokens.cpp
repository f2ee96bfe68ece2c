// Fuzz target: the token rules over arbitrary bytes.
//
// The bytes are read token by token from a LineSource until it is exhausted; every token must
// keep the rules' promises (length cap, no delimiters inside, progress, nothing invented). The
// same bytes then go through a StreamSource reading a pipe that hands them over in packets of
// varying size, which must give exactly the same tokens.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "console/tokens.h"

namespace wirrtex {
namespace {

// Inputs beyond this are skipped: the pipe must hold every packet before the reading starts.
constexpr size_t longest_input = 16384;
constexpr size_t packet_limit = 4096;  // a packet of an O_DIRECT pipe holds at most PIPE_BUF bytes

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "token invariant broken: %s\n", what);
    std::abort();
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The bytes one read_token call consumed must be: blanks, an optional opening quote, the text
// itself, an optional closing quote, blanks (only after a closing quote or a cut text) and at
// most one delimiter. Anything else means a byte was lost, invented or reordered.
void check_consumed(std::string_view consumed, const Token& token) {
    size_t at = 0;
    while (at < consumed.size() && is_blank(consumed[at])) ++at;
    const bool quoted = at < consumed.size() && consumed[at] == '"';
    if (quoted) ++at;
    require(consumed.substr(at, token.text.size()) == token.text, "text differs from the bytes consumed");
    at += token.text.size();

    const bool closed = quoted && at < consumed.size() && consumed[at] == '"';
    if (closed) ++at;
    const bool cut = !closed && token.text.size() == entered_text_limit;
    if (closed || cut)
        while (at < consumed.size() && is_blank(consumed[at])) ++at;
    const std::string_view rest = consumed.substr(at);
    require(rest.empty() || rest == "," || rest == "\n" || rest == "\r" || rest == "\r\n",
            "consumed more than one delimiter after the text");

    require(token.text.size() <= entered_text_limit, "text longer than 4096 bytes");
    for (char c : token.text) {
        require(c != '\r' && c != '\n', "text holds CR or LF");
        if (quoted) require(c != '"', "quoted text holds its closing quote");
        else require(c != ',', "unquoted text holds a comma");
    }
}

// All tokens of the bytes read through a LineSource, the last one the empty-source token.
std::vector<Token> read_line_tokens(std::string_view input) {
    std::vector<Token> tokens;
    LineSource source{input, 0};
    // Every call but the last consumes at least one byte, so this many calls are always enough.
    for (size_t calls = 0; calls <= input.size() + 1; ++calls) {
        const size_t before = source.position;
        Token token = read_token(source);
        require(source.position <= input.size(), "position beyond the end");
        require(token.source_was_empty == (before == input.size()), "source_was_empty is wrong");
        if (token.source_was_empty) {
            require(token.text.empty() && source.position == before, "an empty source gave bytes");
            tokens.push_back(std::move(token));
            return tokens;
        }
        require(source.position > before, "read_token made no progress");
        check_consumed(input.substr(before, source.position - before), token);
        tokens.push_back(std::move(token));
    }
    require(false, "read_token never reached the end of the source");
    return tokens;
}

// Packet sizes for the pipe, drawn from a hash of the input so that a crash reproduces:
// many tiny packets (a delimiter or a CR LF torn apart), middling and full ones.
std::vector<size_t> plan_packets(std::string_view input, size_t packet_places) {
    uint64_t state = 1469598103934665603ull;
    for (char c : input) state = (state ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    state |= 1;
    std::vector<size_t> sizes;
    size_t left = input.size();
    while (left > 0) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        size_t size = 0;
        switch (state % 4) {
            case 0: size = 1 + (state >> 8) % 8; break;
            case 1: size = 1 + (state >> 8) % 512; break;
            case 2: size = packet_limit; break;
            default: size = 1 + (state >> 8) % packet_limit; break;
        }
        // Keep enough places for the rest in full packets.
        if (sizes.size() + 1 + (left + packet_limit - 1) / packet_limit > packet_places) size = packet_limit;
        if (size > left) size = left;
        sizes.push_back(size);
        left -= size;
    }
    return sizes;
}

// All tokens of the bytes read through a StreamSource on a pipe that yields one packet per read.
std::vector<Token> read_stream_tokens(std::string_view input) {
    int fds[2];
    require(::pipe2(fds, O_DIRECT | O_CLOEXEC) == 0, "cannot open a packet pipe");
    ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);  // more places if allowed; the plan adapts to what it got
    const long capacity = ::fcntl(fds[1], F_GETPIPE_SZ);
    require(capacity >= 4096 * 8, "pipe too small");
    const size_t places = static_cast<size_t>(capacity) / 4096;
    size_t at = 0;
    for (size_t size : plan_packets(input, places)) {
        require(::write(fds[1], input.data() + at, size) == static_cast<ssize_t>(size), "pipe write failed");
        at += size;
    }
    ::close(fds[1]);

    static std::unique_ptr<StreamSource> source = std::make_unique<StreamSource>();
    *source = StreamSource{};
    source->fd = fds[0];
    std::vector<Token> tokens;
    for (size_t calls = 0; calls <= input.size() + 1; ++calls) {
        tokens.push_back(read_token(*source));
        if (tokens.back().source_was_empty) break;
    }
    ::close(fds[0]);
    return tokens;
}

}  // namespace
}  // namespace wirrtex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wirrtex;
    if (size > longest_input) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const std::vector<Token> line_tokens = read_line_tokens(input);
    const std::vector<Token> stream_tokens = read_stream_tokens(input);
    require(stream_tokens.size() == line_tokens.size(), "stream and line give a different number of tokens");
    for (size_t i = 0; i < line_tokens.size(); ++i) {
        require(stream_tokens[i].text == line_tokens[i].text, "stream and line give different texts");
        require(stream_tokens[i].source_was_empty == line_tokens[i].source_was_empty,
                "stream and line end at different tokens");
    }
    return 0;
}
