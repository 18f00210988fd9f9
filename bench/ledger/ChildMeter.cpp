// Runs a program and writes how it ended, its wall time and its peak resident memory, for
// bench_ledger. A process's peak (ru_maxrss) also counts the memory of the process it was
// started from, kept across exec: started from this small program, it is the program's own.
//
//   child_meter RESULT PROGRAM [ARGS...]
//
// RESULT gets one line: "<wait status> <microseconds> <peak kB>". Standard input, output and
// errors are the program's.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

long long microseconds(const timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        ::execv(argv[2], argv + 2);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    timespec end{};
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    std::FILE* result = std::fopen(argv[1], "w");
    if (!result) return 1;
    std::fprintf(result, "%d %lld %ld\n", status, microseconds(end) - microseconds(start),
                 usage.ru_maxrss);
    return std::fclose(result) == 0 ? 0 : 1;
}
