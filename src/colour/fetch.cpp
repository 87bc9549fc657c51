#include "colour/fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/curl.h"
#include "process/process.h"

namespace zelvo {

namespace {

constexpr const char* fetched_protocols = "http,https,ftp";
constexpr long most_redirects = 5;
// Left of the deadline for reading the fetched file once it is complete.
constexpr std::chrono::seconds reading_margin{2};

struct Download {
    int file;
    std::size_t bytes = 0;
    bool too_large = false;
    int error = 0;
};

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
    Download& download = *static_cast<Download*>(user);
    const std::size_t length = size * count;
    if (download.bytes + length > most_fetched_bytes) {
        download.too_large = true;
        return 0;
    }
    if (!write_all(download.file, std::string_view(data, length))) {
        download.error = errno;
        return 0;
    }
    download.bytes += length;
    return length;
}

}  // namespace

std::optional<std::string> fetch_url(const std::string& url, const std::string& path,
                                     std::chrono::steady_clock::time_point until) {
    const UniqueDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) return std::string(std::strerror(errno));
    const CurlPtr curl(curl_easy_init());
    if (!curl) return std::string("libcurl cannot start");
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - reading_margin - std::chrono::steady_clock::now());
    Download download{file.get()};
    char error[CURL_ERROR_SIZE] = "";
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, fetched_protocols);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, fetched_protocols);
#else
    static_cast<void>(fetched_protocols);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS | CURLPROTO_FTP);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS | CURLPROTO_FTP);
#endif
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, most_redirects);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    // An error page is no wallpaper.
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::chrono::milliseconds(connect_deadline).count()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(left.count(), 1)));
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(most_fetched_bytes));
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "zelvo");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, on_data);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &download);
    const CURLcode code = curl_easy_perform(handle);
    if (download.too_large || code == CURLE_FILESIZE_EXCEEDED) return std::string("it is larger than 64 MiB");
    if (download.error != 0) return std::string(std::strerror(download.error));
    if (code != CURLE_OK) return std::string(error[0] != '\0' ? error : curl_easy_strerror(code));
    return std::nullopt;
}

std::optional<std::string> fetch_url_whole(const std::string& url, const std::string& path,
                                           std::chrono::steady_clock::time_point until) {
    const std::string part = path + ".part";
    if (std::optional<std::string> why = fetch_url(url, part, until)) {
        unlink(part.c_str());
        return why;
    }
    if (rename(part.c_str(), path.c_str()) != 0) return std::string(std::strerror(errno));
    return std::nullopt;
}

}  // namespace zelvo
