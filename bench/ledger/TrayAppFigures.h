#pragma once

#include <string>

namespace qm::bench {

// The tray application over the generated home: the real binary `app` under a private Xvfb
// display with trayer as its tray, in XDG folders of its own under `work`. Waits for its first
// index build (the index written, then its processor time still for 3 s; at most 5 minutes),
// then prints its resident memory and the processor time it takes in the next idle minute.
// Prints why when it cannot run.
void measureTrayApp(const std::string& app, const std::string& home, const std::string& work);

}  // namespace qm::bench
