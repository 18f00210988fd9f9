#pragma once

#include <QIcon>

namespace qm::gui::Symbols {

// The desktop theme's icon when it has one, else a small drawing in the text colour (drawn for
// each size and screen scale it is shown at), so a bare desktop never shows an empty button.
QIcon person();
QIcon refresh();
QIcon chart();
QIcon key();
QIcon settings();
// Three dots: work under way, where a button would otherwise show its symbol.
QIcon busy();

}  // namespace qm::gui::Symbols
