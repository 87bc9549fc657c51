#include "desktop/desktop_setter.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "colour/colour_child.h"
#include "colour/fetch.h"
#include "process/children.h"
#include "support/directory.h"
#include "support/log.h"
#include "support/url.h"
#include "process/worker.h"

namespace zelvo {

namespace {

bool among(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

const std::string* found(const std::vector<std::pair<std::string, std::string>>& pairs, const std::string& key) {
    for (const auto& [from, file] : pairs)
        if (from == key) return &file;
    return nullptr;
}

// The program's own name, for the log.
std::string tool_name(const ToolCall& call) {
    const std::string& path = call.argv.front();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file's extension when it is a plain one ("png", "jpeg"): the copy or
// link keeps it, for tools that tell an image by its name.
std::string plain_extension(const std::string& name) {
    std::string last = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    last = last.substr(0, last.find_first_of("?#"));
    const std::size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot + 1 == last.size() || last.size() - dot > 6) return "";
    std::string extension = last.substr(dot);
    for (std::size_t at = 1; at < extension.size(); ++at) {
        char& c = extension[at];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return "";
    }
    return extension;
}

// How a child ended, without reaping it, so that its group stays its own:
// its exit status, or 128 plus the signal that ended it.
int ended_status(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) return 255;
    }
    return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

// Every signal back to its default in the tool (SIGKILL and SIGSTOP have no other).
sigset_t defaulted_signals() {
    sigset_t set;
    sigfillset(&set);
    sigdelset(&set, SIGKILL);
    sigdelset(&set, SIGSTOP);
    return set;
}

}  // namespace

DesktopSetter::DesktopSetter(event_base* base, DesktopSettings settings)
    : base_(base),
      settings_(std::move(settings)),
      environment_(settings_.environment),
      deadline_(base, [this] { on_deadline(); }),
      repeat_(base, [this] { advance(); }) {}

DesktopSetter::~DesktopSetter() { after_loop(); }

std::optional<pid_t> DesktopSetter::running() const {
    if (pid_ <= 0) return std::nullopt;
    return pid_;
}

void DesktopSetter::show(std::vector<std::string> images, std::vector<DesktopMonitor> monitors) {
    if (quitting_) return;
    if (!settings_.desktop) {
        if (!said_unknown_)
            report("Zelvo cannot set the wallpaper through the desktop: XDG_CURRENT_DESKTOP (%s) names none it knows",
                   settings_.current_desktop.c_str());
        said_unknown_ = true;
        return;
    }
    // A URL that failed is tried again at a change that asks for it again.
    if (images != asked_) unfetched_.clear();
    asked_ = images;
    // A copy under way for images no longer asked for is not waited for.
    if (fetch_ && !among(images, fetching_)) {
        fetch_.reset();
        unlink((fetching_file_ + ".part").c_str());
        fetching_.clear();
    }
    wanted_ = Want{std::move(images), std::move(monitors)};
    advance();
}

// Moves on as far as it can without waiting: the next call of the plan, or,
// once a newer change is asked for, that change's plan in place of the rest.
void DesktopSetter::advance() {
    if (quitting_ || pid_ > 0 || repeat_.pending()) return;
    // A change still waiting for its copies holds up the plan before it; one
    // that came to nothing lets it go on.
    if (wanted_ && !make_plan() && wanted_) return;
    if (!plan_) return;
    if (plan_->next == plan_->calls.size()) {
        complete_plan();
        return;
    }
    start_call(plan_->calls[plan_->next]);
}

// The file that the monitor's image is shown from: the path itself, made
// absolute (the daemon works from "/"), or a link to it of a plain name; a
// URL's copy, or the monitor's picture before while the copy is fetched or
// when it could not be. None to leave the monitor out, or to wait (a fetch).
std::optional<std::string> DesktopSetter::file_for(const std::string& image, std::size_t monitor) {
    if (!is_url(image)) {
        const std::string path = image.front() == '/' ? image : "/" + image;
        if (desktop_takes_name(*settings_.desktop, settings_.tools, path)) return path;
        return plain_name_for(path);
    }
    if (const std::string* copy = found(copies_, image)) return *copy;
    if (among(unfetched_, image)) {
        if (monitor < applied_.size()) return applied_[monitor].file;
        return std::nullopt;
    }
    if (!fetch_) fetch(image);
    return std::nullopt;
}

std::optional<std::string> DesktopSetter::plain_name_for(const std::string& path) {
    if (const std::string* link = found(links_, path)) return *link;
    if (!have_folder()) return std::nullopt;
    const std::string link = private_name("link", path);
    if (symlink(path.c_str(), link.c_str()) != 0) {
        report("Zelvo cannot give %s a name that %s takes (%s) and leaves it out", path.c_str(),
               desktop_name(*settings_.desktop), std::strerror(errno));
        return std::nullopt;
    }
    links_.emplace_back(path, link);
    return link;
}

bool DesktopSetter::make_plan() {
    const Want& want = *wanted_;
    std::vector<DesktopPicture> pictures;
    bool waiting = false;
    for (std::size_t index = 0; index < want.images.size(); ++index) {
        const std::string& image = want.images[index];
        if (image.empty()) continue;
        std::optional<std::string> file = file_for(image, index);
        if (!file) {
            waiting = waiting || (is_url(image) && !among(unfetched_, image));
            continue;
        }
        DesktopPicture picture;
        picture.file = std::move(*file);
        if (index < want.monitors.size()) {
            picture.monitor = want.monitors[index].name;
            picture.bg_style = want.monitors[index].bg_style;
        } else if (!want.monitors.empty()) {
            picture.bg_style = want.monitors.front().bg_style;
        }
        pictures.push_back(std::move(picture));
    }
    // The change comes whole once its copies are here.
    if (waiting) return false;
    wanted_.reset();
    if (pictures.empty()) return false;
    std::vector<ToolCall> calls = desktop_plan(*settings_.desktop, settings_.tools, pictures);
    if (calls.empty()) {
        report("Zelvo finds none of the tools of %s on the search path and cannot set its wallpaper",
               desktop_name(*settings_.desktop));
        return false;
    }
    plan_ = Plan{std::move(calls), 0, 0, std::move(pictures)};
    return true;
}

void DesktopSetter::start_call(const ToolCall& call) {
    int ends[2] = {-1, -1};
    if (call.reads_output && pipe(ends) != 0) {
        report("Zelvo could not start %s: pipe failed: %s", call.argv.front().c_str(), std::strerror(errno));
        end_call(Ending::unstarted, 0);
        return;
    }
    UniqueDescriptor reader(ends[0]);
    UniqueDescriptor writer(ends[1]);
    // Nothing else the daemon starts may hold either end.
    if (reader.get() >= 0) {
        fcntl(reader.get(), F_SETFD, FD_CLOEXEC);
        fcntl(writer.get(), F_SETFD, FD_CLOEXEC);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (writer.get() >= 0) posix_spawn_file_actions_adddup2(&actions, writer.get(), STDOUT_FILENO);
    // A group of its own, which the deadline kills whole; no signal blocked
    // or ignored, none with the daemon's handlers.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    const sigset_t defaults = defaulted_signals();
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const std::string& argument : call.argv) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    // The program's exec is part of posix_spawn: one that cannot run is known here.
    const int error = posix_spawn(&child, argv.front(), &actions, &attributes, argv.data(), environment_.entries());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        report("Zelvo could not start %s to set the wallpaper of %s: %s", call.argv.front().c_str(),
               desktop_name(*settings_.desktop), std::strerror(error));
        end_call(Ending::unstarted, 0);
        return;
    }
    pid_ = child;
    output_text_.clear();
    if (reader.get() >= 0) {
        writer.reset();
        fcntl(reader.get(), F_SETFL, O_NONBLOCK);
        output_ = std::move(reader);
        output_watch_ =
            std::make_unique<DescriptorEvent>(base_, output_.get(), DescriptorEvent::Ready::read, [this] { on_output(); });
        output_watch_->start();
    }
    deadline_.schedule(desktop_tool_deadline);
}

