#include "support/run_capture.h"
#include "support/temp_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace wirrtex {

namespace {

// A descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close_now(); }
    void close_now() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// The file is handed to `owner` before its mode is set, so that the mode stays as given.
bool write_whole_file(const std::string& path, const std::string& bytes, mode_t mode,
                      const std::optional<UnixUser>& owner) {
    Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file.fd < 0) return false;
    if (owner && ::fchown(file.fd, owner->uid, owner->gid) != 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(file.fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return ::fchmod(file.fd, mode) == 0;
}

bool read_whole_file(const std::string& path, std::string& bytes) {
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) return false;
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(file.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        bytes.append(chunk, static_cast<size_t>(got));
    }
}

// Makes one entry, owned by `owner` when set; an empty string on success, otherwise what failed.
std::string make_entry(const std::string& directory, const EntryBefore& entry, const std::optional<UnixUser>& owner) {
    const std::string path = directory + "/" + entry.name;
    bool ok = false;
    switch (entry.kind) {
        case MakeKind::file:
            ok = write_whole_file(path, entry.bytes, entry.mode, owner);
            break;
        case MakeKind::directory:
            ok = ::mkdir(path.c_str(), 0755) == 0 && (!owner || ::chown(path.c_str(), owner->uid, owner->gid) == 0);
            break;
        case MakeKind::symlink:
            ok = ::symlink(entry.bytes.c_str(), path.c_str()) == 0 &&
                 (!owner || ::lchown(path.c_str(), owner->uid, owner->gid) == 0);
            break;
        case MakeKind::hard_link:
            ok = ::link((directory + "/" + entry.bytes).c_str(), path.c_str()) == 0;
            break;
    }
    if (ok) return std::string();
    return "cannot make entry " + entry.name + ": " + std::strerror(errno);
}

void collect_entries(const std::string& directory, std::map<std::string, EntryAfter>& entries) {
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return;
    while (dirent* item = ::readdir(listing)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = directory + "/" + name;
        struct stat status;
        if (::lstat(path.c_str(), &status) != 0) continue;
        EntryAfter after;
        after.mode = status.st_mode & 07777;
        after.link_count = status.st_nlink;
        if (S_ISREG(status.st_mode)) {
            after.kind = EntryKind::regular;
            read_whole_file(path, after.bytes);
        } else if (S_ISDIR(status.st_mode)) {
            after.kind = EntryKind::directory;
        } else if (S_ISLNK(status.st_mode)) {
            after.kind = EntryKind::symlink;
            char target[4096];
            ssize_t length = ::readlink(path.c_str(), target, sizeof target);
            if (length > 0) after.bytes.assign(target, static_cast<size_t>(length));
        } else {
            after.kind = EntryKind::other;
        }
        entries[name] = std::move(after);
    }
    ::closedir(listing);
}

long long now_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool make_pipe(Fd& read_end, Fd& write_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end.fd = ends[0];
    write_end.fd = ends[1];
    return true;
}

// Blocks SIGPIPE in this thread while the child's standard input is fed, so a child that
// stops reading early makes the write fail with EPIPE instead of ending the test program.
// A SIGPIPE raised meanwhile is taken back before the mask is restored.
struct SigpipeBlock {
    sigset_t previous;
    SigpipeBlock() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &block, &previous);
    }
    ~SigpipeBlock() {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        const timespec no_wait{0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &no_wait) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
};

// What the child reports through a close-on-exec pipe when it cannot start the program;
// the pipe stays empty when the program starts.
enum ChildStep : int { become_run_as_user, enter_directory, connect_streams, start_program };

struct ChildReport {
    int step = 0;
    int error = 0;
};

std::string describe_child_problem(const ChildReport& report, const CaptureRequest& request) {
    static const char* const steps[] = {"cannot become the user", "cannot enter the working directory",
                                        "cannot connect the standard streams", "cannot start the program"};
    std::string text = report.step >= 0 && report.step < 4 ? steps[report.step] : "unknown step";
    if (request.run_as) {
        text += " (as uid " + std::to_string(request.run_as->uid) + ", gid " + std::to_string(request.run_as->gid) + ")";
    }
    return "child: " + text + ": " + std::strerror(report.error);
}

