#include "localization/Format.h"

#include <charconv>
#include <vector>

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

// The form of "%{…|…}" for `n`: with two forms the first is for one and the second for every
// other count (English); with three, one, a few (2–4, 22–24, … but not 12–14) and many (Polish).
std::size_t pluralForm(std::int64_t n, std::size_t forms) {
    const std::uint64_t count =
        n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    if (forms == 2)
        return count == 1 ? 0 : 1;
    if (forms == 3) {
        if (count == 1)
            return 0;
        const auto lastDigit = count % 10, lastTwo = count % 100;
        return lastDigit >= 2 && lastDigit <= 4 && (lastTwo < 12 || lastTwo > 14) ? 1 : 2;
    }
    return 0;
}

} // namespace

std::string formatText(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16);
    auto next = args.begin();
    std::int64_t lastCount = 0;
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
            if (next != args.end()) {
                lastCount = asInteger(*next++);
                out += std::to_string(lastCount);
            }
            i += 3;
        } else if (const std::size_t end = rest.find('}');
                   rest.starts_with('{') && end != std::string_view::npos) {
            std::vector<std::string_view> forms;
            for (std::string_view list = rest.substr(1, end - 1);;) {
                const std::size_t bar = list.find('|');
                forms.push_back(list.substr(0, bar));
                if (bar == std::string_view::npos)
                    break;
                list.remove_prefix(bar + 1);
            }
            out += forms[pluralForm(lastCount, forms.size())];
            i += end + 2;
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
