#include "protocols/oauth.h"

#include "platform/crypto.h"
#include "protocols/sasl.h"
#include "rtl/hex.h"

#include <nlohmann/json.hpp>

namespace zanpost::oauth {

namespace {

using nlohmann::json;

std::string Signed(const json& header, const json& claims, const std::string& pem, platform::RsaPadding padding)
{
    const std::string input = Base64Url(header.dump()) + "." + Base64Url(claims.dump());
    return input + "." + Base64Url(platform::rsa_sha256_sign(pem, input, padding));
}

std::string Uuid()
{
    std::string bytes = platform::random_bytes(16);
    bytes[6] = char((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = char((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string out = to_hex(bytes);
    for (const std::size_t dash : {20, 16, 12, 8}) out.insert(dash, 1, '-');
    return out;
}

std::string Text(const json& object, const char* name)
{
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A number, or a number written as a string (some services quote expires_in).
std::optional<std::int64_t> Seconds(const json& object, const char* name)
{
    const auto found = object.find(name);
    if (found == object.end()) return std::nullopt;
    if (found->is_number_integer()) return found->get<std::int64_t>();
    if (found->is_string()) {
        const std::string text = found->get<std::string>();
        if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        return std::stoll(text);
    }
    return std::nullopt;
}

// A token goes into a login line: nothing in it may end or split that line.
bool Sendable(const std::string& token)
{
    if (token.empty() || token.size() > 16 * 1024) return false;
    for (const char c : token)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) return false;
    return true;
}

Outcome OutcomeOfError(const std::string& error, int status)
{
    if (status >= 500) return Outcome::service_failed;
    if (error == "authorization_pending") return Outcome::pending;
    if (error == "slow_down") return Outcome::slow_down;
    if (error == "authorization_declined" || error == "access_denied") return Outcome::declined;
    if (error == "expired_token" || error == "bad_verification_code") return Outcome::code_expired;
    if (error == "invalid_grant") return Outcome::grant_invalid;
    if (error == "invalid_client" || error == "unauthorized_client" || error == "invalid_scope" ||
        error == "invalid_request" || error == "unsupported_grant_type")
        return Outcome::client_refused;
    if (error == "temporarily_unavailable" || error == "server_error") return Outcome::service_failed;
    return Outcome::not_a_token;
}

json Parsed(const HttpAnswer& answer)
{
    json body = json::parse(answer.body, nullptr, false);
    return body.is_object() ? body : json::object();
}

}  // namespace

std::string Base64Url(std::string_view bytes)
{
    std::string text = base64_encode(bytes);
    text.erase(text.find_last_not_of('=') + 1);
    for (char& c : text) {
        if (c == '+') c = '-';
        else if (c == '/') c = '_';
    }
    return text;
}

std::string ClientAssertion(const std::string& pem, const std::string& client_id, const std::string& token_url,
                            std::int64_t now)
{
    const std::string certificate = platform::pem_first_certificate(pem);
    if (certificate.empty()) throw platform::ECryptoError("The PEM file holds no certificate");
    const json header = {{"alg", "PS256"}, {"typ", "JWT"}, {"x5t#S256", Base64Url(platform::sha256(certificate))}};
    const json claims = {{"aud", token_url}, {"iss", client_id}, {"sub", client_id}, {"jti", Uuid()},
                         {"nbf", now},       {"iat", now},       {"exp", now + 300}};
    return Signed(header, claims, pem, platform::RsaPadding::pss);
}

std::optional<ServiceAccountKey> ParseServiceAccountKey(const std::string& text)
{
    const json key = json::parse(text, nullptr, false);
    if (!key.is_object()) return std::nullopt;
    ServiceAccountKey parsed{Text(key, "client_email"), Text(key, "private_key"), Text(key, "private_key_id"),
                             Text(key, "token_uri")};
    if (parsed.client_email.empty() || parsed.private_key.empty() || parsed.token_uri.empty()) return std::nullopt;
    return parsed;
}

std::string ServiceAccountAssertion(const ServiceAccountKey& key, const std::string& scope, const std::string& subject,
                                    std::int64_t now)
{
    json header = {{"alg", "RS256"}, {"typ", "JWT"}};
    if (!key.private_key_id.empty()) header["kid"] = key.private_key_id;
    const json claims = {{"iss", key.client_email}, {"scope", scope},  {"aud", key.token_uri},
                         {"sub", subject},          {"iat", now},      {"exp", now + 3600}};
    return Signed(header, claims, key.private_key, platform::RsaPadding::pkcs1_v15);
}

std::string PkceChallenge(std::string_view verifier) { return Base64Url(platform::sha256(verifier)); }

TokenAnswer ReadTokenAnswer(const HttpAnswer& answer)
{
    const json body = Parsed(answer);
    TokenAnswer read;
    read.error = Text(body, "error");
    read.description = Text(body, "error_description");
    if (answer.status >= 200 && answer.status < 300 && read.error.empty()) {
        read.access_token = Text(body, "access_token");
        read.refresh_token = Text(body, "refresh_token");
        read.expires_in = Seconds(body, "expires_in").value_or(3600);
        const bool usable = Sendable(read.access_token) && (read.refresh_token.empty() || Sendable(read.refresh_token));
        read.outcome = usable ? Outcome::token : Outcome::not_a_token;
        if (!usable) read.access_token.clear(), read.refresh_token.clear();
        return read;
    }
    read.outcome = OutcomeOfError(read.error, answer.status);
    return read;
}

std::optional<DeviceCode> ReadDeviceCode(const HttpAnswer& answer, TokenAnswer& failure)
{
    const json body = Parsed(answer);
    DeviceCode code{Text(body, "device_code"), Text(body, "user_code"), Text(body, "verification_uri")};
    // Google's older device endpoint says verification_url.
    if (code.verification_uri.empty()) code.verification_uri = Text(body, "verification_url");
    code.expires_in = Seconds(body, "expires_in").value_or(900);
    code.interval = std::max<std::int64_t>(1, Seconds(body, "interval").value_or(5));
    if (answer.status >= 200 && answer.status < 300 && !code.device_code.empty() && !code.user_code.empty() &&
        !code.verification_uri.empty())
        return code;
    failure = ReadTokenAnswer(answer);
    if (failure.outcome == Outcome::token) failure.outcome = Outcome::not_a_token;
    return std::nullopt;
}

}  // namespace zanpost::oauth
