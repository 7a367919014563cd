#include "manifest/json_writer.h"

#include <stdexcept>

void writeLocalManifest(const std::filesystem::path&, const std::vector<ModpakEntry>&) {
    throw std::logic_error("not built yet");
}
