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
// The same two sentences for a mailbox read over IMAP ([Mail] Prijem=IMAP).
inline constexpr const char imap_message_not_fetched[] =
    "Nepoda\xF8ilo se z\xEDskat do\x9Alou zpr\xE1vu ze serveru p\xF8\xED" "choz\xED po\x9Aty (IMAP).";
inline constexpr const char imap_not_connected[] =
    "Nepoda\xF8ilo se p\xF8ipojit k serveru p\xF8\xED" "choz\xED po\x9Aty (IMAP).";

// One more line of a failure box, after "\n": why a secured connection or a login failed.
// "Certifikát serveru není důvěryhodný (nevede k důvěryhodné certifikační autoritě)."
inline constexpr const char cause_untrusted[] =
    "Certifik\xE1t serveru nen\xED d\xF9v\xECryhodn\xFD (nevede k d\xF9v\xECryhodn\xE9 certifika\xE8n\xED autorit\xEC).";

// "Certifikát serveru je vydán na jiné jméno serveru."
inline constexpr const char cause_name[] =
    "Certifik\xE1t serveru je vyd\xE1n na jin\xE9 jm\xE9no serveru.";

// "Platnost certifikátu serveru vypršela nebo ještě nezačala."
inline constexpr const char cause_expired[] =
    "Platnost certifik\xE1tu serveru vypr\x9A" "ela nebo je\x9At\xEC neza\xE8" "ala.";

// "Certifikát serveru není ten, jehož otisk je nastaven (Otisk)."
inline constexpr const char cause_pin[] =
    "Certifik\xE1t serveru nen\xED ten, jeho\x9E otisk je nastaven (Otisk).";

// "Soubor s certifikáty autorit (CA) nelze přečíst."
inline constexpr const char cause_ca_file[] =
    "Soubor s certifik\xE1ty autorit (CA) nelze p\xF8" "e\xE8\xEDst.";

// "Šifrované spojení (TLS) se nepodařilo navázat - zkontrolujte Sifrovani a Port."
inline constexpr const char cause_handshake[] =
    "\x8Aifrovan\xE9 spojen\xED (TLS) se nepoda\xF8ilo nav\xE1zat - zkontrolujte Sifrovani a Port.";

// "Server nenabízí šifrování (STARTTLS/STLS)."
inline constexpr const char cause_not_offered[] =
    "Server nenab\xEDz\xED \x9Aifrov\xE1n\xED (STARTTLS/STLS).";

// "Server odmítl zahájit šifrování (STARTTLS/STLS)."
inline constexpr const char cause_refused[] =
    "Server odm\xEDtl zah\xE1jit \x9Aifrov\xE1n\xED (STARTTLS/STLS).";

// "Server poslal data před zahájením šifrování; spojení bylo ukončeno."
inline constexpr const char cause_injection[] =
    "Server poslal data p\xF8" "ed zah\xE1jen\xEDm \x9Aifrov\xE1n\xED; spojen\xED bylo ukon\xE8" "eno.";

// "Server odmítl přihlášení (uživatel, heslo nebo token)."
inline constexpr const char cause_auth_refused[] =
    "Server odm\xEDtl p\xF8ihl\xE1\x9A" "en\xED (u\x9Eivatel, heslo nebo token).";

// "Server nenabízí žádný povolený způsob přihlášení (Overeni)."
inline constexpr const char cause_no_mechanism[] =
    "Server nenab\xEDz\xED \x9E\xE1" "dn\xFD povolen\xFD zp\xF9sob p\xF8ihl\xE1\x9A" "en\xED (Overeni).";

// "Příkaz pro heslo (HesloPrikaz) selhal, nic nevypsal nebo nedoběhl včas."
inline constexpr const char cause_password_command[] =
    "P\xF8\xEDkaz pro heslo (HesloPrikaz) selhal, nic nevypsal nebo nedob\xEChl v\xE8" "as.";

// "Chybná hodnota v Zan_Post.ini: "
inline constexpr const char cause_configuration[] =
    "Chybn\xE1 hodnota v Zan_Post.ini: ";

// The OAuth causes.
// "Službu pro tokeny OAuth se nepodařilo zastihnout (síť, Adresa, Timeout)."
inline constexpr const char cause_oauth_unreachable[] =
    "Slu\x9E" "bu pro tokeny OAuth se nepoda\xF8ilo zastihnout (s\xED\x9D, Adresa, Timeout).";
