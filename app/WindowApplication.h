#pragma once

#include "server/LaunchOptions.h"

namespace quorvi {

// The application with its main window and tray icon. Returns the exit code.
// Thread: main.
int runWindowApplication(int argc, char** argv, const LaunchOptions& options);

} // namespace quorvi
