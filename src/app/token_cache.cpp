#include "app/token_cache.h"

#include "platform/crypto.h"
#include "platform/files.h"
#include "protocols/sasl.h"

#include <nlohmann/json.hpp>

namespace zanpost {

namespace {

using nlohmann::json;

constexpr std::size_t cache_limit = 1024 * 1024;
constexpr std::string_view sealed_prefix = "dpapi:";

std::string Sealed(const std::string& secret)
{
    if (secret.empty() || !platform::sealing_protects()) return secret;
    return std::string(sealed_prefix) + base64_encode(platform::seal_for_user(secret));
}

// nullopt when the value is sealed and cannot be opened here (another user or machine).
std::optional<std::string> Unsealed(const std::string& stored)
{
    if (!stored.starts_with(sealed_prefix)) return stored;
    const auto blob = base64_decode(std::string_view(stored).substr(sealed_prefix.size()));
    if (!blob) return std::nullopt;
    return platform::unseal_for_user(*blob);
}

}  // namespace

bool TokenCache::Load(std::string& why)
{
    why.clear();
    tokens_.clear();
    if (!platform::is_regular_file(path_)) return true;
    const std::optional<std::string> text = platform::read_small_file(path_, cache_limit);
    if (!text) {
        why = "The token cache " + path_ + " cannot be read";
        return false;
    }
    const json file = json::parse(*text, nullptr, false);
    if (!file.is_object() || !file.contains("tokens") || !file["tokens"].is_object()) {
        why = "The token cache " + path_ + " is damaged";
        return false;
    }
    if (file.value("settings", std::string()) != settings_) return true;
    for (const auto& [account, entry] : file["tokens"].items()) {
        if (!entry.is_object()) continue;
        const auto access = Unsealed(entry.value("access_token", std::string()));
        const auto refresh = Unsealed(entry.value("refresh_token", std::string()));
        if (!access || !refresh) {
            why = "The tokens in " + path_ + " were sealed by another user or on another computer";
            continue;
        }
        const auto expires = entry.find("expires_at");
        tokens_[account] = {*access, expires != entry.end() && expires->is_number_integer() ? expires->get<std::int64_t>() : 0,
                            *refresh};
    }
    return why.empty();
}

std::optional<CachedToken> TokenCache::Find(const std::string& account) const
{
    const auto found = tokens_.find(account);
    if (found == tokens_.end()) return std::nullopt;
    return found->second;
}

void TokenCache::Put(const std::string& account, CachedToken token) { tokens_[account] = std::move(token); }

bool TokenCache::Save() const
{
    try {
        json tokens = json::object();
        for (const auto& [account, token] : tokens_)
            tokens[account] = {{"access_token", Sealed(token.access_token)},
                               {"expires_at", token.expires_at},
                               {"refresh_token", Sealed(token.refresh_token)}};
        const json file = {{"format", 1}, {"settings", settings_}, {"tokens", tokens}};
        return platform::write_file_atomic(path_, file.dump(1) + "\n", true);
    } catch (const std::exception&) {
        // A token that JSON cannot hold, or sealing that failed: the old file stands.
        return false;
    }
}

}  // namespace zanpost
