#pragma once

#include <QString>

namespace th::test {

// Whether the client owning `window` answers a window manager's _NET_WM_PING within
// patienceMs: the answer comes back to the root window from the client's message loop, so a
// client whose loop is held up does not answer, and its window manager would call it "not
// responding".
bool answersPing(const QString& display, unsigned window, int patienceMs);

}  // namespace th::test
