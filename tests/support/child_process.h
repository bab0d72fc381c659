#pragma once

#include <QProcess>
#include <csignal>
#include <sys/prctl.h>

// A program a test starts ends with the test: a test that aborts (a failed assertion in a
// sanitizer build, a crash) would otherwise leave it running, and one that shares the test's
// output keeps ctest waiting for its pipe until the time-out.
inline void endsWithTheTest(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}
