// Stand-in application for the mevo-host tests. Each start appends a line to var/starts and
// leaves tmp/start-N; start 1 exits with status 3, start 2 asks for a reboot and exits, later
// starts run until SIGTERM and record it in var/stopped.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "common/fileutil.h"
#include "common/paths.h"
#include "platform/reboot/reboot.h"

namespace {
std::atomic<int> g_term{0};
void on_term(int) {
    g_term.store(1);
}

void append(const std::string &path, const std::string &line) {
    FILE *f = std::fopen(path.c_str(), "a");
    if (!f) return;
    std::fputs(line.c_str(), f);
    std::fclose(f);
}
}  // namespace

int main() {
    signal(SIGTERM, on_term);
    std::string starts_path = mevo_path("/var/starts");
    std::string starts;
    file_read_all(starts_path, starts);
    int n = 1;
    for (char c : starts) n += c == '\n';
    char cwd[512] = "";
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    append(starts_path, std::to_string(n) + " " + cwd + "\n");
    append(mevo_path("/tmp/start-" + std::to_string(n)), "x");
    std::fprintf(stderr, "fake app start %d\n", n);
    if (n == 1) return 3;
    if (n == 2) {
        platform_reboot();
        return 0;
    }
    while (!g_term.load()) pause();
    append(mevo_path("/var/stopped"), "SIGTERM\n");
    return 0;
}
