// The token service's answers as they come over the wire: every way HTTP/1.1 may frame a
// body, and every way a service may break that framing. Runs in the pass-through TLS
// executable, so the script speaks in plain text where a real service would use TLS.

#include "protocols/https.h"

#include "support/scripted_server.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zanpost {
namespace {

using testing::Conversation;
using testing::ScriptedServer;

// The request head is eight lines (the last one empty); the form follows without a line end.
Conversation Answering(const std::string& answer)
{
    Conversation c;
    for (int line = 0; line < 8; ++line) c.await_line();
    return c.say_raw(answer).close();
}

TEST(Https, TheAnswerIsReadHoweverItsBodyIsFramed)
{
    const std::string big(T_Https::max_answer + 1, 'x');
    struct Case {
        const char* what;
        std::string answer;
        int status;          // 0: EProtocolError
        std::string body;
    } cases[] = {
        {"by length", "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n{\"a\":\"b\\nc\"}\n", 200, "{\"a\":\"b\\nc\"}\n"},
        {"in chunks, sizes in any case, an extension",
         "HTTP/1.1 400 Bad Request\r\nTransfer-Encoding: chunked\r\n\r\n4;x=y\r\n{\"e\"\r\nb\r\n:\"invalid_\"\r\n"
         "2\r\n}\n\r\n0\r\n\r\n",
         400, "{\"e\":\"invalid_\"}\n"},
        {"to the end of the connection", "HTTP/1.0 503 Busy\r\nRetry-After: 1\r\n\r\nlater", 503, "later"},
        {"after an interim answer", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n{}", 200, "{}"},
        {"a body too large", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big, 0, ""},
        {"too large without a length", "HTTP/1.1 200 OK\r\n\r\n" + big, 0, ""},
        {"a chunk too large", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10001\r\n" + big, 0, ""},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"access_token\":", 0, ""},
        {"a chunk size that is no number", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 0, ""},
        {"no HTTP at all", "+OK POP3 ready\r\n\r\n", 0, ""},
        {"a length that is no number", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(Answering(c.answer));
        T_Https https;
        https.Timeout = 10;
        const HttpsUrl url{"127.0.0.1", server.port(), "/tenant/oauth2/v2.0/token"};
        if (c.status == 0) {
            EXPECT_THROW(https.Post(url, "a=b"), EProtocolError);
            EXPECT_FALSE(https.Connected);
            continue;
        }
        const HttpAnswer answer = https.Post(url, "grant_type=client_credentials&client_secret=s%C3%A9");
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.body, c.body);
        EXPECT_EQ(server.transcript(),
                  "POST /tenant/oauth2/v2.0/token HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                      "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 51\r\n"
                      "Accept: application/json\r\nUser-Agent: ZanPost\r\nConnection: close\r\n\r\n"
                      "grant_type=client_credentials&client_secret=s%C3%A9");
    }
}

TEST(Https, OnlyHttpsAddressesWithAHostAreTaken)
{
    struct Case {
        const char* text;
        std::optional<HttpsUrl> url;
    } cases[] = {
        {"https://login.microsoftonline.com/firma.cz/oauth2/v2.0/token",
         HttpsUrl{"login.microsoftonline.com", 443, "/firma.cz/oauth2/v2.0/token"}},
        {"HTTPS://127.0.0.2:8443", HttpsUrl{"127.0.0.2", 8443, "/"}},
        {"https://h?x=1#frag", HttpsUrl{"h", 443, "/?x=1"}},
        {"http://login.microsoftonline.com/token", std::nullopt},
        {"https://user@host/token", std::nullopt},
        {"https://[::1]/token", std::nullopt},
        {"https://host:0/", std::nullopt},
        {"https://host:99999/", std::nullopt},
        {"https:///token", std::nullopt},
        {"https://host/to ken", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto url = ParseHttpsUrl(c.text);
        ASSERT_EQ(url.has_value(), c.url.has_value());
        if (!url) continue;
        EXPECT_EQ(url->host, c.url->host);
        EXPECT_EQ(url->port, c.url->port);
        EXPECT_EQ(url->path, c.url->path);
    }
    EXPECT_EQ(FormEncode({{"scope", "offline_access https://x/a.b"}, {"k~-_.", "=&+%"}}),
              "scope=offline_access%20https%3A%2F%2Fx%2Fa.b&k~-_.=%3D%26%2B%25");
}

}  // namespace
}  // namespace zanpost
