#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace wirrtex {

constexpr size_t entered_text_limit = 4096;

// A source of bytes for the token rules: an edited line, or standard input read in blocks.
// peek gives the next byte (0..255) or -1 at the end; skip consumes it.
struct LineSource {
    std::string_view text;
    size_t position = 0;
};
int peek_byte(LineSource& source);
void skip_byte(LineSource& source);

struct StreamSource {
    int fd = 0;
    char buffer[65536];
    size_t position = 0;
    size_t length = 0;
    bool ended = false;  // the stream gave its end (or failed): no byte will come any more
};
int peek_byte(StreamSource& source);
void skip_byte(StreamSource& source);

// Result of one line input under the token rules.
struct Token {
    std::string text;
    bool source_was_empty = false;  // the source ended before any byte was read
};

// The token rules: leading blanks and tabs skipped; a quoted text or a text up to comma,
// CR or LF; at most 4096 bytes; then one delimiter (comma, LF, CR LF or lone CR) consumed,
// after a closing quote or a cut text only once blanks and tabs are skipped, leaving any
// other byte unread.
template <class Source>
Token read_token(Source& source) {
    Token token;
    int c = peek_byte(source);
    if (c < 0) {
        token.source_was_empty = true;
        return token;
    }
    while (c == ' ' || c == '\t') {
        skip_byte(source);
        c = peek_byte(source);
    }
    bool quoted = false;
    if (c == '"') {
        quoted = true;
        skip_byte(source);
    }
    bool closed_or_cut = false;
    for (;;) {
        c = peek_byte(source);
        if (c < 0 || c == '\r' || c == '\n') break;
        if (quoted && c == '"') {
            skip_byte(source);
            closed_or_cut = true;
            break;
        }
        if (!quoted && c == ',') break;
        if (token.text.size() == entered_text_limit) {
            closed_or_cut = true;
            break;
        }
        token.text.push_back(static_cast<char>(c));
        skip_byte(source);
    }
    if (closed_or_cut) {
        c = peek_byte(source);
        while (c == ' ' || c == '\t') {
            skip_byte(source);
            c = peek_byte(source);
        }
    }
    c = peek_byte(source);
    if (c == ',' || c == '\n') {
        skip_byte(source);
    } else if (c == '\r') {
        skip_byte(source);
        if (peek_byte(source) == '\n') skip_byte(source);
    }
    return token;
}

}  // namespace wirrtex
