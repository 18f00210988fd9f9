#pragma once

#include <QString>
#include <functional>

// The real quotameter binary under a private Xvfb display with trayer as its tray, in a
// temporary home. Figures are printed as "name: value unit" lines.
namespace qm::bench {

// Prints start-to-icon time and resident memory after start, then after the first Claude
// fetch (a click on the icon opens the panel, which starts it). Prints why when it cannot run.
void measureExternalApp(const QString& binary, const QString& home);

}  // namespace qm::bench
