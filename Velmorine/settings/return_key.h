#pragma once

// Return and Enter work a toggle or a disclosure the way Space does: the settings are used from
// the keyboard alone, and Return is the key people try first.

class QAbstractButton;

namespace velmorine::settings {

void clickOnReturn(QAbstractButton* button);

}  // namespace velmorine::settings
