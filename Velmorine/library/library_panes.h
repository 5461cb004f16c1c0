#pragma once

// The detail area's panes that this library provides: the transfers overview, the received-files
// library and the composer's attachment list, in place of the frame's stand-ins.

#include "Velmorine/workspace/detail_panes.h"

namespace velmorine::library {

// `panes` with its transfers, library and preparation panes replaced; the conversation kept.
workspace::DetailPanes withLibraryPanes(workspace::DetailPanes panes);

}  // namespace velmorine::library
