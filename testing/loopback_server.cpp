#include "testing/loopback_server.h"

#include <algorithm>

#include "testing/temp_dir.h"

namespace fs = std::filesystem;

std::string LoopbackServer::url(const std::string& path) const { return base + path; }

void LoopbackServer::serve(const std::string& name, const std::string& body) const {
    writeFileBytes(servedDir / name, body);
}

std::vector<std::string> LoopbackServer::requests() const {
    std::vector<std::string> heads;
    if (!fs::exists(logFile)) return heads;
    std::string log = readFileBytes(logFile);
    for (size_t start = 0; start < log.size();) {
        size_t end = log.find("\r\n\r\n", start);
        if (end == std::string::npos) break;
        heads.push_back(log.substr(start, end + 4 - start));
        start = end + 4;
    }
    return heads;
}

std::size_t LoopbackServer::connections() const {
    fs::path counts = logFile;
    counts += ".connections";
    if (!fs::exists(counts)) return 0;
    const std::string lines = readFileBytes(counts);
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
}
