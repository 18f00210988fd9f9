#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>

namespace qm::test {

// While it lives, every write that would grow a regular file past `bytesAllowed` (by default:
// at all) fails with EFBIG, as on a full disk; the write that crosses the limit is cut short,
// as a real disk filling up part way through cuts it. Unlike taking away permissions, this
// holds for root too. Process-wide: use it only around the step that must fail.
class WriteBlocker {
public:
    explicit WriteBlocker(std::int64_t bytesAllowed = 0) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = rlim_t(bytesAllowed);
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~WriteBlocker() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        ::signal(SIGXFSZ, oldHandler_);
    }
    WriteBlocker(const WriteBlocker&) = delete;
    WriteBlocker& operator=(const WriteBlocker&) = delete;

private:
    rlimit old_{};
    sighandler_t oldHandler_ = SIG_DFL;
};

}  // namespace qm::test
