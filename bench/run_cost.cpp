// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// What one run of a program costs from the outside, as a script that calls it pays: the wall time from the
// spawn to its exit and its peak resident memory, the median and the range over several runs. Output goes to
// /dev/null. For krm59340-cli --simulate read (target: under 50 ms), and the window's start-up beside it:
//     build/bench/run_cost 30 build/bin/krm59340-cli --simulate read
//     build/bench/run_cost 10 build/bench/startup_probe
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RUNS PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<double> millis;
    std::vector<long> peakKb;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[2], &actions, nullptr, argv + 2, environ) != 0) {
            std::perror(argv[2]);
            return 2;
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        millis.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        peakKb.push_back(usage.ru_maxrss);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "%s ended with status %d\n", argv[2], status);
            return 1;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    std::sort(millis.begin(), millis.end());
    std::sort(peakKb.begin(), peakKb.end());
    std::printf("%d runs: start to exit %.1f ms median (%.1f .. %.1f), peak resident memory %.1f MB median "
                "(%.1f .. %.1f)\n",
                runs, millis[millis.size() / 2], millis.front(), millis.back(),
                peakKb[peakKb.size() / 2] / 1024.0, peakKb.front() / 1024.0, peakKb.back() / 1024.0);
    return 0;
}
