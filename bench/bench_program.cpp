// Whole-program speed and memory: enciphers a 512 MiB page-cached random file with the
// program and copies it with `cat`, in paired rounds of alternating order, and compares
// the median wall times. Then runs the program once on a 4 GiB sparse file for its peak
// memory. A missed target is reported as MISSED; only a failure to measure ends with a
// non-zero exit code.
//
// Usage: wirrtex_bench_program [PROGRAM [WORK_PARENT]]
//   PROGRAM      the program to measure (default: the one built beside this driver)
//   WORK_PARENT  where the temporary work folder goes (default: $TMPDIR, else /tmp)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int64_t mebibyte = int64_t{1} << 20;
constexpr int64_t main_size = 512 * mebibyte;
constexpr int64_t sparse_size = 4096 * mebibyte;
constexpr int rounds = 11;
constexpr double ratio_target = 1.10;
constexpr long rss_target_kib = 8 * 1024;  // peak RSS must stay below this
constexpr char code_number_input[] = "12345\n";

struct Measurement {
    bool ok = false;
    double seconds = 0;
    long peak_rss_kib = 0;
};

double now_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string join_path(const std::string& dir, const char* name) { return dir + "/" + name; }

int64_t file_size(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return -1;
    return static_cast<int64_t>(status.st_size);
}

int64_t free_bytes(const std::string& dir) {
    struct statvfs fs;
    if (::statvfs(dir.c_str(), &fs) != 0) return -1;
    return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

void remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        std::fprintf(stderr, "bench: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));
}

// Writes `size` pseudo-random bytes (splitmix64) to a new file; the writes leave the file
// in the page cache.
bool make_random_file(const std::string& path, int64_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<uint64_t> chunk(static_cast<size_t>(mebibyte) / sizeof(uint64_t));
    uint64_t state = static_cast<uint64_t>(now_seconds() * 1e9);
    bool ok = true;
    for (int64_t done = 0; ok && done < size; done += mebibyte) {
        for (uint64_t& word : chunk) {
            uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
        const char* bytes = reinterpret_cast<const char*>(chunk.data());
        size_t left = static_cast<size_t>(std::min<int64_t>(mebibyte, size - done));
        while (ok && left > 0) {
            ssize_t written = ::write(fd, bytes, left);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) ok = false;
            else {
                bytes += written;
                left -= static_cast<size_t>(written);
            }
        }
    }
    if (::close(fd) != 0) ok = false;
    return ok;
}

// Reads the whole file once so that it is certainly in the page cache.
bool read_through(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<char> buffer(static_cast<size_t>(mebibyte));
    ssize_t got;
    while ((got = ::read(fd, buffer.data(), buffer.size())) != 0) {
        if (got < 0 && errno != EINTR) break;
    }
    ::close(fd);
    return got == 0;
}

// Starts a child in `dir` with standard input from `input_fd` (or /dev/null when -1) and
// standard output to /dev/null, runs `argv`, and measures wall time and peak RSS.
Measurement run_child(const std::string& dir, int input_fd, const char* const argv[]) {
    Measurement result;
    const double start = now_seconds();
    pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "bench: fork: %s\n", std::strerror(errno));
        return result;
    }
    if (pid == 0) {
        int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd < 0 || ::chdir(dir.c_str()) != 0) _exit(126);
        if (::dup2(input_fd >= 0 ? input_fd : null_fd, 0) < 0 || ::dup2(null_fd, 1) < 0) _exit(126);
        ::execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    pid_t waited;
    do {
        waited = ::wait4(pid, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    result.seconds = now_seconds() - start;
    result.peak_rss_kib = usage.ru_maxrss;
    if (waited != pid) {
        std::fprintf(stderr, "bench: wait4: %s\n", std::strerror(errno));
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s ended with status %d\n", argv[0], status);
    } else {
        result.ok = true;
    }
    return result;
}

// Before each timed run: no 2.txt, and the last run's output written back, so that no
// run pays for the writeback of the one before it.
void start_quiet(const std::string& dir) {
    remove_file(join_path(dir, "2.txt"));
    ::sync();
}

// One run of the program on dir/1.txt, the code number fed through a pipe. A fresh 2.txt
// each time, so that the program and cat do the same work.
Measurement run_program(const std::string& program, const std::string& dir) {
    start_quiet(dir);
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "bench: pipe: %s\n", std::strerror(errno));
        return {};
    }
    // The few bytes fit in the pipe buffer: write them all, then close, so the program
    // sees the end of its input after the code number.
    const ssize_t written = ::write(pipe_fds[1], code_number_input, sizeof code_number_input - 1);
    ::close(pipe_fds[1]);
    Measurement result;
    if (written == static_cast<ssize_t>(sizeof code_number_input - 1)) {
        const char* const argv[] = {program.c_str(), nullptr};
        result = run_child(dir, pipe_fds[0], argv);
    } else {
        std::fprintf(stderr, "bench: cannot feed the code number\n");
    }
    ::close(pipe_fds[0]);
    if (result.ok && file_size(join_path(dir, "2.txt")) != file_size(join_path(dir, "1.txt"))) {
        std::fprintf(stderr, "bench: 2.txt does not have the length of 1.txt\n");
        result.ok = false;
    }
    return result;
}

