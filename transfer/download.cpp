#include "transfer/download.h"

#include <curl/curl.h>

#include <stdexcept>

DownloadClient::DownloadClient() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
        throw std::runtime_error("curl_global_init failed");
}

DownloadClient::~DownloadClient() { curl_global_cleanup(); }

void downloadFile(const std::string&, const std::filesystem::path&) {
    throw std::logic_error("downloadFile: not built yet");
}