UnprivilegedUser probe_unprivileged_user() {
    UnprivilegedUser found;
    if (::geteuid() != 0) return found;
    UnixUser user{65534, 65534};
    if (const passwd* entry = ::getpwnam("nobody")) user = UnixUser{entry->pw_uid, entry->pw_gid};
    if (user.uid == 0) {
        found.impossible = "the user nobody is root";
        return found;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        found.impossible = std::string("cannot fork: ") + std::strerror(errno);
        return found;
    }
    if (child == 0) ::_exit(become_user(user) ? 0 : (errno > 0 && errno < 256 ? errno : 255));
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        found.impossible = "root cannot become uid " + std::to_string(user.uid) + ", gid " + std::to_string(user.gid) +
                           ": " + (WIFEXITED(status) ? std::strerror(WEXITSTATUS(status)) : "the probe was killed");
        return found;
    }
    found.switch_to = user;
    return found;
}

}  // namespace

UnprivilegedUser find_unprivileged_user() {
    static const UnprivilegedUser found = probe_unprivileged_user();
    return found;
}

bool become_user(UnixUser user) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0;
}

EntryBefore regular_file(std::string name, std::string bytes, mode_t mode) {
    return EntryBefore{std::move(name), MakeKind::file, std::move(bytes), mode};
}

EntryBefore directory_entry(std::string name) { return EntryBefore{std::move(name), MakeKind::directory, "", 0755}; }

EntryBefore symlink_entry(std::string name, std::string target) {
    return EntryBefore{std::move(name), MakeKind::symlink, std::move(target), 0777};
}

EntryBefore hard_link_entry(std::string name, std::string existing_name) {
    return EntryBefore{std::move(name), MakeKind::hard_link, std::move(existing_name), 0};
}

