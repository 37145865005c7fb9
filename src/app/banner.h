#pragma once
// The version banner shown when the program is started without an argument.

#include <string>

namespace zanpost {

// Lines end in LF CR (0x0A 0x0D), the order the banner has always used; lines that
// continue a heading line are indented by five blanks.
std::string Banner();

// "ZanPost verze " followed by the version (nothing when it is unknown).
std::string BannerCaption(const std::string& verze);

}  // namespace zanpost