void DesktopSetter::on_output() {
    for (int reads = 0; reads < 16; ++reads) {
        char bytes[4096];
        const ssize_t got = read(output_.get(), bytes, sizeof bytes);
        if (got > 0) {
            // Past the bound, the rest is read and dropped.
            const std::size_t room = most_tool_output - std::min(most_tool_output, output_text_.size());
            output_text_.append(bytes, std::min(room, static_cast<std::size_t>(got)));
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // Every process of the tool has let go of it.
        output_watch_.reset();
        output_.reset();
        settle_call();
        return;
    }
}

void DesktopSetter::on_child() { settle_call(); }

// The call is over once its process has ended and its output is read to the end.
void DesktopSetter::settle_call() {
    if (pid_ <= 0 || !child_ended(pid_) || output_.get() >= 0) return;
    end_call(Ending::exited, ended_status(pid_));
}

void DesktopSetter::on_deadline() {
    if (pid_ <= 0) return;
    report("Zelvo ended %s, which took longer than %lld seconds to set the wallpaper of %s",
           plan_ ? tool_name(plan_->calls[plan_->next]).c_str() : "a tool",
           static_cast<long long>(desktop_tool_deadline.count()), desktop_name(*settings_.desktop));
    end_call(Ending::overdue, 0);
}

void DesktopSetter::end_call(Ending ending, int status) {
    deadline_.cancel();
    if (pid_ > 0) {
        // Its first process is not reaped yet: the group is still the tool's,
        // and whatever it left running in it goes with it.
        kill(-pid_, SIGKILL);
        children_forget(pid_, ChildFate::killed);
        pid_ = -1;
    }
    output_watch_.reset();
    output_.reset();
    if (quitting_ || !plan_) return;
    const ToolCall& call = plan_->calls[plan_->next];
    if (ending == Ending::exited && status == 0) {
        if (call.reads_output) {
            // Xfce's listing: the rest of the plan comes from it.
            std::vector<ToolCall> rest = xfce_plan(settings_.tools, output_text_, plan_->pictures);
            plan_->calls.insert(plan_->calls.end(), rest.begin(), rest.end());
        }
        ++plan_->next;
        advance();
        return;
    }
    // Too early for plasmashell, most likely: the same call again, unless a newer change has come.
    if (ending == Ending::exited && call.repeat_when_failed && plan_->repeats < desktop_repeats && !wanted_) {
        ++plan_->repeats;
        repeat_.schedule(desktop_repeat_after);
        return;
    }
    if (ending == Ending::exited)
        report("Zelvo could not set the wallpaper of %s: %s ended with status %d", desktop_name(*settings_.desktop),
               tool_name(call).c_str(), status);
    // The rest of this plan is not carried out; the next change is.
    plan_.reset();
    advance();
}

void DesktopSetter::complete_plan() {
    applied_ = std::move(plan_->pictures);
    plan_.reset();
    remove_unused();
    advance();
}

// Whatever neither the desktop's settings nor a change under way point at
// goes, also what a daemon before this one left.
void DesktopSetter::remove_unused() {
    std::vector<std::string> kept;
    for (const DesktopPicture& picture : applied_) kept.push_back(picture.file);
    const auto unused = [&kept, this](const std::pair<std::string, std::string>& entry) {
        if (among(kept, entry.second) || among(asked_, entry.first)) return false;
        unlink(entry.second.c_str());
        return true;
    };
    std::erase_if(copies_, unused);
    std::erase_if(links_, unused);
    for (const auto& [from, file] : copies_) kept.push_back(file);
    for (const auto& [from, file] : links_) kept.push_back(file);
    if (fetch_) kept.push_back(fetching_file_ + ".part");
    const DirectoryPtr folder(opendir(settings_.folder.c_str()));
    if (!folder) return;
    while (const dirent* entry = readdir(folder.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = settings_.folder + "/" + name;
        if (!among(kept, path)) unlink(path.c_str());
    }
}

bool DesktopSetter::have_folder() {
    if (mkdir(settings_.folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
    report("Zelvo cannot make the folder %s: %s", settings_.folder.c_str(), std::strerror(errno));
    return false;
}

// A new name in the folder, unlike any a daemon before this one could have used.
std::string DesktopSetter::private_name(const char* kind, const std::string& source) {
    return settings_.folder + "/" + kind + "-" + std::to_string(getpid()) + "-" + std::to_string(++made_) +
           plain_extension(source);
}

// Fetches the URL into the folder, in a worker bounded as the colour step's
// fetch is, while the loop goes on.
void DesktopSetter::fetch(const std::string& url) {
    if (!have_folder()) {
        unfetched_.push_back(url);
        return;
    }
    const std::string file = private_name("url", url);
    const auto until = std::chrono::steady_clock::now() + colour_deadline;
    auto task = [&url, &file, until]() -> std::string {
        limit_worker(static_cast<rlim_t>(most_fetched_bytes));
        return fetch_url_whole(url, file, until).value_or("");
    };
    fetching_ = url;
    fetching_file_ = file;
    fetch_ = std::make_unique<WorkerJob>(base_, task, colour_deadline,
                                         [this, url, file](std::optional<std::string> answer) {
                                             on_fetched(url, file, answer);
                                         });
    if (!fetch_->started()) {
        fetch_.reset();
        fetching_.clear();
        unfetched_.push_back(url);
    }
}

void DesktopSetter::on_fetched(const std::string& url, const std::string& file,
                               const std::optional<std::string>& answer) {
    fetch_.reset();
    fetching_.clear();
    if (answer && answer->empty()) {
        copies_.emplace_back(url, file);
    } else {
        unlink((file + ".part").c_str());
        report("Zelvo could not fetch %s for the desktop (%s) and keeps the image before", url.c_str(),
               answer ? answer->c_str() : "it took too long");
        unfetched_.push_back(url);
    }
    advance();
}

void DesktopSetter::quit() {
    quitting_ = true;
    wanted_.reset();
    plan_.reset();
    repeat_.cancel();
    fetch_.reset();
    if (pid_ > 0) kill(-pid_, SIGTERM);
}

void DesktopSetter::after_loop() {
    quitting_ = true;
    deadline_.cancel();
    repeat_.cancel();
    fetch_.reset();
    output_watch_.reset();
    output_.reset();
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    children_forget(pid_, ChildFate::killed);
    pid_ = -1;
}

}  // namespace zelvo
