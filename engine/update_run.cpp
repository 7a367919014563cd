#include "engine/update_run.h"

#include <utility>

#include "ui/progress_window.h"

UpdateRun::UpdateRun(LaunchOptions launchOptions)
    : options(std::move(launchOptions)), rootDir(options.root) {}

UpdateRun::~UpdateRun() = default;
