#include "manifest/config.h"

#include <stdexcept>

UpdaterConfig loadLocalConfig(UpdateRun&) { throw std::logic_error("loadLocalConfig: not built yet"); }
void checkUpdaterVersion(UpdateRun&) { throw std::logic_error("not built yet"); }
