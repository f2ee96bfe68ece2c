#pragma once
#include <string>
#include <string_view>

namespace wirrtex {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it, write-protected
// entries included, when it goes out of scope.
struct TempDirectory {
    std::string path;  // empty until make_temp_directory succeeds
    TempDirectory() = default;
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    ~TempDirectory();
};

// Makes the directory, named with the prefix and a unique suffix. False (errno set) when it
// cannot be made.
bool make_temp_directory(TempDirectory& directory, std::string_view name_prefix);

}  // namespace wirrtex
