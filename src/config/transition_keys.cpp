#include "config/transition_keys.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>

#include "support/log.h"

namespace zelvo {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A fraction from 0 to 1 written whole, without anything around it but spaces.
std::optional<double> fraction(std::string_view text) {
    text = trimmed(text);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= 0 && value <= 1)) return std::nullopt;
    return value;
}

// A number of the file, written whole or with a point; none for another type.
std::optional<double> number(const config_setting_t* setting) {
    switch (config_setting_type(setting)) {
    case CONFIG_TYPE_INT:
    case CONFIG_TYPE_INT64:
        return static_cast<double>(config_setting_get_int64(setting));
    case CONFIG_TYPE_FLOAT:
        return config_setting_get_float(setting);
    default:
        return std::nullopt;
    }
}

// A whole number within the bounds; none for another type or outside them.
std::optional<std::int64_t> whole(const config_setting_t* setting, std::int64_t least, std::int64_t most) {
    const int type = config_setting_type(setting);
    if (type != CONFIG_TYPE_INT && type != CONFIG_TYPE_INT64) return std::nullopt;
    const long long value = config_setting_get_int64(setting);
    if (value < least || value > most) return std::nullopt;
    return value;
}

// The value as the line shows it: a text quoted, cut short, with anything
// that is not printable as "?", so that syslog gets one plain line.
std::string value_text(const config_setting_t* setting) {
    switch (config_setting_type(setting)) {
    case CONFIG_TYPE_INT:
    case CONFIG_TYPE_INT64:
        return std::to_string(config_setting_get_int64(setting));
    case CONFIG_TYPE_FLOAT: {
        char text[32];
        std::snprintf(text, sizeof text, "%g", config_setting_get_float(setting));
        return text;
    }
    case CONFIG_TYPE_BOOL:
        return config_setting_get_bool(setting) ? "true" : "false";
    case CONFIG_TYPE_STRING: {
        std::string text = config_setting_get_string(setting);
        if (text.size() > 40) text = text.substr(0, 40) + "...";
        for (char& byte : text)
            if (static_cast<unsigned char>(byte) < 0x20 || static_cast<unsigned char>(byte) >= 0x7f) byte = '?';
        return "\"" + text + "\"";
    }
    case CONFIG_TYPE_GROUP:
        return "a group";
    default:
        return "a list";
    }
}

// One key: its name, what it takes (for the line that refuses a value), and
// how a usable value goes into the keys (false when it is not usable).
struct KeyReader {
    const char* name;
    const char* takes;
    bool (*take)(const config_setting_t* setting, TransitionKeys& keys);
};

const KeyReader key_readers[] = {
    {"transition", "\"none\", \"fade\", \"wipe\", \"grow\" or \"random\"",
     [](const config_setting_t* setting, TransitionKeys& keys) {
         const char* name = config_setting_get_string(setting);
         keys.style = name != nullptr ? transition_style_named(name) : std::nullopt;
         return keys.style.has_value();
     }},
    {"transition-time", "a whole number of milliseconds from 0 to 60000",
     [](const config_setting_t* setting, TransitionKeys& keys) {
         const std::optional<std::int64_t> value = whole(setting, 0, most_transition_milliseconds);
         if (value) keys.time = std::chrono::milliseconds(*value);
         return value.has_value();
     }},
    {"transition-fps", "a whole number of frames a second from 1 to 240",
     [](const config_setting_t* setting, TransitionKeys& keys) {
         const std::optional<std::int64_t> value = whole(setting, 1, most_transition_fps);
         if (value) keys.fps = static_cast<std::uint32_t>(*value);
         return value.has_value();
     }},
    {"transition-angle", "degrees from -360 to 360",
     [](const config_setting_t* setting, TransitionKeys& keys) {
         const std::optional<double> value = number(setting);
         if (!value || !(std::fabs(*value) <= most_transition_degrees)) return false;
         keys.angle = *value;
         return true;
     }},
    {"transition-position", "\"center\" or \"x,y\", fractions of the monitor from 0 to 1",
     [](const config_setting_t* setting, TransitionKeys& keys) {
         const char* text = config_setting_get_string(setting);
         keys.position = text != nullptr ? transition_position_parsed(text) : std::nullopt;
         return keys.position.has_value();
     }},
    {"transition-easing",
     "\"linear\", \"ease\", \"ease-in\", \"ease-out\", \"ease-in-out\" or four numbers x1, y1, x2, y2, "
     "x from 0 to 1 and y from -1 to 2",
     [](const config_setting_t* setting, TransitionKeys& keys) {
         if (const char* name = config_setting_get_string(setting)) {
             keys.easing = transition_easing_named(name);
             return keys.easing.has_value();
         }
         const int type = config_setting_type(setting);
         if ((type != CONFIG_TYPE_ARRAY && type != CONFIG_TYPE_LIST) || config_setting_length(setting) != 4) return false;
         std::array<double, 4> points{};
         for (unsigned int index = 0; index < 4; ++index) {
             const std::optional<double> value = number(config_setting_get_elem(setting, index));
             if (!value) return false;
             points[index] = *value;
         }
         if (!transition_easing_usable(points)) return false;
         keys.easing = points;
         return true;
     }},
};

}  // namespace

