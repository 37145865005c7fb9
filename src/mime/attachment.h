#pragma once
// One part of a MIME multipart message.

#include "rtl/file_reader.h"
#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zanpost {

enum t_transfer_encoding : std::uint8_t {
    enc_base64 = 0,            // content in Data
    enc_quoted_printable = 1,  // content in Text
    enc_none = 2,              // content in Text
};

// What a received part is for; the parser decides it from the part's headers and place.
enum class t_part_use : std::uint8_t {
    text,     // text for the reader: Text (or Data, when base64), in CP1250
    file,     // a file to store under FileName
    skipped,  // nothing for the reader: what stood before the first delimiter line
};

class T_Attachment {
public:
    std::string ContentType;  // the Content-Type value, without the header name
    std::string Disposition;  // the Content-Disposition value; empty: no such header
    MemoryStream Data;
    StringList Text;
    // A base64 part whose bytes are read from this open file while the message is sent
    // (T_Mime::AttachStreamedFile), Data staying empty; read once. Copies share the file.
    std::shared_ptr<FileReader> File;
    t_transfer_encoding Encoding = enc_none;
    // Set by the parser. A file's name is the one its headers give (RFC 2231 and 2047
    // forms decoded to CP1250), not yet reduced to a name that may be stored.
    t_part_use Use = t_part_use::text;
    std::string FileName;

    // Text becomes a copy of the lines, and the lines, each followed by CR LF, are
    // written into Data at its position.
    void SetText(const StringList& lines);

    // Text is emptied and Data becomes the whole of `stream`, positioned at its start.
    void SetData(const MemoryStream& stream);
    void SetData(MemoryStream&& stream);
};

}  // namespace zanpost
