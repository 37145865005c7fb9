#pragma once
// The OAuth token cache ([OAuth] Uloziste): what a run leaves for the next so that a token
// is fetched once an hour, not once a run, and a rotated refresh token is never lost.
//
// One JSON file, replaced whole (temporary file, flush, rename), created for its owner
// only on POSIX; on Windows every token inside is sealed with DPAPI for the current user,
// so a copied file is useless elsewhere. It remembers the settings that made its tokens:
// tokens of other settings are never handed out, and the next write replaces them.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace zanpost {

struct CachedToken {
    std::string access_token;
    std::int64_t expires_at = 0;  // Unix seconds
    std::string refresh_token;    // empty when the flow has none
};

class TokenCache {
public:
    TokenCache(std::string path, std::string settings) : path_(std::move(path)), settings_(std::move(settings)) {}

    // Reads the file again (another run may have written it since). An absent file is an
    // empty cache; false, with the cache empty, when it exists and cannot be read or
    // understood (`why` then says which).
    bool Load(std::string& why);
    std::optional<CachedToken> Find(const std::string& account) const;
    void Put(const std::string& account, CachedToken token);
    // False when the file could not be replaced; the old one then stands.
    bool Save() const;

    const std::string& Path() const noexcept { return path_; }

private:
    std::string path_;
    std::string settings_;
    std::map<std::string, CachedToken> tokens_;
};

}  // namespace zanpost
