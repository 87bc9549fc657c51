// The favourites and the banned images: each edit of ~/.zelvo/favourites or
// ~/.zelvo/banned runs in a worker of its own, one after the other, so that
// neither a slow disk nor a large list holds the loop up; a ban takes its
// images out of the rings once the list holds them, with every entry that
// leads to the same file another way, which the worker names.

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "control/protocol.h"
#include "cycle/lists.h"
#include "images/list_edit.h"
#include "images/ring_edit.h"
#include "support/c_text.h"
#include "support/log.h"

namespace zelvo {

namespace {

// The longest an edit may take before it is refused.
constexpr std::chrono::seconds list_deadline{10};

// The path with its links and dots resolved, as lists name images; as it is
// when it cannot be (a URL, a file gone).
std::string real_path(const std::string& path) {
    const CTextPtr resolved(realpath(path.c_str(), nullptr));
    return resolved ? std::string(resolved.get()) : path;
}

// The worker's answer: the real paths of the images, each after "+" when
// the list took it now, for a ban the rings' entries that lead to those
// files, each after "!", then "ok"; or "error: " and why. The worker holds
// a copy of the rings.
std::string edit_lists(const std::string& home, const ListRequest& request, const std::vector<const ImageRing*>& rings) {
    const std::string folder = home + "/.zelvo";
    const char* name = request.kind == ListRequest::Kind::favourite ? "favourites" : "banned";
    std::vector<std::string> paths;
    for (const std::string& path : request.paths) paths.push_back(real_path(path));
    std::optional<std::string> refused;
    std::vector<std::string> added;
    if (request.kind == ListRequest::Kind::unban) {
        // As the user names it, and as its real path.
        paths.insert(paths.begin(), request.paths.begin(), request.paths.end());
        refused = list_file_remove(folder, name, paths);
    } else {
        refused = list_file_add(folder, name, paths, added);
    }
    if (refused) return reply_error(folder + "/" + name + ": " + *refused);
    std::string answer;
    for (const std::string& path : paths) {
        const bool taken = std::find(added.begin(), added.end(), path) != added.end();
        answer += (taken ? "+" : "=") + protocol_escape(path, false) + '\n';
    }
    if (request.kind == ListRequest::Kind::ban)
        for (const std::string& entry : ring_entries_of_files(rings, paths))
            answer += "!" + protocol_escape(entry, false) + '\n';
    return answer + "ok\n";
}

// The lines of the worker's answer, its status line last; none when it is no answer.
std::optional<std::vector<std::string>> answer_lines(const std::string& answer) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < answer.size();) {
        const std::size_t end = answer.find('\n', start);
        if (end == std::string::npos) return std::nullopt;
        std::optional<std::string> line = protocol_unescape(std::string_view(answer).substr(start, end - start), false);
        if (!line) return std::nullopt;
        lines.push_back(std::move(*line));
        start = end + 1;
    }
    if (lines.empty()) return std::nullopt;
    return lines;
}

}  // namespace

ListEditor::ListEditor(event_base* base, const RunOptions& options, Listener listener)
    : base_(base), options_(options), listener_(std::move(listener)) {}

void ListEditor::ask(ListRequest request) {
    requests_.push_back(std::move(request));
    run_next();
}

void ListEditor::quit() {
    quitting_ = true;
    job_.reset();
}

// Starts the next edit that waits, unless one is at work.
void ListEditor::run_next() {
    if (job_ || requests_.empty() || quitting_) return;
    ListRequest request = std::move(requests_.front());
    requests_.pop_front();
    auto job = std::make_unique<WorkerJob>(
        base_,
        [this, &request] {
            std::vector<const ImageRing*> rings{&options_.ring};
            for (const ImageRing& ring : options_.monitor_rings) rings.push_back(&ring);
            return edit_lists(options_.home, request, rings);
        },
        list_deadline,
        [this, request](std::optional<std::string> answer) {
            // The job is over: the next one may start once this one is answered.
            const std::unique_ptr<WorkerJob> done = std::move(job_);
            finish(request, std::move(answer));
            run_next();
        });
    if (!job->started()) {
        listener_.reply(request.client, reply_error("the list cannot be edited now"));
        run_next();
        return;
    }
    job_ = std::move(job);
}

void ListEditor::finish(const ListRequest& request, std::optional<std::string> answer) {
    const std::optional<std::vector<std::string>> lines = answer ? answer_lines(*answer) : std::nullopt;
    if (!lines) {
        listener_.reply(request.client, reply_error("the list could not be edited in time"));
        return;
    }
    if (lines->back() != "ok") {
        listener_.reply(request.client, *answer);
        return;
    }
    std::vector<std::string> paths;
    std::vector<std::string> added;
    std::vector<std::string> entries;
    for (auto line = lines->begin(); line + 1 != lines->end(); ++line) {
        if (line->starts_with("!")) {
            entries.push_back(line->substr(1));
            continue;
        }
        paths.push_back(line->empty() ? *line : line->substr(1));
        if (line->starts_with("+")) added.push_back(paths.back());
    }
    for (const std::string& path : request.kind == ListRequest::Kind::unban ? request.paths : added) {
        const std::string line = (request.kind == ListRequest::Kind::favourite ? "Zelvo has added a favourite: "
                                  : request.kind == ListRequest::Kind::ban     ? "Zelvo has banned "
                                                                               : "Zelvo has unbanned ") +
                                 path;
        log_notice(line.c_str());
    }
    if (request.kind == ListRequest::Kind::unban) {
        listener_.unbanned(paths);
    } else if (request.kind == ListRequest::Kind::ban) {
        // By the names it has in the rings, by their real paths and by every
        // entry that leads to the same files; the reply goes before the
        // change that follows.
        std::vector<std::string> doomed = request.paths;
        doomed.insert(doomed.end(), paths.begin(), paths.end());
        doomed.insert(doomed.end(), entries.begin(), entries.end());
        listener_.reply(request.client, reply_ok());
        listener_.banned(doomed);
        return;
    }
    listener_.reply(request.client, reply_ok());
}

}  // namespace zelvo
