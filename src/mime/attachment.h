#pragma once
// One part of a MIME multipart message.

#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <string>

namespace zanpost {

enum t_transfer_encoding : std::uint8_t {
    enc_base64 = 0,            // content in Data
    enc_quoted_printable = 1,  // content in Text
    enc_none = 2,              // content in Text
};

class T_Attachment {
public:
    std::string ContentType;  // the Content-Type value, without the header name
    std::string Disposition;  // the Content-Disposition value; empty: no such header
    MemoryStream Data;
    StringList Text;
    t_transfer_encoding Encoding = enc_none;

    // Text becomes a copy of the lines, and the lines, each followed by CR LF, are
    // written into Data at its position.
    void SetText(const StringList& lines);

    // Text is emptied and Data becomes the whole of `stream`, positioned at its start.
    void SetData(const MemoryStream& stream);
    void SetData(MemoryStream&& stream);
};

}  // namespace zanpost
