#include "app/command_line.h"

#include <stdexcept>
#include <string_view>

#include "platform/paths.h"

CommandLine parseCommandLine(int argc, const char* const* argv, std::filesystem::path defaultRoot) {
    CommandLine result;
    result.options.root = std::move(defaultRoot);
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--root" || arg == "--source-dir") {
            if (i + 1 >= argc)
                throw std::runtime_error(std::string(arg) + " requires a path");
            std::filesystem::path value = pathFromText(argv[++i]);
            if (arg == "--root")
                result.options.root = std::move(value);
            else
                result.options.sourceDir = std::move(value);
        } else if (arg == "--headless") {
            result.options.headless = true;
        } else if (arg == "--verify" || arg == "--repair") {
            result.options.fileCheck = arg == "--verify" ? FileCheck::verify : FileCheck::repair;
        } else if (arg == "--help") {
            result.helpRequested = true;
            return result;
        } else if (arg.substr(0, 2) == "--") {
            throw std::runtime_error("Unknown option: " + std::string(arg));
        } else {
            result.options.root = pathFromText(std::string(arg));
        }
    }
    return result;
}
