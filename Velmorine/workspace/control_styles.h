#pragma once

// The workspace's control styles, one branch each on Linux: plain buttons are flat, link buttons
// flat in the link colour, and the sidebar's list lies on the window background without a frame.

class QAbstractButton;
class QAbstractItemView;

namespace velmorine::workspace {

void usePlainButtonStyle(QAbstractButton* button);
void useLinkButtonStyle(QAbstractButton* button);
void useSidebarListBackground(QAbstractItemView* list);

}  // namespace velmorine::workspace