std::optional<TransitionStyle> transition_style_named(std::string_view name) {
    if (name == "none") return TransitionStyle::none;
    if (name == "fade") return TransitionStyle::fade;
    if (name == "wipe") return TransitionStyle::wipe;
    if (name == "grow") return TransitionStyle::grow;
    if (name == "random") return TransitionStyle::random;
    return std::nullopt;
}

std::optional<ShapePoint> transition_position_parsed(std::string_view text) {
    if (trimmed(text) == "center") return ShapePoint{0.5, 0.5};
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const std::optional<double> x = fraction(text.substr(0, comma)), y = fraction(text.substr(comma + 1));
    if (!x || !y) return std::nullopt;
    return ShapePoint{*x, *y};
}

std::optional<std::array<double, 4>> transition_easing_named(std::string_view name) {
    using Points = std::array<double, 4>;
    if (name == "linear") return Points{0, 0, 1, 1};
    if (name == "ease") return Points{0.25, 0.1, 0.25, 1};
    if (name == "ease-in") return Points{0.42, 0, 1, 1};
    if (name == "ease-out") return Points{0, 0, 0.58, 1};
    if (name == "ease-in-out") return Points{0.42, 0, 0.58, 1};
    return std::nullopt;
}

bool transition_easing_usable(const std::array<double, 4>& points) {
    const auto within = [](double value, double least, double most) { return value >= least && value <= most; };
    return within(points[0], 0, 1) && within(points[2], 0, 1) && within(points[1], least_easing_y, most_easing_y) &&
           within(points[3], least_easing_y, most_easing_y);
}

TransitionKeys read_transition_keys(const config_setting_t* group, std::optional<std::size_t> monitor, bool taken) {
    TransitionKeys keys;
    // Monitors are counted from 1 where the user reads them.
    const std::string where = monitor ? " for monitor " + std::to_string(*monitor + 1) : std::string();
    for (const KeyReader& reader : key_readers) {
        const config_setting_t* setting = config_setting_get_member(group, reader.name);
        if (setting == nullptr) continue;
        if (!taken)
            report("Zelvo ignores %s%s: only viewer = \"zelvo\" draws transitions", reader.name, where.c_str());
        else if (!reader.take(setting, keys))
            report("Zelvo ignores %s = %s%s: it takes %s", reader.name, value_text(setting).c_str(), where.c_str(),
                   reader.takes);
    }
    return keys;
}

TransitionKeys transition_keys_over(const TransitionKeys& under, const TransitionKeys& over) {
    return TransitionKeys{over.style ? over.style : under.style,       over.time ? over.time : under.time,
                          over.fps ? over.fps : under.fps,             over.angle ? over.angle : under.angle,
                          over.position ? over.position : under.position, over.easing ? over.easing : under.easing};
}

Transition transition_of(const TransitionKeys& keys, std::uint32_t pick) {
    Transition transition;
    switch (keys.style.value_or(TransitionStyle::none)) {
    case TransitionStyle::none: transition.kind = Transition::Kind::none; break;
    case TransitionStyle::fade: transition.kind = Transition::Kind::fade; break;
    case TransitionStyle::wipe: transition.kind = Transition::Kind::wipe; break;
    case TransitionStyle::grow: transition.kind = Transition::Kind::grow; break;
    case TransitionStyle::random: {
        constexpr Transition::Kind kinds[] = {Transition::Kind::fade, Transition::Kind::wipe, Transition::Kind::grow};
        transition.kind = kinds[pick % 3];
        break;
    }
    }
    if (keys.time) transition.time = *keys.time;
    if (keys.fps) transition.fps = *keys.fps;
    if (keys.angle) transition.angle = *keys.angle;
    if (keys.position) std::tie(transition.x, transition.y) = std::pair(keys.position->x, keys.position->y);
    if (keys.easing)
        std::tie(transition.ease_x1, transition.ease_y1, transition.ease_x2, transition.ease_y2) =
            std::tuple((*keys.easing)[0], (*keys.easing)[1], (*keys.easing)[2], (*keys.easing)[3]);
    return transition;
}

}  // namespace zelvo
