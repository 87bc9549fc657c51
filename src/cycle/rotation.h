#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/run_options.h"
#include "cycle/change.h"
#include "cycle/history.h"
#include "images/ring_edit.h"

namespace zelvo {

// The rotation beyond the main ring's place: the rings of the groups of
// "per-monitor" and where the cycle stands in each, the history of the sets
// shown, the images banned while the daemon runs, and the generation of the
// ring's links. The main ring and its place are the start-up record's and
// the daemon's; the rotation borrows them.
class Rotation {
public:
    Rotation(RunOptions& options, RingPlace& place);
    Rotation(const Rotation&) = delete;
    Rotation& operator=(const Rotation&) = delete;

    // The group rings of the Config in force take their new images: their places start anew.
    void start_group_places();
    // Reshuffles the main ring from its place (by name: starts again from the
    // first name), and each group's ring on its own.
    void reshuffle();

    // The next `count` images of the main ring from its place, without moving it.
    std::vector<std::string> peek_main(int count) const;
    // The images of a change of some monitors: each monitor with an image in
    // `keep` keeps it; every other one takes the image at its feed's place
    // (its group's ring, else the main one), which moves on by one. None for
    // a monitor whose feed has no image left.
    std::vector<std::optional<std::string>> take_next(const std::vector<std::optional<std::string>>& keep);
    // The image each monitor would take at a change of every monitor now,
    // without moving any place; none for a monitor whose feed has none.
    std::vector<std::optional<std::string>> peek_next(std::size_t monitors) const;
    // The node whose image the first monitor shows at its next change; none
    // when its ring is empty.
    StringNode* first_monitor_next() const;

    // A change was shown: the history records it as the change says, and the
    // main ring moves on as it says.
    void shown(const Change& change);
    const ShownHistory& history() const { return history_; }
    // The images on screen, or none before the first change.
    const std::vector<std::string>* on_screen() const { return history_on_screen(history_); }
    // Each monitor's image on screen, for a change that keeps them: none for a monitor that has none.
    std::vector<std::optional<std::string>> on_screen_kept(std::size_t monitors) const;
    // The nearest set before the one on screen that can still be shown.
    std::optional<std::size_t> earlier_set() const;
    // The nearest image before the one on screen that the monitor can show again.
    std::optional<std::string> earlier_image(std::size_t monitor) const;

    // An image of an earlier set can still be shown: a file that is there,
    // or a URL, and not banned since.
    bool still_there(const std::string& image) const;
    // The images banned: out of every ring, and never shown again by going
    // back; gives how many nodes left the rings.
    std::size_t ban(const std::vector<std::string>& images);
    void unban(const std::vector<std::string>& images);

    // Counts the edits of the ring's links (a shuffle, a ban, a merge, a
    // reload), so that a merge under way knows to walk it again.
    std::uint64_t generation() const { return generation_; }
    void links_changed() { ++generation_; }

    // The ring lost its last image, and the daemon said so.
    bool said_empty = false;

private:
    RunOptions& options_;
    RingPlace& place_;
    std::vector<RingPlace> group_places_;
    ShownHistory history_;
    std::vector<std::string> banned_;
    std::uint64_t generation_ = 0;
};

}  // namespace zelvo
