#pragma once

#include <curl/curl.h>

#include <memory>

namespace zelvo {

// Owns one libcurl transfer handle.
struct CurlDelete {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDelete>;

}  // namespace zelvo
