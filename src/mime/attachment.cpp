#include "mime/attachment.h"

namespace zanpost {

void T_Attachment::SetText(const StringList& lines)
{
    Text = lines;
    Data.write(join_crlf(lines));
}

void T_Attachment::SetData(const MemoryStream& stream)
{
    Text.clear();
    Data.copy_from(stream);
}

void T_Attachment::SetData(MemoryStream&& stream)
{
    Text.clear();
    Data.assign(stream.take());
}

}  // namespace zanpost
