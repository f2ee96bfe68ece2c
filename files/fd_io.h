#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace wirrtex {

// Writes all bytes, continuing after partial writes and interrupted calls.
// Returns false when a write fails; the bytes not yet written are then dropped.
bool write_fully(int fd, const void* data, size_t length);

// Reads up to `length` bytes at `offset`, continuing after short reads until the
// request is filled or the file ends. Returns the number of bytes delivered, or -1
// when the read fails.
ssize_t read_fully_at(int fd, void* data, size_t length, int64_t offset);

}  // namespace wirrtex
