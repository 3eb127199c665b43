#include "core/ShownText.h"

#include <cstdio>

namespace keelbox {

namespace {

// The code point starting at `text[i]` and its length in bytes; length 0 for a byte that does
// not start a well-formed UTF-8 sequence (overlong forms and surrogates included).
std::pair<char32_t, std::size_t> decode(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned lead = byte(0);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size())
        return {0, 0};
    char32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80)
            return {0, 0};
        code = (code << 6) | (byte(k) & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return {0, 0};
    return {code, length};
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Characters that draw nothing or change how the text around them is laid out.
bool isInvisible(char32_t c) {
    return c == 0x00AD || c == 0x034F || c == 0x061C || c == 0x115F || c == 0x1160 || c == 0x180E ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0x3164 || c == 0xFEFF || c == 0xFFA0 ||
           (c >= 0xE0000 && c <= 0xE007F);
}

void appendVisible(std::string& out, const char* form, unsigned code) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, form, code);
    out += buffer;
}

} // namespace

std::string inertText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto [code, length] = decode(text, i);
        if (length == 0) {
            appendVisible(out, "\\x%02X", static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (isControl(code))
            appendVisible(out, "\\x%02X", static_cast<unsigned>(code));
        else if (isInvisible(code))
            appendVisible(out, "\\u%04X", static_cast<unsigned>(code));
        else
            out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

std::string inertLines(std::string_view text) {
    std::string out;
    while (true) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        out += inertText(line);
        if (end == std::string_view::npos)
            return out;
        out += '\n';
        text.remove_prefix(end + 1);
    }
}

std::string shownName(std::string_view name, std::size_t maxLength) {
    std::string shown = inertText(name);
    // inertText leaves well-formed UTF-8: characters start at every byte that is no continuation.
    std::size_t characters = 0, cut = shown.size();
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if ((static_cast<unsigned char>(shown[i]) & 0xC0) == 0x80)
            continue;
        if (++characters == maxLength)
            cut = i;
        if (characters > maxLength) {
            shown.resize(cut);
            return shown + "…";
        }
    }
    return shown;
}

std::string isolatedName(std::string_view name) {
    return "\u2068" + shownName(name) + "\u2069";
}

} // namespace keelbox
