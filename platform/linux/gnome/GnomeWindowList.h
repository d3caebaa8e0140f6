#pragma once

#include "capture/WindowListSource.h"

namespace quorvi {

// The windows of GNOME, for the capture visibility probe: Mutter tells no
// client about other applications' windows (only GNOME Shell's own
// extensions see them), so the list is never available and every call says
// why rather than guess one.
//
// Thread: any; it holds nothing and asks nobody.
class GnomeWindowList final : public WindowListSource {
public:
    WindowListResult onScreenWindows() override;
};

} // namespace quorvi
