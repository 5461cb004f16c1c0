#pragma once

// Text that reaches a widget from a peer or a table is shown as it is: labels take plain text,
// tooltips are escaped rich text, and button titles double their "&" so that no text makes a
// mnemonic.

#include <QString>

namespace velmorine::workspace {

// A tooltip that shows `text` literally, whatever markup it holds.
QString escapedToolTip(const QString& text);

// A button title that shows `text` literally, with no mnemonic.
QString buttonTitle(const QString& text);

}  // namespace velmorine::workspace
