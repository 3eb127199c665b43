#include "localization/Format.h"

#include <charconv>

namespace keelbox {

namespace {

std::string asText(const FormatArg& arg) {
    if (const auto* text = std::get_if<std::string>(&arg))
        return *text;
    return std::to_string(std::get<std::int64_t>(arg));
}

// A text given for "%ld": its leading decimal integer (after blanks, with an optional sign), or 0.
std::int64_t asInteger(const FormatArg& arg) {
    if (const auto* number = std::get_if<std::int64_t>(&arg))
        return *number;
    std::string_view text = std::get<std::string>(arg);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() ? value : 0;
}

} // namespace

std::string formatText(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16);
    auto next = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        if (c != '%') {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::string_view rest = format.substr(i + 1);
        if (rest.starts_with('%')) {
            out.push_back('%');
            i += 2;
        } else if (rest.starts_with('@')) {
            if (next != args.end())
                out += asText(*next++);
            i += 2;
        } else if (rest.starts_with("ld")) {
            if (next != args.end())
                out += std::to_string(asInteger(*next++));
            i += 3;
        } else {
            // Not a sequence of ours: keep it literally.
            out.push_back('%');
            ++i;
        }
    }
    return out;
}

std::string formatLocalized(std::string_view key, AppLanguage language,
                            std::initializer_list<FormatArg> args) {
    return formatText(localizedText(key, language), args);
}

} // namespace keelbox
