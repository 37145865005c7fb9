#include "app/banner.h"

#include "platform/version_values.h"

#include <initializer_list>

namespace zanpost {

namespace {

constexpr const char line_break[] = "\n\r";
constexpr const char indent[] = "     ";

}  // namespace

std::string Banner()
{
    namespace vv = platform::version_values;
    // The maker's name and business line come from the same values as the version
    // information, so the two never tell different stories.
    const std::initializer_list<std::string> lines = {
        "ZanPost pro Tabulix 3.0",
        std::string(vv::legal_copyright),
        std::string(vv::comments),
        std::string(indent) + "odesilani a prijem datovych souboru postou",
        "Autor: vyvojovy tym " + std::string(vv::company_name),
        std::string(indent) + "kontakt: technicka podpora dodavatele Tabulixu",
    };
    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) text += line_break;
        text += line;
    }
    return text;
}

std::string BannerCaption(const std::string& verze)
{
    return "ZanPost verze " + verze;
}

}  // namespace zanpost