Measurement run_cat(const std::string& dir) {
    start_quiet(dir);
    const char* const argv[] = {"/bin/sh", "-c", "cat 1.txt > 2.txt", nullptr};
    return run_child(dir, -1, argv);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double to_mib(long kib) { return static_cast<double>(kib) / 1024.0; }
double to_gib(int64_t bytes) { return static_cast<double>(bytes) / static_cast<double>(1024 * mebibyte); }
const char* verdict(bool met) { return met ? "met" : "MISSED"; }

struct Report {
    double ratio = 0;
    long main_rss_kib = 0;
    long sparse_rss_kib = -1;  // -1: the sparse case was skipped
};

// The timed rounds on 512 MiB. Returns false when a run could not be measured.
bool measure_main_size(const std::string& program, const std::string& dir, Report& report) {
    const std::string input = join_path(dir, "1.txt");
    std::printf("making a %lld MiB random 1.txt ...\n", static_cast<long long>(main_size / mebibyte));
    std::fflush(stdout);
    if (!make_random_file(input, main_size)) {
        std::fprintf(stderr, "bench: cannot write %s: %s\n", input.c_str(), std::strerror(errno));
        return false;
    }
    // Written back once now, so that background writeback of the input does not fall
    // into the timed rounds; then read through so it is surely cached.
    ::sync();
    if (!read_through(input)) {
        std::fprintf(stderr, "bench: cannot read %s back\n", input.c_str());
        return false;
    }

    // One untimed run of each warms the program's pages and the output path.
    if (!run_program(program, dir).ok || !run_cat(dir).ok) return false;

    std::vector<double> program_times;
    std::vector<double> cat_times;
    long peak_rss = 0;
    std::printf("%-6s %12s %12s\n", "round", "wirrtex s", "cat s");
    for (int round = 1; round <= rounds; ++round) {
        // Alternate which one goes first, so that neither always follows the other.
        Measurement program_run;
        Measurement cat_run;
        if (round % 2 == 1) {
            program_run = run_program(program, dir);
            cat_run = run_cat(dir);
        } else {
            cat_run = run_cat(dir);
            program_run = run_program(program, dir);
        }
        if (!program_run.ok || !cat_run.ok) return false;
        program_times.push_back(program_run.seconds);
        cat_times.push_back(cat_run.seconds);
        peak_rss = std::max(peak_rss, program_run.peak_rss_kib);
        std::printf("%-6d %12.4f %12.4f\n", round, program_run.seconds, cat_run.seconds);
        std::fflush(stdout);
    }
    const double program_median = median(program_times);
    const double cat_median = median(cat_times);
    report.ratio = program_median / cat_median;
    report.main_rss_kib = peak_rss;
    std::printf("median wirrtex: %.4f s  (%.0f MB/s)\n", program_median,
                static_cast<double>(main_size) / 1e6 / program_median);
    std::printf("median cat:     %.4f s  (%.0f MB/s)\n", cat_median,
                static_cast<double>(main_size) / 1e6 / cat_median);
    std::printf("ratio wirrtex/cat: %.3f\n", report.ratio);
    std::printf("peak RSS wirrtex (512 MiB): %ld KiB (%.2f MiB)\n", peak_rss, to_mib(peak_rss));
    remove_file(join_path(dir, "2.txt"));
    remove_file(input);
    return true;
}

// Peak memory on a 4 GiB sparse input. Skipped (not failed) when the file system has too
// little room for the 4 GiB output or does not keep the input sparse.
bool measure_sparse_size(const std::string& program, const std::string& dir, Report& report) {
    const int64_t needed = sparse_size + 512 * mebibyte;
    const int64_t available = free_bytes(dir);
    if (available < needed) {
        std::printf("4 GiB sparse case skipped: %.1f GiB free, %.1f GiB needed\n", to_gib(available),
                    to_gib(needed));
        return true;
    }
    const std::string input = join_path(dir, "1.txt");
    int fd = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "bench: cannot create %s: %s\n", input.c_str(), std::strerror(errno));
        return false;
    }
    struct stat status;
    const bool extended = ::ftruncate(fd, sparse_size) == 0;
    const int extend_errno = errno;
    const bool stated = extended && ::fstat(fd, &status) == 0;
    ::close(fd);
    if (!extended || !stated || static_cast<int64_t>(status.st_blocks) * 512 > 64 * mebibyte) {
        std::printf("4 GiB sparse case skipped: the file system %s\n",
                    !extended ? std::strerror(extend_errno) : "does not keep the file sparse");
        remove_file(input);
        return true;
    }
    const Measurement run = run_program(program, dir);
    remove_file(join_path(dir, "2.txt"));
    remove_file(input);
    if (!run.ok) return false;
    report.sparse_rss_kib = run.peak_rss_kib;
    std::printf("peak RSS wirrtex (4 GiB sparse): %ld KiB (%.2f MiB), %.2f s\n", run.peak_rss_kib,
                to_mib(run.peak_rss_kib), run.seconds);
    return true;
}

