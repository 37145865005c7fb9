#include "app/config.h"

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "rtl/number.h"

namespace zanpost {

TZprava Zprava;
TUpozorneni Upozorneni;

namespace {

constexpr std::size_t profile_buffer_size = 1024;

}  // namespace

std::string TIniFile::ReadText(const std::string& section, const std::string& key,
                               const std::string& default_value) const
{
    return platform::profile_string(section, key, default_value, profile_buffer_size, file_name_);
}

std::int32_t TIniFile::ReadNumber(const std::string& section, const std::string& key,
                                  std::int32_t default_value) const
{
    std::string text = ReadText(section, key, "");
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.replace(0, 2, "$");
    return try_str_to_int(text).value_or(default_value);
}

bool TIniFile::ReadFlag(const std::string& section, const std::string& key, bool default_value) const
{
    return ReadNumber(section, key, default_value ? 1 : 0) != 0;
}

std::string ConfigPath(const std::string& own_path)
{
    return own_path.substr(0, platform::directory_length(own_path)) + "Zan_Post.ini";
}

void LoadConfig()
{
    const std::string own_path = platform::own_executable_path();
    // Without its own path the program has no file beside it; the current directory must
    // never stand in for it, so every key takes its default.
    LoadConfig(own_path.empty() ? std::string() : ConfigPath(own_path));
}

void LoadConfig(const std::string& ini_path)
{
    const TIniFile ini(ini_path);
    Zprava.Odesilatel = ini.ReadText("Mail", "Odesilatel", "");
    Zprava.Adresat = ini.ReadText("Mail", "Adresat", "");
    Zprava.SMTP = ini.ReadText("Mail", "SMTP", "");
    Zprava.POP3 = ini.ReadText("Mail", "POP3", "");
    Zprava.Uzivatel = ini.ReadText("Mail", "Uzivatel", "");
    Zprava.Heslo = ini.ReadText("Mail", "Heslo", "");
    Zprava.Predmet = ini.ReadText("Mail", "Predmet", "");
    Zprava.Telo = ini.ReadText("Mail", "Telo", "");
    Zprava.Telo_Get = ini.ReadText("Mail", "Telo_Get", "");
    Zprava.Timeout = ini.ReadNumber("Mail", "Timeout", default_timeout_seconds);
    Zprava.Cesta = ini.ReadText("Soubory", "Cesta", "");
    Zprava.Soubory = ini.ReadText("Soubory", "Soubory", "");
    Upozorneni.Upozornovat = ini.ReadFlag("Upozorneni", "Upozornovat", true);
    Upozorneni.Text = ini.ReadText("Upozorneni", "Text", default_notice_text);
}

}  // namespace zanpost