// "Certifikát služby pro tokeny OAuth není důvěryhodný."
inline constexpr const char cause_oauth_untrusted[] =
    "Certifik\xE1t slu\x9E" "by pro tokeny OAuth nen\xED d\xF9v\xECryhodn\xFD.";
// "Služba OAuth odmítla aplikaci (KlientID, KlientHeslo, Certifikat nebo oprávnění)."
inline constexpr const char cause_oauth_client_refused[] =
    "Slu\x9E" "ba OAuth odm\xEDtla aplikaci (KlientID, KlientHeslo, Certifikat nebo opr\xE1vn\xECn\xED).";
// "Přihlášení k OAuth vypršelo nebo bylo odvoláno - spusťte ZanPost PRIHLASENI."
inline constexpr const char cause_oauth_grant_expired[] =
    "P\xF8ihl\xE1\x9A" "en\xED k OAuth vypr\x9A" "elo nebo bylo odvol\xE1no - spus\x9Dte ZanPost PRIHLASENI.";
// "ZanPost ještě není přihlášen k OAuth - spusťte ZanPost PRIHLASENI."
inline constexpr const char cause_oauth_not_enrolled[] =
    "ZanPost je\x9At\xEC nen\xED p\xF8ihl\xE1\x9A" "en k OAuth - spus\x9Dte ZanPost PRIHLASENI.";
// "Klíč pro OAuth (Certifikat nebo KlicUctu) nelze použít."
inline constexpr const char cause_oauth_key[] =
    "Kl\xED\xE8 pro OAuth (Certifikat nebo KlicUctu) nelze pou\x9E\xEDt.";
// "Služba OAuth neodpověděla platným tokenem."
inline constexpr const char cause_oauth_bad_answer[] =
    "Slu\x9E" "ba OAuth neodpov\xEC" "d\xECla platn\xFDm tokenem.";
// "Úložiště tokenů OAuth (Uloziste) nelze použít."
inline constexpr const char cause_oauth_cache[] =
    "\xDAlo\x9Ei\x9At\xEC token\xF9 OAuth (Uloziste) nelze pou\x9E\xEDt.";
// "Přihlášení bylo odmítnuto."
inline constexpr const char cause_oauth_declined[] = "P\xF8ihl\xE1\x9A" "en\xED bylo odm\xEDtnuto.";
// "Kód pro přihlášení vypršel dřív, než bylo přihlášení dokončeno."
inline constexpr const char cause_oauth_code_expired[] =
    "K\xF3" "d pro p\xF8ihl\xE1\x9A" "en\xED vypr\x9A" "el d\xF8\xEDv, ne\x9E bylo p\xF8ihl\xE1\x9A" "en\xED dokon\xE8" "eno.";

// PRIHLASENI: the one-time sign-in.
// "ZanPost - Přihlášení"
inline constexpr const char enrol_caption[] = "ZanPost - P\xF8ihl\xE1\x9A" "en\xED";
// "Otevřete v prohlížeči adresu " URL " a zadejte kód " CODE ".\nPo přihlášení toto okno zavřete."
inline constexpr const char enrol_open[] = "Otev\xF8" "ete v prohl\xED\x9E" "e\xE8i adresu ";
inline constexpr const char enrol_code[] = " a zadejte k\xF3" "d ";
inline constexpr const char enrol_close[] = ".\nPo p\xF8ihl\xE1\x9A" "en\xED toto okno zav\xF8" "ete.";
// "Otevřete v prohlížeči adresu " URL " a přihlaste se." (when no browser could be started)
inline constexpr const char enrol_sign_in[] = " a p\xF8ihlaste se.";
// "Přihlášení proběhlo, ZanPost si token uložil."
inline constexpr const char enrol_done[] =
    "P\xF8ihl\xE1\x9A" "en\xED prob\xEChlo, ZanPost si token ulo\x9Eil.";
// "Přihlášení k OAuth se nepodařilo."
inline constexpr const char enrol_failed[] = "P\xF8ihl\xE1\x9A" "en\xED k OAuth se nepoda\xF8ilo.";

}  // namespace zanpost::texts
