#include "platform/charset.h"

#include "platform/win32/windows_api.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>

namespace zanpost::platform {

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The code page of a MIME charset name; 0 for one this system does not know.
UINT code_page(std::string_view charset)
{
    static constexpr std::array<std::pair<std::string_view, UINT>, 40> pages{{
        {"utf-8", 65001},        {"utf8", 65001},         {"us-ascii", 20127},     {"ascii", 20127},
        {"iso-8859-1", 28591},   {"latin1", 28591},       {"iso-8859-2", 28592},   {"latin2", 28592},
        {"iso-8859-3", 28593},   {"iso-8859-4", 28594},   {"iso-8859-5", 28595},   {"iso-8859-6", 28596},
        {"iso-8859-7", 28597},   {"iso-8859-8", 28598},   {"iso-8859-9", 28599},   {"iso-8859-13", 28603},
        {"iso-8859-15", 28605},  {"windows-1250", 1250},  {"cp1250", 1250},        {"windows-1251", 1251},
        {"windows-1252", 1252},  {"cp1252", 1252},        {"windows-1253", 1253},  {"windows-1254", 1254},
        {"windows-1255", 1255},  {"windows-1256", 1256},  {"windows-1257", 1257},  {"windows-1258", 1258},
        {"ibm852", 852},         {"cp852", 852},          {"ibm850", 850},         {"cp850", 850},
        {"ibm437", 437},         {"cp437", 437},          {"koi8-r", 20866},       {"koi8-u", 21866},
        {"shift_jis", 932},      {"gb2312", 936},         {"big5", 950},           {"iso-2022-jp", 50220},
    }};
    const std::string name = lower(charset);
    for (const auto& [known, page] : pages)
        if (name == known) return page;
    return 0;
}

}  // namespace

std::optional<std::string> convert_to_cp1250(std::string_view bytes, std::string_view charset)
{
    const UINT page = code_page(charset);
    if (page == 0) return std::nullopt;
    if (bytes.empty()) return std::string();
    // A byte that is no character becomes U+FFFD, which CP1250 lacks: "_" as well.
    const int in_size = static_cast<int>(bytes.size());
    const int wide_size = ::MultiByteToWideChar(page, 0, bytes.data(), in_size, nullptr, 0);
    if (wide_size <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
    ::MultiByteToWideChar(page, 0, bytes.data(), in_size, wide.data(), wide_size);

    // No best fit: "_" for what CP1250 lacks, as on every platform.
    BOOL defaulted = FALSE;
    const int out_size =
        ::WideCharToMultiByte(1250, WC_NO_BEST_FIT_CHARS, wide.data(), wide_size, nullptr, 0, "_", &defaulted);
    if (out_size <= 0) return std::nullopt;
    std::string out(static_cast<std::size_t>(out_size), '\0');
    ::WideCharToMultiByte(1250, WC_NO_BEST_FIT_CHARS, wide.data(), wide_size, out.data(), out_size, "_", &defaulted);
    return out;
}

}  // namespace zanpost::platform
