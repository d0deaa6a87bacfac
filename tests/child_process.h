// Runs a function in a forked child and collects its exit status and the
// exact bytes it wrote to stderr (and stdout), for checks of fatal exits,
// traces and dumps.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

struct ChildResult {
    int exit_code = -1;  // -1 if the child did not exit normally
    std::string err;
};

inline ChildResult run_in_child(const std::function<void()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        body();
        fflush(nullptr);
        _exit(0);
    }
    close(fds[1]);
    ChildResult result;
    char buf[4096];
    ssize_t got;
    while ((got = read(fds[0], buf, sizeof buf)) > 0) result.err.append(buf, static_cast<size_t>(got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

// The body ends the process with exactly `message` and a newline, status 1.
inline void expect_fatal(const std::function<void()> &body, const std::string &message) {
    const ChildResult r = run_in_child(body);
    EXPECT_EQ(r.exit_code, 1) << message;
    EXPECT_EQ(r.err, message + "\n");
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ChildOutput {
    int exit_code = -1;  // -1 if the child did not exit normally
    std::string out;
    std::string err;
};

// run_in_child that also collects the exact bytes written to stdout. The
// child's stdout goes to an unlinked temporary file, read back after it ends,
// so that neither stream can block the other.
inline ChildOutput run_in_child_with_stdout(const std::function<void()> &body) {
    FILE *out_file = tmpfile();
    if (out_file == nullptr) return {};
    const int out_fd = fileno(out_file);
    const ChildResult r = run_in_child([&] {
        dup2(out_fd, STDOUT_FILENO);
        body();
        fflush(stdout);
    });
    ChildOutput result{r.exit_code, {}, r.err};
    rewind(out_file);
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, out_file)) > 0) result.out.append(buf, got);
    fclose(out_file);
    return result;
}
