// The manual page wirrtex.1: groff reads it without a single warning, and it is plain ASCII.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

#ifdef WIRRTEX_SOURCE_DIR
const std::string source_dir = WIRRTEX_SOURCE_DIR;
#else
// Built outside the test support library: the source root is the parent of tests/.
const std::string source_dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/"));
#endif

std::string manual_page_path() { return source_dir + "/wirrtex.1"; }

bool groff_installed() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (dir.empty()) dir = ".";
        if (::access((dir + "/groff").c_str(), X_OK) == 0) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

struct GroffRun {
    int exit_status = -1;  // -1 when groff did not end normally
    std::string diagnostics;  // everything groff wrote to standard error
};

// Runs groff with `arguments` and the page; the rendered output is thrown away.
GroffRun run_groff(const std::vector<std::string>& arguments) {
    GroffRun run;
    int error_pipe[2];
    if (::pipe2(error_pipe, O_CLOEXEC) != 0) {
        run.diagnostics = "pipe failed";
        return run;
    }
    std::vector<std::string> words = {"groff"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    words.push_back(manual_page_path());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(error_pipe[1], 2);
        ::execvp("groff", argv.data());
        ::_exit(127);
    }
    ::close(error_pipe[1]);
    if (pid < 0) {
        ::close(error_pipe[0]);
        run.diagnostics = "fork failed";
        return run;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(error_pipe[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        run.diagnostics.append(buffer, static_cast<size_t>(got));
    }
    ::close(error_pipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
    return run;
}

TEST(ManualPage, GroffReadsItWithoutWarnings) {
    if (!groff_installed()) GTEST_SKIP() << "groff is not installed";

    struct Case {
        const char* what;
        std::vector<std::string> arguments;
    };
    // -z checks characters against the default (PostScript) fonts only; one that those
    // fonts have and the terminal fonts lack is reported by a full render for the terminal.
    const Case cases[] = {
        {"checked without output", {"-man", "-ww", "-z"}},
        {"rendered for a UTF-8 terminal", {"-man", "-ww", "-Tutf8"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const GroffRun run = run_groff(c.arguments);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.diagnostics, "");
    }
}

// groff reads the page as Latin-1: an umlaut typed in UTF-8 would render as two wrong
// characters without any warning, and a code page 850 byte only warns. Umlauts are
// written as \[:a] and \[:u].
TEST(ManualPage, IsPlainAscii) {
    std::ifstream file(manual_page_path(), std::ios::binary);
    ASSERT_TRUE(file) << "cannot open " << manual_page_path();
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());

    int line = 1;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            ++line;
            continue;
        }
        EXPECT_TRUE(byte == '\t' || (byte >= 0x20 && byte < 0x7f))
            << "byte " << static_cast<int>(byte) << " on line " << line;
    }
    EXPECT_EQ(text.back(), '\n') << "the last line has no line end";
}

}  // namespace
