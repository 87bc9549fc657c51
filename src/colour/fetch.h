#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "support/url.h"

namespace zelvo {

// The most that one fetched wallpaper may take.
inline constexpr std::size_t most_fetched_bytes = std::size_t{64} << 20;
// The longest that connecting to a server may take, however long the fetch may.
inline constexpr std::chrono::seconds connect_deadline{10};

// Fetches an http, https or ftp URL into a new file at `path`, by libcurl:
// the server's certificate and name are checked against the system's store,
// at most five redirects are followed, and only to http, https or ftp, the
// environment's proxy variables are honoured, and at most most_fetched_bytes
// are taken before `until`. Nothing when the whole file has come; else why
// not, in a few words.
std::optional<std::string> fetch_url(const std::string& url, const std::string& path,
                                     std::chrono::steady_clock::time_point until);

// The same into `path` + ".part", renamed to `path` once whole, so that a
// viewer that reads `path` never sees half a file; the part goes when the
// fetch fails. Nothing when `path` is whole; else why not.
std::optional<std::string> fetch_url_whole(const std::string& url, const std::string& path,
                                           std::chrono::steady_clock::time_point until);

}  // namespace zelvo
