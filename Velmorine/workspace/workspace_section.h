#pragma once

namespace velmorine::workspace {

// The detail pane shown beside the peer list.
enum class WorkspaceSection { conversation, transfers, received };

}  // namespace velmorine::workspace