void print_verdicts(const Report& report) {
    std::printf("\ntargets:\n");
    std::printf("  ratio wirrtex/cat %.3f <= %.2f: %s\n", report.ratio, ratio_target,
                verdict(report.ratio <= ratio_target));
    std::printf("  peak RSS 512 MiB %.2f MiB < 8 MiB: %s\n", to_mib(report.main_rss_kib),
                verdict(report.main_rss_kib < rss_target_kib));
    if (report.sparse_rss_kib < 0) {
        std::printf("  peak RSS 4 GiB: not measured (skipped)\n");
    } else {
        std::printf("  peak RSS 4 GiB %.2f MiB < 8 MiB: %s\n", to_mib(report.sparse_rss_kib),
                    verdict(report.sparse_rss_kib < rss_target_kib));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Absolute, because the runs start in the work folder.
    char resolved[PATH_MAX];
    if (::realpath(argc > 1 ? argv[1] : WIRRTEX_PROGRAM, resolved) == nullptr) {
        std::fprintf(stderr, "bench: cannot find the program %s: %s\n", argc > 1 ? argv[1] : WIRRTEX_PROGRAM,
                     std::strerror(errno));
        return 2;
    }
    const std::string program = resolved;
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string parent = argc > 2 ? argv[2] : (tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp");
    if (::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "bench: %s is not an executable program\n", program.c_str());
        return 2;
    }

    const int64_t available = free_bytes(parent);
    const int64_t needed = 2 * main_size + 256 * mebibyte;
    if (available < needed) {
        std::fprintf(stderr, "bench: %.2f GiB free in %s, the 512 MiB rounds need %.2f GiB\n",
                     to_gib(available), parent.c_str(), to_gib(needed));
        return 2;
    }
    std::string dir = parent + "/wirrtex-bench-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::fprintf(stderr, "bench: cannot make a work folder in %s: %s\n", parent.c_str(), std::strerror(errno));
        return 2;
    }
    std::printf("wirrtex whole-program benchmark\n  program:  %s\n  work dir: %s (%.1f GiB free)\n"
                "  %d paired rounds of alternating order on 512 MiB, code number 12345 through a pipe\n\n",
                program.c_str(), dir.c_str(), to_gib(available), rounds);

    // Other work on the machine makes the times noisy: say how busy it was.
    double load[1] = {0};
    if (::getloadavg(load, 1) == 1) std::printf("load average at start: %.2f\n\n", load[0]);

    Report report;
    bool ok = measure_main_size(program, dir, report);
    if (ok) ok = measure_sparse_size(program, dir, report);

    remove_file(join_path(dir, "1.txt"));
    remove_file(join_path(dir, "2.txt"));
    if (::rmdir(dir.c_str()) != 0)
        std::fprintf(stderr, "bench: cannot remove %s: %s\n", dir.c_str(), std::strerror(errno));
    if (!ok) {
        std::fprintf(stderr, "bench: the measurement failed\n");
        return 1;
    }
    print_verdicts(report);
    return 0;
}
