#include "transfer/extract.h"

#include <stdexcept>

void extractArchive(const std::filesystem::path&, const std::filesystem::path&) {
    throw std::logic_error("extractArchive: not built yet");
}
