#pragma once
// What the job tests share, whether they run the program against scripted servers or the
// jobs in-process: the INI of a branch office's run and the boxes as the program prints
// them on POSIX ("caption: text" in UTF-8).

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace zanpost::jobs_test {

using IniKey = std::tuple<std::string, std::string, std::string>;  // section, key, value

// [Mail], [Soubory] and [Upozorneni] for servers on 127.0.0.1 with a login, the notice on,
// and a timeout long enough for a loaded machine, short enough that a silent server ends a
// test soon.
inline std::vector<IniKey> office_settings(const std::string& cesta, const std::string& telo_get)
{
    return {{"Mail", "Odesilatel", "Ucetni <ucetni@firma.example>"},
            {"Mail", "Adresat", "centrala@firma.example"},
            {"Mail", "SMTP", "127.0.0.1"},
            {"Mail", "POP3", "127.0.0.1"},
            {"Mail", "Uzivatel", "u"},
            {"Mail", "Heslo", "p"},
            {"Mail", "Predmet", "ZAN_POST data"},
            {"Mail", "Telo_Get", telo_get},
            {"Mail", "Timeout", "2"},
            {"Soubory", "Cesta", cesta},
            {"Upozorneni", "Upozornovat", "1"}};
}

inline std::string error_box(std::string_view utf8_text) { return "ZanPost - Chyba: " + std::string(utf8_text) + "\n"; }

inline const std::string notice = "ZanPost: P\u0159enos dat je ukon\u010den. Je-li to pot\u0159eba, zav\u011bste modem.\n";
inline const std::string smtp_text = "Nepoda\u0159ilo se odeslat zpr\u00e1vu na server odchoz\u00ed po\u0161ty (SMTP).";
inline const std::string pop3_text = "Nepoda\u0159ilo se p\u0159ipojit k serveru p\u0159\u00edchoz\u00ed po\u0161ty (POP3).";
inline const std::string imap_text = "Nepoda\u0159ilo se p\u0159ipojit k serveru p\u0159\u00edchoz\u00ed po\u0161ty (IMAP).";

}  // namespace zanpost::jobs_test
