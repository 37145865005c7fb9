#pragma once
// The settings of a run, read once from Zan_Post.ini beside the executable.

#include <cstdint>
#include <string>

namespace zanpost {

// The mail job settings, in the order of the file's keys.
struct TZprava {
    std::string Odesilatel;
    std::string Adresat;
    std::string SMTP;
    std::string POP3;
    std::string Uzivatel;
    std::string Heslo;
    std::string Predmet;
    std::string Telo;
    std::string Cesta;
    std::string Telo_Get;
    std::string Soubory;
    // Seconds that any single network wait may take; 0 means no limit.
    int Timeout = 600;
};

// The completion-notice settings.
struct TUpozorneni {
    bool Upozornovat = false;
    std::string Text;
};

extern TZprava Zprava;
extern TUpozorneni Upozorneni;

// "Přenos dat je ukončen. Je-li to potřeba, zavěste modem." in CP1250.
inline constexpr const char default_notice_text[] =
    "P\xF8" "enos dat je ukon\xE8" "en. Je-li to pot\xF8" "eba, zav\xEC" "ste modem.";

inline constexpr std::int32_t default_timeout_seconds = 600;

// Read-only access to one INI file; every read goes to the platform's profile reader.
class TIniFile {
public:
    explicit TIniFile(std::string file_name) : file_name_(std::move(file_name)) {}

    const std::string& FileName() const noexcept { return file_name_; }

    // The value as the profile reader delivers it from a 1024-byte buffer: at most 1023
    // characters.
    std::string ReadText(const std::string& section, const std::string& key, const std::string& default_value) const;
    // The value as a 32-bit integer ("0x"/"0X" in front reads as hexadecimal); the
    // default when it is absent or not a number.
    std::int32_t ReadNumber(const std::string& section, const std::string& key, std::int32_t default_value) const;
    // True when the value reads as a number other than 0.
    bool ReadFlag(const std::string& section, const std::string& key, bool default_value) const;

private:
    std::string file_name_;
};

// The INI file beside the executable at `own_path`: its directory part (up to and including
// the last separator) followed by "Zan_Post.ini".
std::string ConfigPath(const std::string& own_path);

// Fills Zprava and Upozorneni from the file beside the running executable.
void LoadConfig();
// The same from the file at `ini_path`.
void LoadConfig(const std::string& ini_path);

}  // namespace zanpost
