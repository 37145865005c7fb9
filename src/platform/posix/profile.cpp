#include "platform/profile.h"

#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/file_io.h"

#include <optional>
#include <string_view>

namespace zanpost::platform {

namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) noexcept
{
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool same_name(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    return true;
}

std::string_view unquote(std::string_view value) noexcept
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// The next line of `text` from `pos`, without its line end; CR, LF and CR LF all end a line.
std::string_view next_line(std::string_view text, std::size_t& pos) noexcept
{
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] != '\r' && text[pos] != '\n') ++pos;
    const std::string_view line = text.substr(start, pos - start);
    if (pos < text.size()) {
        const bool crlf = text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n';
        pos += crlf ? 2 : 1;
    }
    return line;
}

// The value of the key in the first section of that name, if both are there.
std::optional<std::string_view> find_value(std::string_view text, std::string_view section, std::string_view key)
{
    enum class Where { before, inside, after };
    Where where = Where::before;
    std::size_t pos = 0;
    while (pos < text.size() && where != Where::after) {
        const std::string_view line = trim(next_line(text, pos));
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            if (where == Where::inside) {
                where = Where::after;
                continue;
            }
            std::string_view name = line.substr(1);
            name = trim(name.substr(0, name.find(']')));
            if (same_name(name, section)) where = Where::inside;
            continue;
        }
        if (where != Where::inside) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (same_name(trim(line.substr(0, eq)), key)) return unquote(trim(line.substr(eq + 1)));
    }
    return std::nullopt;
}

}  // namespace

std::string profile_string(const std::string& section, const std::string& key,
                           const std::string& default_value, std::size_t buffer_size,
                           const std::string& path)
{
    std::string result = default_value;
    try {
        std::string text = read_whole_file(path);
        // A NUL byte ends the text, as it ends a line list loaded from a file.
        if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
        std::string_view view = text;
        // Tolerate the byte-order mark some Linux editors put in front of a UTF-8 file.
        if (view.starts_with("\xEF\xBB\xBF")) view.remove_prefix(3);
        if (const auto value = find_value(view, section, key)) result.assign(*value);
    } catch (const EFOpenError&) {
        // A missing or unreadable file gives the default, like a missing key.
    }
    const std::size_t limit = buffer_size == 0 ? 0 : buffer_size - 1;
    if (result.size() > limit) result.resize(limit);
    return result;
}

}  // namespace zanpost::platform
