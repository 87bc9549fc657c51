#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "colour/colour_file.h"
#include "colour/palette_cache.h"
#include "config/run_options.h"
#include "cycle/change.h"
#include "cycle/colours.h"
#include "cycle/hook.h"
#include "cycle/launch.h"
#include "images/launch_vector.h"
#include "support/event.h"
#include "process/worker_job.h"

namespace zelvo {

// What the rest of the desktop hears of a change once it is on screen and
// its colours are known: the colour file, the exports, the templates, the
// terminals, xrdb, the hook and the status, in that order; and the colours of
// the next change, prepared meanwhile. A newer change supersedes one still
// under way: its colours are never published.
class Publisher {
public:
    struct Hooks {
        // The image the first monitor shows at the next change; none when there is none.
        std::function<const std::string*()> first_next;
        // Replaces the status file with the state as it is now.
        std::function<void()> publish_status;
    };

    Publisher(event_base* base, const RunOptions& options, Hooks hooks);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // A change whose viewer has started: the one before, if still under way,
    // is over (its closing lines are logged), and, when the Config enables
    // colours, the colour step of the first image begins, unless the change
    // keeps them. Unless `on_screen`, the change waits for on_screen() too.
    void begin(const Change& change, bool on_screen);
    // The change begun last is on screen; without `first_drawn`, the first
    // monitor's picture could not be drawn and the one before stays there,
    // and so do its palette and all that follows from it.
    void on_screen(bool first_drawn = true);
    // Completes the change begun last once it is on screen and its colours
    // are known (at once with colours off).
    void settle();
    // The next change shows other images first now: colours prepared for
    // the old ones go.
    void next_changed();
    // A reload: xrdb's program and vector are taken again from the Config in force.
    void reconfigure();

    // The palette of the last complete change, as the colour file has it;
    // none with colours off.
    const std::optional<Palette>& palette() const { return palette_; }
    std::optional<std::time_t> last_change() const { return last_change_; }

    // A child of the daemon has ended: it may be the hook's first process.
    void child_ended() { hooks_.on_child(); }
    // A quit: colours for a change that will not come go, and the hook is ended.
    void quit();
    // The loop has ended: whatever is still at work is killed.
    void after_loop();

private:
    // The last change, while its picture or its colours are still to come.
    struct Pending {
        std::vector<std::string> images;
        std::unique_ptr<ColourWatch> colours;  // none with colours off, or when they stay
        bool colours_stay = false;
        bool on_screen = false;
        std::vector<const char*> closing;  // lines logged once it is complete
    };

    void complete();
    void render(std::unique_ptr<Pending> change, const Palette& palette);
    void templates_rendered(std::optional<std::string> lines);
    void swept();
    void complete_after_templates(std::unique_ptr<Pending> change, bool coloured_now);
    void start_xrdb() const;

    event_base* base_;
    const RunOptions& options_;
    Hooks hooks_from_;
    ColourSteps colours_;
    std::unique_ptr<Pending> change_;
    // The templates' worker, one at a time so that the last rendered is the
    // last asked for; the change whose templates it renders (none once a
    // newer change superseded it); and a change whose templates wait for it.
    std::unique_ptr<WorkerJob> templates_;
    std::unique_ptr<Pending> rendering_;
    std::unique_ptr<Pending> waiting_;
    Palette waiting_palette_;
    // A killed worker's leftovers are still to go.
    bool sweeping_ = false;
    // What the hooks that may outlive the publisher ask before they reach it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::optional<Palette> palette_;
    std::optional<std::time_t> last_change_;
    // The program started to load the X resources, and its vector.
    std::string xrdb_program;
    LaunchVector xrdb_argv;
    HookRunner hooks_;
    // The palette cache kept within its bound after each complete change,
    // where no change can end the prune.
    PaletteCachePruner cache_pruner_;
    bool quitting_ = false;
};

}  // namespace zelvo
