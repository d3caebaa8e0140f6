#include "platform/linux/gnome/GnomeWindowList.h"

namespace quorvi {

WindowListResult GnomeWindowList::onScreenWindows() {
    return {std::nullopt, "GNOME ne donne pas la liste des fenêtres des autres applications"};
}

} // namespace quorvi
