#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace qm::test {

// While it lives, every write that would grow a regular file fails with EFBIG, as on a full
// disk. Unlike taking away permissions, this holds for root too. Process-wide: use it only
// around the step that must fail.
class WriteBlocker {
public:
    WriteBlocker() {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit none = old_;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &none);
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
