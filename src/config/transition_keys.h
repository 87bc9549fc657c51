#pragma once

#include <libconfig.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "display/transition.h"

namespace zelvo {

// "transition": a kind of transition, or "random": each change picks one of
// fade, wipe and grow.
enum class TransitionStyle { none, fade, wipe, grow, random };

// The bounds of the transition keys. A value outside them, or of another
// type, is said in one line and left for the default.
inline constexpr std::int64_t most_transition_milliseconds = 60000;  // "transition-time", from 0
inline constexpr std::int64_t most_transition_fps = 240;             // "transition-fps", from 1
inline constexpr double most_transition_degrees = 360;               // "transition-angle", either way
// "transition-easing": x of the control points within 0 and 1, as CSS keeps
// it; y may overshoot this far, the progress itself stopping at 0 and 1.
inline constexpr double least_easing_y = -1;
inline constexpr double most_easing_y = 2;

// The transition keys of the main settings or of one "per-monitor" group:
// each one given and usable, none otherwise.
struct TransitionKeys {
    std::optional<TransitionStyle> style{};                // "transition"
    std::optional<std::chrono::milliseconds> time{};       // "transition-time"
    std::optional<std::uint32_t> fps{};                    // "transition-fps"
    std::optional<double> angle{};                         // "transition-angle", degrees
    std::optional<ShapePoint> position{};                  // "transition-position", fractions of the monitor
    std::optional<std::array<double, 4>> easing{};         // "transition-easing": x1, y1, x2, y2

    bool operator==(const TransitionKeys&) const = default;
};

// "none", "fade", "wipe", "grow" or "random"; none for another word.
std::optional<TransitionStyle> transition_style_named(std::string_view name);

// "center", or "x,y" as two fractions of the monitor from 0 to 1 (spaces
// around either allowed); none for anything else.
std::optional<ShapePoint> transition_position_parsed(std::string_view text);

// The control points of a named easing, as CSS names them: "linear", "ease",
// "ease-in", "ease-out", "ease-in-out"; none for another name.
std::optional<std::array<double, 4>> transition_easing_named(std::string_view name);

// Whether four control points make an easing within the bounds above.
bool transition_easing_usable(const std::array<double, 4>& points);

// Reads the transition keys of the setting `group` (the root setting for the
// main ones). With `taken`, each key whose value cannot be taken gives one
// line and stays none; without it (a viewer that draws no transitions), each
// key given gives one line that it is ignored, and none is taken. `monitor`
// (from 0) names the "per-monitor" group in the lines; none for the main keys.
TransitionKeys read_transition_keys(const config_setting_t* group, std::optional<std::size_t> monitor, bool taken);

// The keys of `over` where given, else those of `under`.
TransitionKeys transition_keys_over(const TransitionKeys& under, const TransitionKeys& over);

// The transition the keys give, each missing part at its default (see
// Transition). `pick` chooses the kind when the style is random: each change
// passes a number of its own, monitors changing together the same.
Transition transition_of(const TransitionKeys& keys, std::uint32_t pick);

}  // namespace zelvo