CaptureResult run_captured(const CaptureRequest& request) {
    CaptureResult result;
    TempDirectory directory;
    if (!make_temp_directory(directory, "wirrtex-run")) {
        result.problem = std::string("cannot make a temporary directory: ") + std::strerror(errno);
        return result;
    }
    // mkdtemp made it 0700: once the user owns it, the user may do everything in it.
    if (request.run_as && ::chown(directory.path.c_str(), request.run_as->uid, request.run_as->gid) != 0) {
        result.problem = "cannot hand the temporary directory to uid " + std::to_string(request.run_as->uid) + ": " +
                         std::strerror(errno);
        return result;
    }
    for (const EntryBefore& entry : request.entries) {
        result.problem = make_entry(directory.path, entry, request.run_as);
        if (!result.problem.empty()) return result;
    }

    Fd in_read, in_write, out_read, out_write, err_read, err_write, report_read, report_write;
    if (!make_pipe(in_read, in_write) || !make_pipe(out_read, out_write) || !make_pipe(err_read, err_write) ||
        !make_pipe(report_read, report_write)) {
        result.problem = std::string("cannot make pipes: ") + std::strerror(errno);
        return result;
    }

    // Everything the child needs is made before the fork: after it only async-signal-safe calls.
    std::string program = request.program;
    char* const argv[] = {program.data(), nullptr};
    std::string path_variable = "PATH=/usr/bin:/bin";
    std::string lang_variable = "LANG=C";
    char* const envp[] = {path_variable.data(), lang_variable.data(), nullptr};
    sigset_t empty_mask;
    sigemptyset(&empty_mask);

    SigpipeBlock sigpipe_block;
    const pid_t child = ::fork();
    if (child < 0) {
        result.problem = std::string("cannot fork: ") + std::strerror(errno);
        return result;
    }
    if (child == 0) {
        auto fail = [&](ChildStep step) {
            const ChildReport report{step, errno};
            ssize_t ignored = ::write(report_write.fd, &report, sizeof report);
            (void)ignored;
            ::_exit(126);
        };
        ::sigprocmask(SIG_SETMASK, &empty_mask, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (request.run_as && !become_user(*request.run_as)) fail(become_run_as_user);
        if (::chdir(directory.path.c_str()) != 0) fail(enter_directory);
        if (::dup2(in_read.fd, 0) < 0 || ::dup2(out_write.fd, 1) < 0 || ::dup2(err_write.fd, 2) < 0) {
            fail(connect_streams);
        }
        ::execve(argv[0], argv, envp);
        fail(start_program);
    }
    result.started = true;
    in_read.close_now();
    out_write.close_now();
    err_write.close_now();
    report_write.close_now();

    // The harness never blocks: every descriptor is non-blocking and all waiting is in poll.
    for (int fd : {in_write.fd, out_read.fd, err_read.fd}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    size_t fed = 0;
    if (request.stdin_bytes.empty()) in_write.close_now();
    const long long deadline = now_ms() + request.timeout_ms;
    while (out_read.fd >= 0 || err_read.fd >= 0) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            result.timed_out = true;
            ::kill(child, SIGKILL);
            break;
        }
        pollfd watched[3];
        int count = 0;
        if (in_write.fd >= 0) watched[count++] = pollfd{in_write.fd, POLLOUT, 0};
        if (out_read.fd >= 0) watched[count++] = pollfd{out_read.fd, POLLIN, 0};
        if (err_read.fd >= 0) watched[count++] = pollfd{err_read.fd, POLLIN, 0};
        int ready = ::poll(watched, static_cast<nfds_t>(count), static_cast<int>(left < 100 ? left : 100));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (int i = 0; i < count; ++i) {
            if (watched[i].revents == 0) continue;
            if (watched[i].fd == in_write.fd) {
                ssize_t wrote = ::write(in_write.fd, request.stdin_bytes.data() + fed, request.stdin_bytes.size() - fed);
                if (wrote > 0) fed += static_cast<size_t>(wrote);
                // The child closed its standard input (EPIPE) or everything is fed: no more to send.
                if ((wrote < 0 && errno != EAGAIN && errno != EINTR) || fed == request.stdin_bytes.size()) {
                    in_write.close_now();
                }
                continue;
            }
            Fd& source = watched[i].fd == out_read.fd ? out_read : err_read;
            std::string& sink = watched[i].fd == out_read.fd ? result.out : result.err;
            char chunk[65536];
            ssize_t got = ::read(source.fd, chunk, sizeof chunk);
            if (got > 0) {
                sink.append(chunk, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                source.close_now();
            }
        }
    }
    in_write.close_now();

    // Both output pipes are closed: the child has ended or is about to. Wait for it, bounded.
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 && errno != EINTR) {
            result.problem = std::string("waitpid failed: ") + std::strerror(errno);
            return result;
        }
        if (now_ms() > deadline && !result.timed_out) {
            result.timed_out = true;
            ::kill(child, SIGKILL);
        }
        ::usleep(1000);
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal_number = WTERMSIG(status);
    }
    // The child has ended, so its end of the report pipe is closed: this read cannot block.
    ChildReport report;
    if (::read(report_read.fd, &report, sizeof report) == static_cast<ssize_t>(sizeof report)) {
        result.started = false;
        result.problem = describe_child_problem(report, request);
        return result;
    }

    collect_entries(directory.path, result.entries);
    return result;
}

EntryAfter entry_after(const CaptureResult& result, const std::string& name) {
    auto found = result.entries.find(name);
    return found == result.entries.end() ? EntryAfter{} : found->second;
}

std::string describe_ending(const CaptureResult& result) {
    std::string text;
    if (!result.started) return "not started: " + result.problem;
    if (result.timed_out) text += "timed out and killed; ";
    if (result.exited) {
        text += "exit code " + std::to_string(result.exit_code);
    } else {
        text += "ended by signal " + std::to_string(result.signal_number);
    }
    if (!result.problem.empty()) text += "; harness: " + result.problem;
    text += "; stderr: \"" + escape_bytes(result.err) + "\"";
    return text;
}

std::string escape_bytes(const std::string& bytes) {
    std::string text;
    for (char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\r') {
            text += "\\r";
        } else if (byte == '\n') {
            text += "\\n";
        } else if (byte == '\\' || byte == '"') {
            text += '\\';
            text += c;
        } else if (byte < 32 || byte > 126) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace wirrtex
