#pragma once
// PEM text as both crypto backends read it: its blocks in order, their base64, and which
// block holds the private key. Internal to the platform layer.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost::platform::pem {

struct Block {
    std::string_view label;    // "CERTIFICATE", "PRIVATE KEY", "RSA PRIVATE KEY", ...
    std::string_view headers;  // "Proc-Type: 4,ENCRYPTED" and the like before the base64; mostly empty
    std::string_view body;     // the base64 lines
    std::string_view text;     // the whole block, BEGIN and END lines included
};

// Every complete block of `text`, in order; anything between blocks is ignored.
std::vector<Block> blocks(std::string_view text);

// Base64 with line breaks and blanks anywhere; nothing for any other byte or bad padding.
std::optional<std::string> decode_base64(std::string_view body);

enum class KeyForm { pkcs8, pkcs1 };
struct KeyBlock {
    KeyForm form;
    Block block;
};

// The first private-key block of `text`. Raises ECryptoError when there is none, when it
// is encrypted, or when its label names another kind of key (EC, DSA, OpenSSH).
KeyBlock rsa_key_block(std::string_view text);

}  // namespace zanpost::platform::pem
