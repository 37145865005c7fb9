#pragma once
// What the jobs tell their user, in code page 1250. A literal is split where a hexadecimal
// escape would otherwise swallow the letter after it.

namespace zanpost::texts {

inline constexpr const char error_caption[] = "ZanPost - Chyba";

inline constexpr const char smtp_failed[] =
    "Nepoda\xF8ilo se odeslat zpr\xE1vu na server odchoz\xED po\x9Aty (SMTP).";
inline constexpr const char body_not_loaded[] = "Nepoda\xF8ilo se nahr\xE1t soubor ";
inline constexpr const char file_not_saved[] = "Nepoda\xF8ilo se ulo\x9Eit soubor ";
inline constexpr const char text_not_decoded[] = "Nepoda\xF8ilo se rozk\xF3" "dovat text zpr\xE1vy.";
inline constexpr const char output_not_saved[] = "Nepoda\xF8ilo se ulo\x9Eit text zpr\xE1vy.";
inline constexpr const char message_not_fetched[] =
    "Nepoda\xF8ilo se z\xEDskat do\x9Alou zpr\xE1vu ze serveru p\xF8\xED" "choz\xED po\x9Aty (POP3).";
inline constexpr const char pop3_not_connected[] =
    "Nepoda\xF8ilo se p\xF8ipojit k serveru p\xF8\xED" "choz\xED po\x9Aty (POP3).";

}  // namespace zanpost::texts
