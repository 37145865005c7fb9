#pragma once
// ZanPost's own OAuth 2.0 access tokens ([OAuth]): from the cache while one has five minutes
// left, else fetched from the token service (client credentials, a service account's
// assertion, or a refresh token stored by the one-time sign-in), once for all runs that
// need it at the same moment.

#include "app/config.h"

#include <string>

namespace zanpost {

class RunLog;

// The access token for an XOAUTH2 login as `account` (the mailbox). Raises
// EConfigValueError for a wrong or missing [OAuth] value, and ESecureError with one of the
// oauth_* causes when no token can be had; the cache is then left as it was. Every secret
// it handles is registered with `log` before anything could show it.
std::string OAuthAccessToken(const TOAuthNastaveni& settings, const std::string& account, int timeout, RunLog* log);

// What makes a cached token belong to these settings (flow, provider, tenant, client, scope,
// endpoint, key): a cache written under others is not used.
std::string OAuthSettingsFingerprint(const TOAuthNastaveni& settings);

// PRIHLASENI: the one-time sign-in of a person (obnova: Microsoft's device code, or Google's
// sign-in in the browser), or a first token fetched to check the settings (aplikace, ucet);
// what it got is stored in the cache. Tells the user how it went in a box.
void EnrolJob(const TNastaveni& settings, RunLog& log);

}  // namespace zanpost
