// Runs programs with an argument vector and an environment, never through a shell, so no value
// is ever parsed as a command line.
#pragma once

#include <string>
#include <vector>

struct SpawnResult {
    int status = -1;     // exit code, or 128 + signal number; -1 when it could not be started
    std::string output;  // standard output (and standard error when merged), when captured
};

struct SpawnOptions {
    std::vector<std::string> env;  // extra "NAME=value" entries added to the inherited ones
    bool capture_output = false;   // collect standard output into SpawnResult::output
    bool merge_stderr = false;     // with capture_output: standard error too
    std::string input;             // written to the child's standard input, then closed
    std::string workdir;           // run in this folder when not empty
};

// Runs argv[0] (searched in PATH when it has no '/') and waits for it.
SpawnResult spawn_run(const std::vector<std::string> &argv, const SpawnOptions &opts = {});

// Starts argv[0] without waiting; returns its process id or -1. The child is in its own
// process group and its exit is reaped by the caller (or ignored with SIGCHLD).
int spawn_detached(const std::vector<std::string> &argv, const SpawnOptions &opts = {});
