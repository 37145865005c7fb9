#pragma once
// The OAuth 2.0 token requests ZanPost makes itself (RFC 6749, 7523, 8628, 7636) and how it
// reads the answers of Microsoft's and Google's token services. Only the messages live here;
// when to ask, the cache and the boxes belong to the job that needs a token.

#include "protocols/https.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zanpost::oauth {

// Base64url without padding (RFC 7515): the alphabet of JWTs and of PKCE.
std::string Base64Url(std::string_view bytes);

// A client assertion (RFC 7523) as Microsoft documents it for a certificate credential:
// PS256 with the certificate's SHA-256 thumbprint as "x5t#S256"; aud the token URL, iss and
// sub the client, valid five minutes from `now` (Unix seconds). `pem` holds the certificate
// and its private key. Raises platform::ECryptoError when they cannot be used.
std::string ClientAssertion(const std::string& pem, const std::string& client_id, const std::string& token_url,
                            std::int64_t now);

// What ZanPost takes from a Google service account's JSON key file.
struct ServiceAccountKey {
    std::string client_email;
    std::string private_key;     // PEM, PKCS#8
    std::string private_key_id;
    std::string token_uri;
};
// nullopt when the text is not such a key (not JSON, a field missing or not a string).
std::optional<ServiceAccountKey> ParseServiceAccountKey(const std::string& json);

// The RS256 assertion of a service account acting for `subject` (domain-wide delegation),
// valid an hour from `now`.
std::string ServiceAccountAssertion(const ServiceAccountKey& key, const std::string& scope, const std::string& subject,
                                    std::int64_t now);

// The PKCE S256 challenge of a verifier.
std::string PkceChallenge(std::string_view verifier);

// What a token endpoint's answer means for the one who asked.
enum class Outcome {
    token,              // an access token (and perhaps a refresh token) came
    pending,            // device code: the person has not signed in yet
    slow_down,          // device code: ask less often
    declined,           // the person refused the sign-in
    code_expired,       // the device code ran out before the sign-in
    grant_invalid,      // the refresh token (or code) is expired, revoked or used
    client_refused,     // the application, its secret or certificate, or its rights were refused
    service_failed,     // a 5xx, or an error that says to try later: nothing is wrong on our side
    not_a_token,        // the answer is none of these
};

struct TokenAnswer {
    Outcome outcome = Outcome::not_a_token;
    std::string access_token;
    std::int64_t expires_in = 0;   // seconds
    std::string refresh_token;     // empty when none came
    std::string error;             // the service's "error" and "error_description", for the log
    std::string description;
};

TokenAnswer ReadTokenAnswer(const HttpAnswer& answer);

// The device authorization answer (RFC 8628).
struct DeviceCode {
    std::string device_code;
    std::string user_code;
    std::string verification_uri;
    std::int64_t expires_in = 900;
    std::int64_t interval = 5;
};

// nullopt when the answer is not a device code; `failure` then tells what it was.
std::optional<DeviceCode> ReadDeviceCode(const HttpAnswer& answer, TokenAnswer& failure);

}  // namespace zanpost::oauth
