#include "rtl/string_list.h"

#include "rtl/exceptions.h"
#include "rtl/file_io.h"

namespace zanpost {

StringList split_lines(std::string_view text)
{
    if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    StringList lines;
    std::size_t p = 0;
    while (p < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", p);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(p));
            break;
        }
        lines.emplace_back(text.substr(p, end - p));
        p = end;
        if (text[p] == '\r') ++p;
        if (p < text.size() && text[p] == '\n') ++p;
    }
    return lines;
}

void load_from_file(StringList& lines, const std::string& path)
{
    lines = split_lines(read_whole_file(path));
}

std::string join_crlf(const StringList& lines)
{
    std::size_t total = 0;
    for (const auto& line : lines) total += line.size() + 2;
    std::string out;
    out.reserve(total);
    for (const auto& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void save_to_file(const StringList& lines, const std::string& path)
{
    write_whole_file(path, join_crlf(lines));
}

const std::string& line_at(const StringList& lines, long long index)
{
    if (index < 0 || index >= static_cast<long long>(lines.size())) throw EStringListError(index);
    return lines[static_cast<std::size_t>(index)];
}

}  // namespace zanpost
