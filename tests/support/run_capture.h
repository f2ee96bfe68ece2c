#pragma once
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace wirrtex {

// What one entry of the working directory is, before or after a run.
enum class EntryKind { absent, regular, directory, symlink, other };

// How to make one entry before a run.
//  file:      a regular file holding `bytes`, with permission bits `mode`
//  directory: an empty directory
//  symlink:   a symbolic link whose target is `bytes` (relative or absolute)
//  hard_link: a second name for the entry named `bytes` (made earlier in the list)
enum class MakeKind { file, directory, symlink, hard_link };

// One entry to make in the fresh working directory before the run, in list order.
struct EntryBefore {
    std::string name;
    MakeKind kind = MakeKind::file;
    std::string bytes;
    mode_t mode = 0644;
};

EntryBefore regular_file(std::string name, std::string bytes, mode_t mode = 0644);
EntryBefore directory_entry(std::string name);
EntryBefore symlink_entry(std::string name, std::string target);
EntryBefore hard_link_entry(std::string name, std::string existing_name);

// One entry found in the working directory after the run (top level only).
struct EntryAfter {
    EntryKind kind = EntryKind::absent;
    std::string bytes;  // regular: its contents; symlink: its target
    mode_t mode = 0;    // permission bits
    nlink_t link_count = 0;
};

// A user and group by number.
struct UnixUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

// Who can run something that must not have root's right to write every file: write
// protection only shows for a user without it.
struct UnprivilegedUser {
    std::optional<UnixUser> switch_to;  // set when this process is root: the user to become
    std::string impossible;             // not empty: this process is root and cannot become
                                        // another user (the reason); such a check is skipped
};

// When this process runs as root: user "nobody" with its group (else 65534 for both), after
// a forked child has shown that it can become that user. Otherwise this process's own user
// will do and nothing is to be switched.
UnprivilegedUser find_unprivileged_user();

// Makes the calling process `user` for good: supplementary groups dropped, then the group,
// then the user. It allocates nothing, so a forked child may call it before exec. False with
// errno set when a step fails.
bool become_user(UnixUser user);

struct CaptureRequest {
    std::string stdin_bytes;           // fed through a pipe, then the pipe is closed
    std::vector<EntryBefore> entries;  // made in the working directory before the run
    std::string program = WIRRTEX_BINARY;
    int timeout_ms = 20000;            // the child is killed when it runs longer
    // Unset: the program runs as this process's user. Set: the working directory and every
    // entry made in it are handed to this user (modes kept), and the child becomes the user
    // before it starts the program, so that an entry's mode alone decides what it may do.
    std::optional<UnixUser> run_as;
};

struct CaptureResult {
    bool started = false;    // false: the harness could not set up or start the run (see problem)
    std::string problem;     // what went wrong in the harness itself
    bool timed_out = false;  // the child was killed for running too long
    bool exited = false;     // ended by exit; exit_code is valid
    int exit_code = -1;
    int signal_number = 0;   // ended by this signal
    std::string out;         // every byte the child wrote to standard output
    std::string err;         // every byte the child wrote to standard error
    std::map<std::string, EntryAfter> entries;  // the working directory after the run
};

// Runs the program in a fresh temporary directory made from request.entries, with standard
// input a pipe fed with request.stdin_bytes and standard output and error captured through
// pipes. Never hangs: the child is killed after the timeout. The directory is removed again.
// When the child cannot prepare itself (become request.run_as, enter the directory, start
// the program), the result is not started and the problem says which step failed.
CaptureResult run_captured(const CaptureRequest& request);

// The entry after the run, or an absent one.
EntryAfter entry_after(const CaptureResult& result, const std::string& name);

// A one-line account of how the child ended and what the harness saw, for failure messages.
std::string describe_ending(const CaptureResult& result);

// Bytes shown with C escapes for everything outside printable ASCII, for failure messages.
std::string escape_bytes(const std::string& bytes);

}  // namespace wirrtex
