// The login module on arbitrary input. The first byte picks a mechanism and where to cut;
// the rest is both the bytes to encode and a hostile server's challenges (NUL-separated).
//
// - base64 agrees with the MIME codec's, which was written apart from it: what the login
//   encodes is the codec's text, and what the login accepts to decode the codec decodes
//   to the same bytes; the login's own round trip is exact.
// - MD5 fed in two pieces is MD5 of the whole.
// - A SASL client answers any challenges with a bounded number of messages, then only
//   with "cancel", and CRAM-MD5 never answers with the password itself.
// - An offer names only mechanisms it has; an APOP stamp is a "<...>" piece of the greeting.

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "mime/codecs.h"
#include "protocols/digest.h"
#include "protocols/sasl.h"
#include "rtl/memory_stream.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace zanpost;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t first = input.byte();
    const std::string_view rest = input.rest();

    const std::string encoded = base64_encode(rest);
    FUZZ_CHECK(base64_decode(encoded) == std::string(rest));
    MemoryStream file{std::string(rest)};
    std::string codec_text;
    for (const std::string& line : encode_base64(file)) codec_text += line;
    FUZZ_CHECK(codec_text == encoded);
    if (const auto decoded = base64_decode(rest)) FUZZ_CHECK(decode_line(lc_base64, rest) == *decoded);

    const std::size_t cut = rest.empty() ? 0 : first % (rest.size() + 1);
    Md5 pieces;
    pieces.update(rest.substr(0, cut));
    pieces.update(rest.substr(cut));
    FUZZ_CHECK(pieces.finish() == md5(rest));

    static constexpr SaslMechanism mechanisms[] = {SaslMechanism::plain, SaslMechanism::login,
                                                   SaslMechanism::cram_md5, SaslMechanism::xoauth2,
                                                   SaslMechanism::user};
    const SaslMechanism mechanism = mechanisms[first % std::size(mechanisms)];
    const std::string secret = "s3cr3t-password";
    SaslClient client(mechanism, "user", secret);
    std::string_view challenges = rest;
    int answered = 0;
    for (int round = 0; round < 8; ++round) {
        const std::string_view challenge = challenges.substr(0, challenges.find('\0'));
        challenges.remove_prefix(std::min(challenges.size(), challenge.size() + 1));
        const auto response = client.respond(challenge);
        if (!response) continue;
        FUZZ_CHECK(answered == round);  // after the first cancel, never an answer again
        ++answered;
        if (mechanism == SaslMechanism::cram_md5) FUZZ_CHECK(response->find(secret) == std::string::npos);
    }
    FUZZ_CHECK(answered <= 2);

    SaslOffer offer;
    offer.add(rest);
    const std::string names = " " + offer.names() + " ";
    for (const SaslMechanism m : mechanisms) {
        const bool named = !sasl_name(m).empty() && names.find(" " + std::string(sasl_name(m)) + " ") != std::string::npos;
        FUZZ_CHECK(offer.has(m) == named);
    }

    const std::string stamp = apop_timestamp(rest);
    if (!stamp.empty()) {
        FUZZ_CHECK(stamp.size() >= 3 && stamp.front() == '<' && stamp.back() == '>');
        FUZZ_CHECK(rest.find(stamp) != std::string_view::npos);
    }
    return 0;
}
