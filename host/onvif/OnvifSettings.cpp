// The ONVIF bridge's settings: durations and the preset file's default place.
#include "host/onvif/OnvifSettings.h"

#include <charconv>
#include <cstdio>
#include <cmath>
#include <cstdlib>

namespace k47host::onvif {

std::string DefaultPresetFile() {
    // systemd sets STATE_DIRECTORY (a colon-separated list) when the unit has StateDirectory=.
    const char* state = std::getenv("STATE_DIRECTORY");
    std::string folder = state != nullptr && *state != '\0' ? state : "/var/lib/k47ptz";
    folder = folder.substr(0, folder.find(':'));
    return folder + "/onvif-presets";
}

std::optional<std::chrono::milliseconds> ParseXsDuration(std::string_view text) {
    if (text.empty() || text.front() != 'P')
        return std::nullopt;
    text.remove_prefix(1);
    bool inTime = false;
    bool anyField = false;
    double total = 0;  // seconds
    // Field designators in the order they must come, with their length in seconds.
    constexpr struct {
        char designator;
        bool time;
        double seconds;
    } kFields[] = {{'D', false, 86400}, {'H', true, 3600}, {'M', true, 60}, {'S', true, 1}};
    size_t next = 0;
    while (!text.empty()) {
        if (text.front() == 'T') {
            if (inTime)
                return std::nullopt;
            inTime = true;
            text.remove_prefix(1);
            if (text.empty())
                return std::nullopt;  // "PT" names no field
            continue;
        }
        double value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value,
                                            std::chars_format::fixed);
        if (error != std::errc() || end == text.data() || end == text.data() + text.size() ||
            !std::isfinite(value) || value < 0)
            return std::nullopt;
        const std::string_view number(text.data(), static_cast<size_t>(end - text.data()));
        const char designator = *end;
        text.remove_prefix(number.size() + 1);
        // Years and months have no fixed length; "+5" and "-5" are not xs:duration numbers.
        if (number.front() == '+' || number.front() == '-')
            return std::nullopt;
        bool known = false;
        while (next < std::size(kFields)) {
            const auto& field = kFields[next++];
            if (field.designator == designator && field.time == inTime) {
                // Only seconds may have a fraction.
                if (designator != 'S' && number.find('.') != std::string_view::npos)
                    return std::nullopt;
                total += value * field.seconds;
                known = true;
                break;
            }
        }
        if (!known)
            return std::nullopt;
        anyField = true;
    }
    if (!anyField || total > 1e9)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<int64_t>(std::llround(total * 1000)));
}

std::string FormatXsDuration(std::chrono::milliseconds duration) {
    const int64_t ms = duration.count() < 0 ? 0 : duration.count();
    std::string out = "PT" + std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        char fraction[8];
        std::snprintf(fraction, sizeof(fraction), ".%03d", static_cast<int>(ms % 1000));
        std::string digits = fraction;
        while (digits.back() == '0')
            digits.pop_back();
        out += digits;
    }
    return out + "S";
}

}  // namespace k47host::onvif
