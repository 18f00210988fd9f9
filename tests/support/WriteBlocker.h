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
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        rlimit none = m_old;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    ~WriteBlocker() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        ::signal(SIGXFSZ, m_oldHandler);
    }
    WriteBlocker(const WriteBlocker&) = delete;
    WriteBlocker& operator=(const WriteBlocker&) = delete;

private:
    rlimit m_old{};
    sighandler_t m_oldHandler = SIG_DFL;
};

}  // namespace qm::test
