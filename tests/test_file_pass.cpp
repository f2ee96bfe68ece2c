#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "failure/failure.h"
#include "files/file_pass.h"
#include "support/run_capture.h"
#include "support/temp_directory.h"

namespace wirrtex {
namespace {

// Runs each test in a fresh temporary working directory and goes back afterwards: the file
// rules work on the names "1.txt" and "2.txt" in the current directory.
class FileRules : public ::testing::Test {
protected:
    void SetUp() override {
        char previous[4096];
        ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
        previous_ = previous;
        ASSERT_TRUE(make_temp_directory(directory_, "wirrtex-files"));
        ASSERT_EQ(::chdir(directory_.path.c_str()), 0);
    }
    void TearDown() override {
        close_open_files(files_);
        if (!previous_.empty()) {
            EXPECT_EQ(::chdir(previous_.c_str()), 0);
        }
    }

    static void write_file(const char* name, const std::string& bytes, mode_t mode = 0644) {
        int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << name;
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(::fchmod(fd, mode), 0);
        ::close(fd);
    }
    static std::string read_file(const char* name) {
        std::string bytes;
        int fd = ::open(name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return "<missing>";
        char chunk[4096];
        ssize_t got;
        while ((got = ::read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<size_t>(got));
        ::close(fd);
        return bytes;
    }
    static bool exists(const char* name) {
        struct stat status;
        return ::lstat(name, &status) == 0;
    }
    // How a descriptor is open, for comparing what a check saw.
    static std::string access_of(int fd) {
        if (fd < 0) return "closed";
        switch (::fcntl(fd, F_GETFL) & O_ACCMODE) {
            case O_RDONLY: return "read-only";
            case O_WRONLY: return "write-only";
            case O_RDWR: return "read-write";
        }
        return "unknown access";
    }

    // What `check` returns, run in a forked child without root's right to write every file:
    // as root the working directory and its entries are first handed to the unprivileged
    // user and the child becomes that user, so that the modes alone decide. The answer comes
    // back through a pipe; when the child cannot give one, the text says why.
    std::string run_unprivileged(const std::function<std::string()>& check) {
        if (const std::optional<UnixUser>& user = unprivileged_.switch_to) {
            for (const auto& entry : std::filesystem::directory_iterator(directory_.path)) {
                if (::lchown(entry.path().c_str(), user->uid, user->gid) != 0) return "cannot hand over an entry";
            }
            if (::chown(directory_.path.c_str(), user->uid, user->gid) != 0) return "cannot hand over the directory";
        }
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return "cannot make a pipe";
        const pid_t child = ::fork();
        if (child < 0) return "cannot fork";
        if (child == 0) {
            ::close(ends[0]);
            const std::optional<UnixUser>& user = unprivileged_.switch_to;
            const std::string answer =
                user && !become_user(*user) ? std::string("cannot become the user: ") + std::strerror(errno) : check();
            for (size_t done = 0; done < answer.size();) {
                const ssize_t wrote = ::write(ends[1], answer.data() + done, answer.size() - done);
                if (wrote <= 0) ::_exit(1);
                done += static_cast<size_t>(wrote);
            }
            ::_exit(0);
        }
        ::close(ends[1]);
        std::string answer;
        char chunk[4096];
        ssize_t got;
        while ((got = ::read(ends[0], chunk, sizeof chunk)) != 0) {
            if (got > 0) answer.append(chunk, static_cast<size_t>(got));
            if (got < 0 && errno != EINTR) break;
        }
        ::close(ends[0]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) answer += " (the check did not end normally)";
        return answer;
    }

    const UnprivilegedUser unprivileged_ = find_unprivileged_user();
    std::string previous_;
    TempDirectory directory_;
    OpenFiles files_;
};

TEST_F(FileRules, InputIsOpenedWithItsSize) {
    write_file("1.txt", std::string(345, 'q'));
    int64_t size = -1;
    ASSERT_EQ(open_input_file(files_, size), 0);
    EXPECT_GE(files_.input_fd, 0);
    EXPECT_EQ(size, 345);
    // Opened for reading and writing, and the bytes are its bytes.
    EXPECT_EQ(::fcntl(files_.input_fd, F_GETFL) & O_ACCMODE, O_RDWR);
    char first = 0;
    EXPECT_EQ(::pread(files_.input_fd, &first, 1, 0), 1);
    EXPECT_EQ(first, 'q');
}

TEST_F(FileRules, MissingInputIsCreatedEmpty) {
    int64_t size = -1;
    ASSERT_EQ(open_input_file(files_, size), 0);
    EXPECT_GE(files_.input_fd, 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(read_file("1.txt"), "");
}

TEST_F(FileRules, InputThatIsADirectoryIsRefused) {
    ASSERT_EQ(::mkdir("1.txt", 0755), 0);
    int64_t size = -1;
    EXPECT_EQ(open_input_file(files_, size), error_cannot_open);
    EXPECT_EQ(files_.input_fd, -1);
}

TEST_F(FileRules, InputThatIsNoRegularFileCountsAsEmpty) {
    ASSERT_EQ(::symlink("/dev/zero", "1.txt"), 0);
    int64_t size = -1;
    ASSERT_EQ(open_input_file(files_, size), 0);
    EXPECT_EQ(size, 0);
}

TEST_F(FileRules, WriteProtectedInputIsReadOnly) {
    if (!unprivileged_.impossible.empty()) GTEST_SKIP() << unprivileged_.impossible;
    write_file("1.txt", "abc", 0444);
    EXPECT_EQ(run_unprivileged([] {
                  OpenFiles files;
                  int64_t size = -1;
                  const int error = open_input_file(files, size);
                  return "error " + std::to_string(error) + ", size " + std::to_string(size) + ", " +
                         access_of(files.input_fd);
              }),
              "error 0, size 3, read-only");
}

TEST_F(FileRules, InputInAWriteProtectedDirectoryCannotBeCreated) {
    if (!unprivileged_.impossible.empty()) GTEST_SKIP() << unprivileged_.impossible;
    ASSERT_EQ(::chmod(".", 0555), 0);
    EXPECT_EQ(run_unprivileged([] {
                  OpenFiles files;
                  int64_t size = -1;
                  const int error = open_input_file(files, size);
                  return "error " + std::to_string(error) + ", " + access_of(files.input_fd);
              }),
              "error " + std::to_string(error_cannot_open) + ", closed");
    EXPECT_FALSE(exists("1.txt"));
    ::chmod(".", 0755);
}

TEST_F(FileRules, OutputIsCreatedOrEmptied) {
    write_file("1.txt", "abc");
    int64_t size = -1;
    ASSERT_EQ(open_input_file(files_, size), 0);
    ASSERT_EQ(open_output_file(files_), 0);
    EXPECT_GE(files_.output_fd, 0);
    EXPECT_EQ(read_file("2.txt"), "");
    close_open_files(files_);

    write_file("2.txt", std::string(1000, 'z'));
    ASSERT_EQ(open_input_file(files_, size), 0);
    ASSERT_EQ(open_output_file(files_), 0);
    EXPECT_EQ(read_file("2.txt"), "");
    EXPECT_EQ(read_file("1.txt"), "abc");
}

// 2.txt must never be 1.txt itself: emptying it would destroy the input before it is read.
TEST_F(FileRules, OutputThatIsTheInputOrADirectoryIsRefused) {
    struct Case {
        const char* name;
        int (*make)();
    };
    const Case cases[] = {
        {"hard link", [] { return ::link("1.txt", "2.txt"); }},
        {"symbolic link", [] { return ::symlink("1.txt", "2.txt"); }},
        {"symbolic link over a path", [] { return ::symlink("./sub/../1.txt", "2.txt"); }},
        {"directory", [] { return ::mkdir("2.txt", 0755); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        std::filesystem::remove_all("2.txt", ignored);
        std::filesystem::remove_all("sub", ignored);
        ASSERT_EQ(::mkdir("sub", 0755), 0);
        write_file("1.txt", "keep these bytes");
        ASSERT_EQ(c.make(), 0);
        int64_t size = -1;
        ASSERT_EQ(open_input_file(files_, size), 0);
        EXPECT_EQ(open_output_file(files_), error_cannot_open);
        EXPECT_EQ(files_.output_fd, -1);
        EXPECT_EQ(read_file("1.txt"), "keep these bytes");
        close_open_files(files_);
    }
}

TEST_F(FileRules, OutputToADeviceIsNotEmptied) {
    write_file("1.txt", "abc");
    ASSERT_EQ(::symlink("/dev/null", "2.txt"), 0);
    int64_t size = -1;
    ASSERT_EQ(open_input_file(files_, size), 0);
    ASSERT_EQ(open_output_file(files_), 0);
    EXPECT_GE(files_.output_fd, 0);
}

TEST_F(FileRules, WriteProtectedOutputIsRefusedAndKept) {
    if (!unprivileged_.impossible.empty()) GTEST_SKIP() << unprivileged_.impossible;
    write_file("1.txt", "abc");
    write_file("2.txt", "old bytes", 0444);
    EXPECT_EQ(run_unprivileged([] {
                  OpenFiles files;
                  int64_t size = -1;
                  const int input_error = open_input_file(files, size);
                  const int output_error = open_output_file(files);
                  return "input error " + std::to_string(input_error) + ", output error " +
                         std::to_string(output_error) + ", output " + access_of(files.output_fd);
              }),
              "input error 0, output error " + std::to_string(error_cannot_open) + ", output closed");
    EXPECT_EQ(read_file("2.txt"), "old bytes");
}

TEST_F(FileRules, CloseOpenFilesClosesBothAndMarksThem) {
    write_file("1.txt", "abc");
    int64_t size = -1;
    ASSERT_EQ(open_input_file(files_, size), 0);
    ASSERT_EQ(open_output_file(files_), 0);
    const int input_fd = files_.input_fd;
    const int output_fd = files_.output_fd;
    EXPECT_TRUE(close_open_files(files_));
    EXPECT_EQ(files_.input_fd, -1);
    EXPECT_EQ(files_.output_fd, -1);
    errno = 0;
    EXPECT_EQ(::fcntl(input_fd, F_GETFD), -1);
    EXPECT_EQ(::fcntl(output_fd, F_GETFD), -1);
    EXPECT_TRUE(close_open_files(files_));  // nothing open: nothing to do
}

}  // namespace
}  // namespace wirrtex
