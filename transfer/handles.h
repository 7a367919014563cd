#pragma once
#include <archive.h>
#include <curl/curl.h>

#include <memory>

// One owner per C handle type, freed by the library's own function.
struct CurlEasyFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;

struct CurlListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

struct CurlShareFree {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};
using CurlShare = std::unique_ptr<CURLSH, CurlShareFree>;

struct ArchiveReadFree {
    void operator()(archive* handle) const { archive_read_free(handle); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;

struct ArchiveWriteFree {
    void operator()(archive* handle) const { archive_write_free(handle); }
};
using ArchiveWriter = std::unique_ptr<archive, ArchiveWriteFree>;
