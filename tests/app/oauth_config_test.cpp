// [OAuth] and its token cache: the slips that must stop a job before it connects, and a
// cache that hands out only what its own settings made and never loses what it holds.

#include "app/config.h"
#include "app/oauth_token.h"
#include "app/token_cache.h"
#include "net/errors.h"
#include "platform/crypto.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>

namespace zanpost {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;
using TTok = TOAuthNastaveni::TTok;

TEST(OAuthConfig, EachFlowNamesTheKeyItLacksOrContradicts)
{
    const auto google = TOAuthNastaveni::TPoskytovatel::google;
    const auto microsoft = TOAuthNastaveni::TPoskytovatel::microsoft;
    struct Case {
        const char* lines;
        TTok tok;
        TOAuthNastaveni::TPoskytovatel provider;
        const char* chyba;
        const char* tenant = "";
    } cases[] = {
        {"", TTok::none, microsoft, ""},
        {"Tok=APLIKACE\nTenant=firma.cz\nKlientID=a\nKlientHeslo=s", TTok::aplikace, microsoft, "", "firma.cz"},
        {"Tok=aplikace\nTenant=t\nKlientID=a\nCertifikat=/c.pem", TTok::aplikace, microsoft, "", "t"},
        {"Tok=aplikace\nKlientID=a\nKlientHeslo=s", TTok::aplikace, microsoft, "[OAuth] Tenant"},
        {"Tok=aplikace\nTenant=t\nKlientID=a", TTok::aplikace, microsoft, "[OAuth] KlientHeslo", "t"},
        {"Tok=aplikace\nTenant=t\nKlientHeslo=s", TTok::aplikace, microsoft, "[OAuth] KlientID", "t"},
        {"Tok=aplikace\nPoskytovatel=google\nTenant=t\nKlientID=a\nKlientHeslo=s", TTok::aplikace, google,
         "[OAuth] Poskytovatel", "t"},
        {"Tok=Ucet\nKlicUctu=/k.json", TTok::ucet, google, ""},
        {"Tok=ucet\nPoskytovatel=Microsoft\nKlicUctu=/k.json", TTok::ucet, microsoft, "[OAuth] Poskytovatel"},
        {"Tok=ucet", TTok::ucet, google, "[OAuth] KlicUctu"},
        {"Tok=obnova\nKlientID=a", TTok::obnova, microsoft, "", "organizations"},
        {"Tok=obnova\nPoskytovatel=GOOGLE\nKlientID=a", TTok::obnova, google, "", "organizations"},
        {"Tok=obnova", TTok::obnova, microsoft, "[OAuth] KlientID", "organizations"},
        {"Tok=obnova\nKlientID=a\nPoskytovatel=yahoo", TTok::obnova, microsoft, "[OAuth] Poskytovatel", "organizations"},
        {"Tok=apliakce\nKlientID=a", TTok::none, microsoft, "[OAuth] Tok"},
        {"Tok=obnova\nKlientID=a\nAdresa=http://login.example/token", TTok::obnova, microsoft, "[OAuth] Adresa",
         "organizations"},
        {"Tok=obnova\nKlientID=a\nAdresaPrihlaseni=login.example", TTok::obnova, microsoft,
         "[OAuth] AdresaPrihlaseni", "organizations"},
        {"Tok=obnova\nKlientID=a\nOtisk=abc", TTok::obnova, microsoft, "[OAuth] Otisk", "organizations"},
    };
    TempDir dir;
    const std::string path = dir.file("Zan_Post.ini");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        write_file(path, std::string("[OAuth]\n") + c.lines + "\n");
        const TOAuthNastaveni oauth = ReadOAuth(TIniFile(path));
        EXPECT_EQ(oauth.Tok, c.tok);
        EXPECT_EQ(oauth.Poskytovatel, c.provider);
        EXPECT_EQ(oauth.Chyba, c.chyba);
        EXPECT_EQ(oauth.Tenant, c.tenant);
        // Without Tok nothing of the section counts, and a wrong Tok still stops the job.
        EXPECT_EQ(oauth.Nastaveno(), c.tok != TTok::none || *c.chyba != 0);
        if (c.tok != TTok::none) {
            EXPECT_EQ(oauth.Uloziste, dir.file("Zan_Post.token"));
        }
    }
}

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(TokenCache, HandsOutOnlyWhatItsSettingsMadeAndKeepsTheFileForItsOwner)
{
    TempDir dir;
    const std::string path = dir.file("Zan_Post.token");
    std::string why;
    TokenCache cache(path, "settings-1");
    ASSERT_TRUE(cache.Load(why));  // no file yet: an empty cache
    cache.Put("", {"access-1", 1'900'000'000, "refresh-1"});
    cache.Put("eva@firma.cz", {"access-2", 1'900'000'001, ""});
    ASSERT_TRUE(cache.Save());

    TokenCache again(path, "settings-1");
    ASSERT_TRUE(again.Load(why));
    ASSERT_TRUE(again.Find(""));
    EXPECT_EQ(again.Find("")->refresh_token, "refresh-1");
    EXPECT_EQ(again.Find("eva@firma.cz")->expires_at, 1'900'000'001);
    EXPECT_FALSE(again.Find("jan@firma.cz"));

    TokenCache other(path, "settings-2");
    ASSERT_TRUE(other.Load(why));
    EXPECT_FALSE(other.Find(""));

    const std::string stored = read_file(path);
    EXPECT_EQ(stored.find("access-1") == std::string::npos, platform::sealing_protects());
#ifndef _WIN32
    const auto permissions = std::filesystem::status(path).permissions();
    EXPECT_EQ(permissions & std::filesystem::perms::all, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif

    write_file(path, "{\"format\":1,\"tokens\":");
    EXPECT_FALSE(again.Load(why));
    EXPECT_NE(why.find("damaged"), std::string::npos);
    EXPECT_FALSE(again.Find(""));
    EXPECT_FALSE(TokenCache(dir.file("missing/Zan_Post.token"), "s").Save());
}

// A token service that cannot be reached: nothing here may be asked of it.
TOAuthNastaveni Unreachable(TTok tok, const std::string& cache)
{
    TOAuthNastaveni oauth;
    oauth.Tok = tok;
    oauth.Tenant = "t";
    oauth.KlientID = "app";
    oauth.KlientHeslo = "secret";
    oauth.Adresa = "https://127.0.0.1:1/t/oauth2/v2.0/token";
    oauth.Uloziste = cache;
    return oauth;
}

TEST(OAuthToken, TheCacheAnswersWhileItCanAndIsKeptWhenTheServiceFails)
{
    TempDir dir;
    const std::string path = dir.file("Zan_Post.token");
    const auto cause = [](const TOAuthNastaveni& oauth) -> std::optional<SecureCause> {
        try {
            OAuthAccessToken(oauth, "eva@firma.cz", 5, nullptr);
        } catch (const ESecureError& failure) {
            return failure.Cause;
        }
        return std::nullopt;  // a token without a service or a sign-in
    };
    // A run that finds no token in the cache and no service fails, and writes nothing.
    EXPECT_EQ(cause(Unreachable(TTok::aplikace, path)), SecureCause::oauth_unreachable);
    EXPECT_FALSE(std::filesystem::exists(path));
    const TOAuthNastaveni person = Unreachable(TTok::obnova, path);
    EXPECT_EQ(cause(person), SecureCause::oauth_not_enrolled);

    // What the sign-in stored: its access token serves while it has five minutes left.
    const auto store = [&](std::int64_t expires_at) {
        TokenCache cache(path, OAuthSettingsFingerprint(person));
        cache.Put("", {"access", expires_at, "refresh"});
        ASSERT_TRUE(cache.Save());
    };
    store(Now() + 301);
    EXPECT_EQ(OAuthAccessToken(person, "eva@firma.cz", 5, nullptr), "access");
    store(Now() + 299);
    const std::string before = read_file(path);
    EXPECT_THROW(OAuthAccessToken(person, "eva@firma.cz", 5, nullptr), ESecureError);
    EXPECT_EQ(read_file(path), before);  // the refresh token stays for the next run
}

}  // namespace
}  // namespace zanpost
