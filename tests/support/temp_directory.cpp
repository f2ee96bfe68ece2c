#include "support/temp_directory.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

namespace wirrtex {

TempDirectory::~TempDirectory() {
    if (path.empty()) return;
    std::error_code ignored;
    // Write-protected entries must not keep the directory alive.
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    std::filesystem::remove_all(path, ignored);
}

bool make_temp_directory(TempDirectory& directory, std::string_view name_prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/";
    pattern.append(name_prefix);
    pattern += "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    directory.path = pattern;
    return true;
}

}  // namespace wirrtex
