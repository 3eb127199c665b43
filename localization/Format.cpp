#include "localization/Format.h"

#include <cstdio>

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
    return formatText(Localizer::text(key, language), args);
}

std::string inertText(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    const auto visible = [&result](unsigned code) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\x%02X", code);
        result += buffer;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F) {
            visible(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080…U+009F, the C1 controls, CSI among them.
            visible(next);
            ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

} // namespace keelbox
