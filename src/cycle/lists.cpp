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
#include "cycle/cycle.h"
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

void finish_edit(DaemonState& state, const ListRequest& request, std::optional<std::string> answer) {
    const std::optional<std::vector<std::string>> lines = answer ? answer_lines(*answer) : std::nullopt;
    std::string reply;
    if (!lines) {
        reply = reply_error("the list could not be edited in time");
    } else if (lines->back() != "ok") {
        reply = *answer;
    } else {
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
        reply = reply_ok();
        for (const std::string& path : request.kind == ListRequest::Kind::unban ? request.paths : added) {
            const std::string line = (request.kind == ListRequest::Kind::favourite ? "Zelvo has added a favourite: "
                                      : request.kind == ListRequest::Kind::ban     ? "Zelvo has banned "
                                                                                   : "Zelvo has unbanned ") +
                                     path;
            log_notice(line.c_str());
        }
        if (request.kind == ListRequest::Kind::unban) {
            std::erase_if(state.banned, [&paths](const std::string& image) {
                return std::find(paths.begin(), paths.end(), image) != paths.end();
            });
        } else if (request.kind == ListRequest::Kind::ban) {
            // Out of the rings by the names it has there, by their real paths and by every
            // entry that leads to the same files; then the next images.
            std::vector<std::string> doomed = request.paths;
            doomed.insert(doomed.end(), paths.begin(), paths.end());
            doomed.insert(doomed.end(), entries.begin(), entries.end());
            state.banned.insert(state.banned.end(), doomed.begin(), doomed.end());
            const auto is_doomed = [&doomed](const std::string& image) {
                return std::find(doomed.begin(), doomed.end(), image) != doomed.end();
            };
            std::size_t removed = ring_remove(state.options.ring, state.place, is_doomed);
            // The groups' own rings too; a monitor whose ring loses its last image takes the main ones.
            for (std::size_t group = 0; group < state.group_places.size(); ++group)
                removed += ring_remove(state.options.monitor_rings[group], state.group_places[group], is_doomed);
            if (removed > 0) ring_changed(state);
            if (state.control) state.control->reply(request.client, reply);
            show_next(state);
            return;
        }
    }
    if (state.control) state.control->reply(request.client, reply);
}

}  // namespace

void run_list_requests(DaemonState& state) {
    if (state.list_job || state.list_requests.empty() || state.quitting) return;
    ListRequest request = std::move(state.list_requests.front());
    state.list_requests.pop_front();
    const std::string home = state.options.home;
    auto job = std::make_unique<WorkerJob>(
        state.events->base.get(),
        [&home, &request, &state] {
            std::vector<const ImageRing*> rings{&state.options.ring};
            for (const ImageRing& ring : state.options.monitor_rings) rings.push_back(&ring);
            return edit_lists(home, request, rings);
        },
        list_deadline,
        [&state, request](std::optional<std::string> answer) {
            // The job is over: the next one may start once this one is answered.
            const std::unique_ptr<WorkerJob> done = std::move(state.list_job);
            finish_edit(state, request, std::move(answer));
            run_list_requests(state);
        });
    if (!job->started()) {
        if (state.control) state.control->reply(request.client, reply_error("the list cannot be edited now"));
        run_list_requests(state);
        return;
    }
    state.list_job = std::move(job);
}

}  // namespace zelvo
