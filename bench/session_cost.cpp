// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// What a script pays that drives krm59340-cli session through pipes, one command written and its answer read
// before the next:
//     steps:    the whole run from the spawn to the exit, stepping channel 1 through 10 codes with a
//               read-back of it after each (target at 1 ms per line request: under 10 s)
//     overhead: the round trip of one command, the median over many: "wait 0" (the session's own cost:
//               reading, parsing, answering; target: under 1 ms) and "read 1" beside it
//     build/bench/session_cost steps build/bin/krm59340-cli --simulate --line-latency 1ms --json
//     build/bench/session_cost overhead build/bin/krm59340-cli --simulate --json
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The program with "session" after its arguments, its stdin and stdout on pipes.
class Session {
public:
    explicit Session(char** argv)
    {
        std::vector<char*> args(argv, argv + count(argv));
        static char session[] = "session";
        args.push_back(session);
        args.push_back(nullptr);
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            std::perror("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            std::perror(args[0]);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        to_ = ::fdopen(in[1], "w");
        from_ = ::fdopen(out[0], "r");
    }

    // Writes the line and waits for its answer; false when the answer is no ok.
    bool ask(const std::string& line)
    {
        std::fputs((line + "\n").c_str(), to_);
        std::fflush(to_);
        char answer[65536];
        if (!std::fgets(answer, sizeof answer, from_))
            return false;
        return std::strstr(answer, "\"ok\":true") == answer + 1 || std::strncmp(answer, "ok ", 3) == 0;
    }

    // Ends the input and waits for the exit: its status.
    int finish()
    {
        std::fclose(to_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        std::fclose(from_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static std::size_t count(char** argv)
    {
        std::size_t n = 0;
        while (argv[n])
            ++n;
        return n;
    }

    pid_t pid_ = 0;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode != "steps" && mode != "overhead") {
        std::fprintf(stderr, "usage: %s steps|overhead PROGRAM [OPTIONS...]\n", argv[0]);
        return 2;
    }
    if (mode == "steps") {
        const auto start = Clock::now();
        Session session(argv + 2);
        bool ok = true;
        for (int step = 0; step < 10; ++step)
            ok = session.ask("set 1 --code " + std::to_string(step * 100)) && session.ask("read 1") && ok;
        const int status = session.finish();
        std::printf(
            "10 steps of channel 1, each read back, in one session: %.0f ms from the spawn to the exit%s\n",
            millisSince(start), ok && status == 0 ? "" : " (a command failed)");
        return ok && status == 0 ? 0 : 1;
    }
    Session session(argv + 2);
    for (const char* command : {"wait 0", "read 1"}) {
        std::vector<double> trips;
        for (int i = 0; i < 2000; ++i) {
            const auto start = Clock::now();
            if (!session.ask(command)) {
                std::fprintf(stderr, "%s failed\n", command);
                return 1;
            }
            trips.push_back(millisSince(start));
        }
        std::printf("%s: %.3f ms a command, median of %zu round trips (fastest %.3f)\n", command,
                    median(trips), trips.size(), *std::min_element(trips.begin(), trips.end()));
    }
    return session.finish();
}
